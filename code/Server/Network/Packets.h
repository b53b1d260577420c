#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Records of the game packets exchanged with the clients. Fields are in wire order; every record
// ends with `identifier` (the packet kind's number, written again as the body's last element) and
// `kind` (3 for channel-0 packets, 4 for the relayed GamePacket; never on the wire).

enum class PacketId : int32_t
{
    ClientInfo = 0,
    ServerInfo = 1,
    PlayerJoin = 2,
    PlayerLeave = 3,
    HostVote = 4,
    HostClaim = 5,
    HostRequest = 6,
    HostResponse = 7,
    GamePacket = 8,
    ResourceInfo = 9,
    ResourceStop = 10,
    EventTrigger = 11,
    ChatMessage = 12,
    KickReason = 13,
    SessionHost = 14,
    SessionActive = 15,
    PlayerName = 16,
};

constexpr uint32_t kChannelPacketKind = 3;
constexpr uint32_t kGamePacketKind = 4;

struct ClientInfoPacket
{
    std::string name;
    int32_t identifier = 0;
    uint32_t kind = kChannelPacketKind;
};

struct ServerInfoPacket
{
    int32_t episode = 0;
    bool chat = false;
    uint16_t serverId = 0;
    uint16_t hostId = 0;
    uint32_t hostData = 0;
    std::string secret;
    std::string hostname;
    int32_t playerCount = 0;
    int32_t maxPlayers = 0;
    std::map<uint16_t, std::string> players;
    int32_t identifier = 1;
    uint32_t kind = kChannelPacketKind;
};

struct PlayerJoinPacket
{
    uint16_t serverId = 0;
    std::string name;
    int32_t identifier = 2;
    uint32_t kind = kChannelPacketKind;
};

struct PlayerLeavePacket
{
    uint16_t serverId = 0;
    int32_t identifier = 3;
    uint32_t kind = kChannelPacketKind;
};

// Both directions: a client's vote {candidate, hostData}, the server's announcement {host, hostData}.
struct HostVotePacket
{
    uint32_t hostId = 0;
    uint32_t hostData = 0;
    int32_t identifier = 4;
    uint32_t kind = kChannelPacketKind;
};

struct HostClaimPacket
{
    uint32_t hostData = 0;
    int32_t identifier = 5;
    uint32_t kind = kChannelPacketKind;
};

struct HostRequestPacket
{
    int32_t identifier = 6;
    uint32_t kind = kChannelPacketKind;
};

struct HostResponsePacket
{
    std::string status;
    int32_t identifier = 7;
    uint32_t kind = kChannelPacketKind;
};

// Channel 1: relayed between clients without an envelope.
struct GamePacket
{
    uint16_t sourceId = 0;
    uint16_t targetId = 0;
    std::string data;
    int32_t identifier = 8;
    uint32_t kind = kGamePacketKind;
};

struct ResourceInfoPacket
{
    std::string name;
    int32_t scriptType = 0;
    std::map<uint64_t, std::string> paths;
    std::map<uint64_t, uint32_t> checksums;
    std::map<uint64_t, int32_t> kinds;
    std::vector<std::string> exports;
    int32_t identifier = 9;
    uint32_t kind = kChannelPacketKind;
};

struct ResourceStopPacket
{
    std::string name;
    int32_t identifier = 10;
    uint32_t kind = kChannelPacketKind;
};

struct EventTriggerPacket
{
    std::string eventName;
    std::string args; // a packed ScriptContext
    int32_t identifier = 11;
    uint32_t kind = kChannelPacketKind;
};

struct ChatMessagePacket
{
    std::string text;
    int32_t identifier = 12;
    uint32_t kind = kChannelPacketKind;
};

struct KickReasonPacket
{
    std::string reason;
    int32_t identifier = 13;
    uint32_t kind = kChannelPacketKind;
};

struct SessionHostPacket
{
    uint16_t hostId = 0;
    uint32_t hostData = 0;
    int32_t identifier = 14;
    uint32_t kind = kChannelPacketKind;
};

struct SessionActivePacket
{
    bool active = false;
    int32_t identifier = 15;
    uint32_t kind = kChannelPacketKind;
};

struct PlayerNamePacket
{
    uint16_t serverId = 0;
    std::string name;
    int32_t identifier = 16;
    uint32_t kind = kChannelPacketKind;
};

// A channel-0 packet as read from or written to the wire: [identifier, body].
struct PacketEnvelope
{
    PacketEnvelope() = default;
    PacketEnvelope(uint32_t kind, int32_t identifier, std::string body);

    uint32_t kind = 0;
    int32_t identifier = 0;
    uint64_t time = 0; // monotonic nanoseconds when the server built it; 0 when read
    std::string body;
};
