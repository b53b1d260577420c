#pragma once

#include <cstddef>
#include <type_traits>

#include "Network/Packets.h"

// The wire fields of each packet record, in wire order, without the trailing identifier. The writer
// and the reader both walk this one list, so they cannot disagree on a layout.
// `visit` is called once per field with a (possibly const) reference to it.

template <typename P, typename Visit> void ForEachField(P& p, Visit&& visit)
{
    using T = std::remove_const_t<P>;
    if constexpr (std::is_same_v<T, ClientInfoPacket>)
    {
        visit(p.name);
    }
    else if constexpr (std::is_same_v<T, ServerInfoPacket>)
    {
        visit(p.episode);
        visit(p.chat);
        visit(p.serverId);
        visit(p.hostId);
        visit(p.hostData);
        visit(p.secret);
        visit(p.hostname);
        visit(p.playerCount);
        visit(p.maxPlayers);
        visit(p.players);
    }
    else if constexpr (std::is_same_v<T, PlayerJoinPacket>)
    {
        visit(p.serverId);
        visit(p.name);
    }
    else if constexpr (std::is_same_v<T, PlayerLeavePacket>)
    {
        visit(p.serverId);
    }
    else if constexpr (std::is_same_v<T, HostVotePacket>)
    {
        visit(p.hostId);
        visit(p.hostData);
    }
    else if constexpr (std::is_same_v<T, HostClaimPacket>)
    {
        visit(p.hostData);
    }
    else if constexpr (std::is_same_v<T, HostRequestPacket>)
    {
    }
    else if constexpr (std::is_same_v<T, HostResponsePacket>)
    {
        visit(p.status);
    }
    else if constexpr (std::is_same_v<T, GamePacket>)
    {
        visit(p.sourceId);
        visit(p.targetId);
        visit(p.data);
    }
    else if constexpr (std::is_same_v<T, ResourceInfoPacket>)
    {
        visit(p.name);
        visit(p.scriptType);
        visit(p.paths);
        visit(p.checksums);
        visit(p.kinds);
        visit(p.exports);
    }
    else if constexpr (std::is_same_v<T, ResourceStopPacket>)
    {
        visit(p.name);
    }
    else if constexpr (std::is_same_v<T, EventTriggerPacket>)
    {
        visit(p.eventName);
        visit(p.args);
    }
    else if constexpr (std::is_same_v<T, ChatMessagePacket>)
    {
        visit(p.text);
    }
    else if constexpr (std::is_same_v<T, KickReasonPacket>)
    {
        visit(p.reason);
    }
    else if constexpr (std::is_same_v<T, SessionHostPacket>)
    {
        visit(p.hostId);
        visit(p.hostData);
    }
    else if constexpr (std::is_same_v<T, SessionActivePacket>)
    {
        visit(p.active);
    }
    else if constexpr (std::is_same_v<T, PlayerNamePacket>)
    {
        visit(p.serverId);
        visit(p.name);
    }
    else
    {
        static_assert(sizeof(T) == 0, "not a packet record");
    }
}

template <typename T> size_t FieldCount()
{
    static const size_t count = []
    {
        size_t n = 0;
        const T record{};
        ForEachField(record, [&n](const auto&) { ++n; });
        return n;
    }();
    return count;
}
