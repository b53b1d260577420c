// Packing and reading the packets that dominate traffic: the welcome packet of a full server, chat
// lines, and argument packs of events.

#include <string>

#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include "Network/NetPacket.h"
#include "Network/PacketWriter.h"
#include "Scripting/ScriptContext.h"

namespace
{
ServerInfoPacket FullServerInfo()
{
    ServerInfoPacket info;
    info.episode = 1;
    info.chat = true;
    info.serverId = 42;
    info.hostId = 1;
    info.hostData = 123456;
    info.secret = "passphrase";
    info.hostname = "Lanternfall benchmark server";
    info.playerCount = 100;
    info.maxPlayers = 128;
    for (uint16_t id = 1; id <= 100; ++id)
        info.players[id] = "Player" + std::to_string(id);
    return info;
}

ChatMessagePacket KibChat()
{
    ChatMessagePacket chat;
    chat.text.assign(1024, 'c');
    return chat;
}

ScriptContext TwentyValues()
{
    ScriptContext context;
    for (int i = 0; i < 5; ++i)
    {
        context.AddInt(i * 1000 - 2000);
        context.AddFloat(static_cast<float>(i) * 1.25f);
        context.AddBool(i % 2 == 0);
        context.AddString("value number " + std::to_string(i));
    }
    return context;
}

template <typename T> void ReadPacket(benchmark::State& state, const T& packet)
{
    const std::string payload = PackPacket(packet);
    for (auto _ : state)
    {
        PacketEnvelope envelope;
        T record;
        bool ok = NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                                 payload.size(), envelope) &&
                  NetPacket::Deserialize(record, envelope);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(record);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
}

template <typename T> void WritePacket(benchmark::State& state, const T& packet)
{
    size_t size = 0;
    for (auto _ : state)
    {
        std::string payload = PackPacket(packet);
        size = payload.size();
        benchmark::DoNotOptimize(payload);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_PackServerInfo100Players(benchmark::State& state)
{
    WritePacket(state, FullServerInfo());
}
BENCHMARK(BM_PackServerInfo100Players);

void BM_ReadServerInfo100Players(benchmark::State& state)
{
    ReadPacket(state, FullServerInfo());
}
BENCHMARK(BM_ReadServerInfo100Players);

void BM_PackChatMessage1KiB(benchmark::State& state)
{
    WritePacket(state, KibChat());
}
BENCHMARK(BM_PackChatMessage1KiB);

void BM_ReadChatMessage1KiB(benchmark::State& state)
{
    ReadPacket(state, KibChat());
}
BENCHMARK(BM_ReadChatMessage1KiB);

void BM_PackScriptContext20Values(benchmark::State& state)
{
    const ScriptContext context = TwentyValues();
    size_t size = 0;
    for (auto _ : state)
    {
        std::string packed = context.Pack();
        size = packed.size();
        benchmark::DoNotOptimize(packed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_PackScriptContext20Values);

void BM_UnpackScriptContext20Values(benchmark::State& state)
{
    const std::string packed = TwentyValues().Pack();
    for (auto _ : state)
    {
        ScriptContext context;
        bool ok = context.Unpack(packed);
        benchmark::DoNotOptimize(ok);
        benchmark::DoNotOptimize(context);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * packed.size()));
}
BENCHMARK(BM_UnpackScriptContext20Values);

// A hostile payload costs no more than its size: a refused read of 64 KiB of nested array headers.
void BM_RefuseHostileNesting64KiB(benchmark::State& state)
{
    spdlog::level::level_enum level = spdlog::get_level();
    spdlog::set_level(spdlog::level::off);
    const std::string payload = std::string(65535, '\x91') + '\xc0';
    for (auto _ : state)
    {
        PacketEnvelope envelope;
        bool ok = NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()),
                                                 payload.size(), envelope);
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * payload.size()));
    spdlog::set_level(level);
}
BENCHMARK(BM_RefuseHostileNesting64KiB);
} // namespace
