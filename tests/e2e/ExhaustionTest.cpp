// Input from outside that used to exhaust the real server binary: each row sends it and then checks
// what the server kept (its peak memory, the log) and that the main loop still answers the console
// within a second.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Network/MessagePack.h"
#include "Network/PacketWriter.h"
#include "Network/Packets.h"
#include "Scripting/ScriptContext.h"
#include "ServerProcess.h"
#include "TestClient.h"

namespace
{
using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kWait = 30s;
constexpr size_t kMiB = size_t{1} << 20;
// How many times a packet's size the server's peak may grow by while it handles the packet. The
// address sanitizer holds freed blocks back for a while, so there every copy made along the way adds.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kPeakFactor = 12;
#elif defined(__SANITIZE_THREAD__)
// The thread sanitizer keeps shadow memory for every byte the server touches, several times its
// size, which the server's peak includes: a server at 5 times the packet peaks near 25 times there.
constexpr size_t kPeakFactor = 32;
#else
constexpr size_t kPeakFactor = 6;
#endif

// A "kB" line of /proc/<pid>/status in bytes: VmRSS now, VmHWM the peak.
std::optional<size_t> StatusBytes(pid_t pid, const std::string& field)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(field + ":", 0) == 0)
            return std::stoull(line.substr(field.size() + 1)) * 1024;
    return std::nullopt;
}

// Starts a new peak: the kernel sets VmHWM back to the current resident size.
bool ResetPeak(pid_t pid)
{
    std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
    return static_cast<bool>(out << "5");
}

// One packed context holding a table {n = {n = ... {n = leaf}}} of `levels` tables.
std::string NestedTables(int levels, const std::string& leaf)
{
    auto single = [](auto add)
    {
        ScriptContext context;
        add(context);
        return context.Pack();
    };
    std::string value = single([&](ScriptContext& c) { c.AddString(leaf); });
    const std::string key = single([](ScriptContext& c) { c.AddString("n"); });
    for (int level = 0; level < levels; ++level)
    {
        MessagePack::StringBuffer table;
        MessagePack::Packer packer(table);
        packer.pack_array(2);
        packer.pack_array(1);
        MessagePack::PackStr(packer, key);
        packer.pack_array(1);
        MessagePack::PackStr(packer, value);
        ScriptContext wrapped;
        wrapped.types[0] = Table;
        wrapped.tables[0] = std::move(table.data);
        value = wrapped.Pack();
    }
    return value;
}

TEST(ExhaustionTest, HostileInputStaysBoundedAndTheMainLoopAnswers)
{
    ServerProcess server;
    // Three resources handle the event: their queues share one copy of the arguments.
    for (const char* name : {"deep", "deep2", "deep3"})
    {
        server.WriteFile(std::string("resources/") + name + "/meta.xml",
                         R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
        server.WriteFile(std::string("resources/") + name + "/main.lua",
                         "Events.Subscribe('deep', function(t)\n"
                         "  local levels = 0\n"
                         "  while type(t) == 'table' do levels = levels + 1 t = t.n end\n"
                         "  print('deep: ' .. levels .. ' levels, ' .. #t .. ' bytes')\n"
                         "end, true)\n");
    }
    server.WriteSettings({{"resource", "deep"}, {"resource", "deep2"}, {"resource", "deep3"}});
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully loaded resource deep3.", kWait))
        << server.OutputText();
    TestClient client;
    ASSERT_TRUE(client.Connect(server.Port()));
    ASSERT_TRUE(client.WaitFor<ServerInfoPacket>());

    // Sends a packet and waits for `done` to be logged `count` times: the server's peak memory must
    // stay within a few times the packet above what it held before.
    auto peakFor = [&](const std::string& packet, const std::string& done,
                       size_t count) -> testing::AssertionResult
    {
        const std::optional<size_t> before = StatusBytes(server.Pid(), "VmRSS");
        if (!before || !ResetPeak(server.Pid()))
            return testing::AssertionFailure() << "cannot read the server's memory";
        client.SendRaw(0, packet);
        if (!server.WaitForCount(done, count, kWait))
            return testing::AssertionFailure() << "never logged: " << done;
        const size_t peak = StatusBytes(server.Pid(), "VmHWM").value_or(0);
        std::printf("[ exhaust  ] packet of %.1f MiB: peak %.1f MiB over %.1f MiB before\n",
                    double(packet.size()) / kMiB, double(peak - *before) / kMiB, double(*before) / kMiB);
        if (peak > *before + kPeakFactor * packet.size())
            return testing::AssertionFailure()
                   << "peak " << peak / kMiB << " MiB, " << *before / kMiB << " MiB before, for a packet of "
                   << packet.size() / kMiB << " MiB";
        return testing::AssertionSuccess();
    };
    // An EventTrigger whose argument is a table nested 63 deep around a string (it peaked at 130
    // times the packet): every handler gets the whole table.
    auto deepTable = [&](size_t bytes)
    {
        return [&, bytes]
        {
            return peakFor(PackPacket(EventTriggerPacket{"deep", NestedTables(63, std::string(bytes, 'x'))}),
                           "deep: 63 levels, " + std::to_string(bytes) + " bytes", 3);
        };
    };
    // A packet that is one array of nils (it peaked at 25 times the packet): refused.
    auto nilArray = [&](uint32_t count)
    {
        return [&, count]
        {
            std::string packet = "\xdd";
            for (int shift = 24; shift >= 0; shift -= 8)
                packet += static_cast<char>(count >> shift);
            packet.append(count, '\xc0');
            return peakFor(packet, "[NetPacket] Packet deserialization failed: bad cast.", 1);
        };
    };

    // An overlong console line runs as its first 511 bytes; the rest, here a kick, never runs.
    const std::string a(506, 'a'), b(84, 'b'), c(506, 'c');
    const std::string tooLong = "[Server] Console line longer than 511 bytes; the rest of it was ignored.";
    int markers = 0;
    auto consoleLine = [&](const std::string& line, const std::vector<std::string>& expected)
    {
        return [&, line, expected]() -> testing::AssertionResult
        {
            // A kick of a marker closes what the line logged.
            const std::string marker = "marker" + std::to_string(++markers);
            const std::string end = "[Server] Client with ID " + marker + " doesn't exist.";
            const size_t from = server.Messages().size();
            if (!server.WriteLine(line) || !server.WriteLine("kick " + marker) ||
                !server.WaitForMessage(end, kWait))
                return testing::AssertionFailure() << "the console does not answer";
            std::vector<std::string> got;
            const std::vector<std::string> messages = server.Messages();
            for (size_t i = from; i < messages.size() && messages[i] != end; ++i)
                if (messages[i].rfind("[Server]", 0) == 0)
                    got.push_back(messages[i]);
            if (got != expected)
                return testing::AssertionFailure() << testing::PrintToString(got);
            return testing::AssertionSuccess();
        };
    };

    const struct
    {
        const char* what;
        std::function<testing::AssertionResult()> run;
    } rows[] = {
        {"1 MiB nested table", deepTable(1 * kMiB)},
        {"4 MiB nested table", deepTable(4 * kMiB)},
        {"8 MiB nested table", deepTable(8 * kMiB)},
        {"16 MiB array of nils", nilArray(16 * kMiB)},
        {"600-byte console line",
         consoleLine("stop " + a + "kick " + b, {tooLong, "[Server] Stop resource " + a + "."})},
        {"511-byte console line", consoleLine("stop " + c, {"[Server] Stop resource " + c + "."})},
    };
    size_t answered = 0;
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.what);
        EXPECT_TRUE(row.run()) << server.OutputText().substr(0, 4000);
        // The main loop still answers at once.
        ASSERT_TRUE(server.WriteLine("help"));
        EXPECT_TRUE(server.WaitForCount("[Help] kick <playerid>", ++answered, 1s));
    }
}

} // namespace
