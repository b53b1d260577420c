// Resources in-process: what a meta.xml may hold, what the cache holds, events and stops between real
// Lua resources, and what game clients are told of resources.

#include <array>
#include <chrono>
#include <functional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <zlib.h>

#include "Bytes.h"
#include "LogCapture.h"
#include "Network/NetPacket.h"
#include "Network/ServerEvents.h"
#include "ResourceTestUtil.h"
#include "Scripting/ScriptFunctionRegistry.h"

namespace
{

namespace fs = std::filesystem;

const auto Lua = [](const std::string& body) { return "<meta type=\"lua\">" + body + "</meta>"; };
const auto File = [](const std::string& src) { return "<file src=\"" + src + "\"/>"; };
const auto Script = [](const std::string& src, const std::string& type = "server")
{ return "<script src=\"" + src + "\" type=\"" + type + "\"/>"; };

// Steps, separated by ";": "start|stop {resource}", "trigger|queue {event}", "remote {event} {source}",
// "process", "lua {resource} {code}", "unpushable {resource} {event}" (a handler that can't be
// pushed), "thread" (fails unless the last trigger on this thread was canceled and another thread
// sees no cancel), "last" (fails when the last trigger on this thread was canceled), "idle {resource}"
// (fails while it holds queued events), "source {resource} {id}" (fails unless its last event came
// from that client), "down {resource}" (fails unless it is loaded, not started, without VM and
// handlers), "call {resource} {export}" (fails when the export can't be called). Gives "canceled"
// for a canceled trigger and "failed" for any other failed step.
std::string Do(const std::string& steps)
{
    std::string gave, step;
    for (std::istringstream parts(steps); std::getline(parts, step, ';');)
    {
        std::istringstream words(step);
        std::string verb, name, rest;
        std::getline(words >> verb >> name >> std::ws, rest);
        ResourceManager& rm = *g_server->resourceManager;
        Resource* resource =
            verb == "start" && !rm.GetResource(name) ? rm.CreateResource(name) : rm.GetResource(name);
        bool there = true; // what another thread sees of the cancel state
        const auto look = [&] { there = rm.WasLastCanceled(); };
        ScriptContext results;
        const std::map<std::string, std::function<bool()>> verbs = {
            {"start", [&] { return resource->Load() && resource->Start(); }},
            {"stop", [&] { return rm.StopResource(name), true; }},
            {"trigger", [&] { return rm.TriggerEvent(name, kServerEventSource, false, {}); }},
            {"queue", [&] { return rm.QueueEvent(name, kServerEventSource, false, {}), true; }},
            {"remote", [&] { return rm.QueueEvent(name, std::stoi(rest), true, {}), true; }},
            {"process", [&] { return rm.Process(), true; }},
            {"lua", [&] { return resource->GetVM()->LoadScript("step", rest), true; }},
            {"unpushable", [&] { return resource->AddHandler(rest, ScriptFunctionRef(), false), true; }},
            {"thread", [&] { return std::thread(look).join(), !there && rm.WasLastCanceled(); }},
            {"last", [&] { return !rm.WasLastCanceled(); }},
            {"call", [&] { return resource->CallExport(rest, {}, results); }},
            {"idle", [&] { return !resource->HasQueuedEvents(); }},
            {"source", [&] { return resource->GetSource() == std::stoi(rest); }},
            {"down",
             [&]
             {
                 return resource->IsLoaded() && !resource->IsStarted() && resource->GetVM() == nullptr &&
                        resource->GetHandlerCount() == 0;
             }},
        };
        if (!verbs.at(verb)())
            gave += verb == "trigger" ? "canceled" : "failed";
    }
    return gave;
}

// ResourceTest.Do(steps), open to every script of this program, runs steps of the event table below.
int32_t TestDo(void* state)
{
    std::string steps;
    return FindScriptVM(state)->GetString(1, steps) ? (Do(steps), 0) : -1;
}
const ScriptFunctionEntry kTestDo("ResourceTest", "Do", &TestDo);

class ResourceTest : public ::testing::Test
{
protected:
    void SetUp() override { restest::ResetSettings(); }

    restest::TempBase base;
    restest::TestServer server;
};

struct LoadRow
{
    std::string meta;               // a meta.xml body, or the whole file when it starts with "<m" or "<r"
    std::vector<std::string> files; // below resources/{name}, or below the program folder with "/"
    std::string errors; // the load's error lines without "[Resource] "; ending in a blank: a prefix
    std::string name = "res";
};

TEST_F(ResourceTest, LoadRefusesWhatCouldMisleadOrEscape)
{
    const std::string reason = "Could not parse meta.xml for resource res (reason: ";
    const std::string r = " (resource: res).", twice = " is declared more than once (resource: res).";
    const std::string blocked = "Blocked dangerous looking file ";
    const std::string failed = "\nFailed updating cache of resource res.", file = "[ResourceFile] Failed to ";
    std::vector<LoadRow> rows = {
        {R"(<resource type="lua"/>)", {}, reason + "meta attribute)."},
        {"<meta/>", {}, reason + "resource type attribute)."},
        {R"(<meta type="Lua"/>)", {}, reason + "unknown resource type)."},
        {R"(<script type="server"/>)", {}, reason + "script src attribute)."},
        {"<file/>", {}, reason + "file src attribute)."},
        {R"(<export type="server"/>)", {}, reason + "export function attribute)."},
        {"<meta", {}, "Could not load meta.xml for resource res (error: "},
        {"", {}, "Could not find meta.xml for resource nometa (path: ", "nometa"},
        {Script("main.LUA"), {}, "main.LUA isn't a lua file" + r},
        {Script("main"), {}, "main isn't a lua file" + r},
        {R"(<meta type="squirrel">)" + Script("a.lua") + "</meta>", {}, "a.lua isn't a squirrel file" + r},
        {File("x"), {}, "Could not find x declared in resource res."},
        {Script("a.lua", "Server"), {"a.lua"}, "Could not detect script type of a.lua" + r},
        {R"(<export function="f"/>)", {}, "Could not detect export type of f" + r},
        {File("a/SETUP.EXE"), {"a/SETUP.EXE"}, blocked + "a/SETUP.EXE." + r},
        {File("absent.Scr"), {}, blocked + "absent.Scr." + r},
        {File("run.Bat"), {"run.Bat"}, blocked + "run.Bat." + r},
        {File("a.cmd"), {"a.cmd"}, blocked + "a.cmd." + r},
        {File("a.vbs"), {"a.vbs"}, blocked + "a.vbs." + r},
        {File("setup.exe."), {}, blocked + "setup.exe.." + r},
        {File("setup.Exe. ."), {}, blocked + "setup.Exe. .." + r},
        {Script("../other/a.lua"), {}, "Invalid path ../other/a.lua in resource res."},
        {File("a/../../x.lua"), {}, "Invalid path a/../../x.lua in resource res."},
        {File("/etc/hostname"), {}, "Invalid path /etc/hostname in resource res."},
        {File("..\\secret.txt"), {}, "Invalid path ..\\secret.txt in resource res."},
        {File(""), {}, "Invalid path  in resource res."},
        {Script("a/b.lua", "client") + File("a//b.lua"), {"a/b.lua"}, "a//b.lua" + twice},
        {Script("a.lua", "shared") + Script("./a.lua", "client"), {"a.lua"}, "./a.lua" + twice},
        // Accepted: a server script is never cached, look-alikes, unknown elements and attributes.
        {Script("a.lua", "client") + Script("a.lua") + File("setup.exe.txt") + File("LICENSE") +
             R"(<Script src="ignored.lua" type="server"/><file src="x.txt" type="y"/>)",
         {"a.lua", "setup.exe.txt", "LICENSE", "x.txt"},
         ""},
        // The cache can't be made or written: a file where its folder goes, a source that is a
        // folder, a cache file that is a folder.
        {R"(<meta type="lua"/>)", {"/cache"}, failed.substr(1)},
        {File("d"),
         {"d/x"},
         file + "open d of resource res.\n" + file + "read d of resource res for cache update." + failed},
        {File("d"), {"d", "/cache/resources/res/d/x"}, file + "open d of resource res in cache." + failed},
    };
    // An invalid name is refused before anything is made for it.
    for (const std::string name : {"", ".", "..", "a/b", "a\\b", "/tmp", "../res"})
        rows.push_back({"", {}, "Invalid resource name " + name + ".", name});
    for (const LoadRow& row : rows)
    {
        fs::remove_all(base.folder);
        if (!row.meta.empty())
            base.Write("resources/" + row.name + "/meta.xml",
                       row.meta.starts_with("<m") || row.meta.starts_with("<r") ? row.meta : Lua(row.meta));
        for (const std::string& file : row.files)
            base.Write(file[0] == '/' ? file.substr(1) : "resources/" + row.name + "/" + file, file);
        LogCapture log;
        Resource* resource = server.Manager().CreateResource(row.name);
        const bool loaded = resource->Load();
        std::string errors;
        for (const std::string& line : log.Messages(spdlog::level::err))
            errors +=
                (errors.empty() ? "" : "\n") + (line.starts_with("[Resource] ") ? line.substr(11) : line);
        EXPECT_EQ(row.errors.ends_with(' ') ? errors.substr(0, row.errors.size()) : errors, row.errors);
        EXPECT_EQ(loaded, row.errors.empty()) << row.meta;
        EXPECT_EQ(resource->IsLoaded(), loaded) << row.meta;
        EXPECT_TRUE(!row.errors.starts_with("Invalid resource name") || !fs::exists(base.folder / "cache"));
        server.Manager().StopResource(row.name);
    }
}

TEST_F(ResourceTest, CacheHoldsExactlyWhatClientsDownload)
{
    // PBKDF2-HMAC-SHA-256 of "tarragon" (empty salt, 15000 rounds: AES key, then EAX nonce), and the
    // EAX box of "hello" under it.
    const CacheKeyMaterial key = ResourceFile::DeriveCacheKey("tarragon");
    EXPECT_EQ(ToHex(std::string(key.begin(), key.end()) + ResourceFile::EncryptForCache("hello", key)),
              ToHex(FromHex("220becb2b75ed3281dd0be066174d096bb95443df351d8811c7a40a925b83ff5"
                            "6f52a9360ebbf14b2556a4ab8654449ed75c62e5fd")));
    base.WriteResource(
        "res",
        Lua(Script("ui/c.lua", "client") + Script("s.lua") + Script("sh.lua", "shared") +
            Script("e.lua", "client") + File("d.txt")),
        {{"ui/c.lua", "c"}, {"s.lua", "s"}, {"sh.lua", "return 42"}, {"e.lua", ""}, {"d.txt", "123456789"}});
    base.Write("cache/resources/res/d.txt", "987654321"); // same size, other bytes
    base.Write("cache/resources/res/old.lua", "listed by an earlier meta.xml");
    base.Write("cache/resources/res/ui/old/x.lua", "listed by an earlier meta.xml");
    const fs::path cache = base.folder / "cache/resources/res";
    const fs::file_time_type before = fs::last_write_time(cache / "d.txt") - std::chrono::hours(1);
    const auto crc = [](const std::string& b)
    { return crc32(0, reinterpret_cast<const Bytef*>(b.data()), b.size()); };

    // Client scripts are encrypted (~) with a secret and copied (=) without, server scripts left out
    // (-); each file's checksum is the CRC-32 of its cached bytes (else "!"). Stale files go, and a
    // file that holds its bytes already is not written again.
    for (const std::string secret : {"tarragon", ""})
    {
        restest::ResetSettings(secret);
        fs::last_write_time(cache / "d.txt", before);
        server.Manager().StopResource("res");
        Resource* resource = server.Manager().CreateResource("res");
        ASSERT_TRUE(resource->Load());
        std::string listed;
        for (const auto& file : resource->GetFiles())
        {
            const std::string cached = base.Read("cache/resources/res/" + file->GetPath());
            const std::string source = base.Read("resources/res/" + file->GetPath());
            listed += file->GetPath() + (!fs::exists(cache / file->GetPath())                   ? "-"
                                         : cached == source                                     ? "="
                                         : cached == ResourceFile::EncryptForCache(source, key) ? "~"
                                                                                                : "?");
            listed += file->GetChecksum() == crc(cached) ? " " : "! ";
        }
        EXPECT_EQ(listed, secret.empty() ? "ui/c.lua= s.lua- sh.lua= e.lua= d.txt= "
                                         : "ui/c.lua~ s.lua- sh.lua~ e.lua~ d.txt= ");
        EXPECT_EQ(resource->GetFiles().back()->GetChecksum(), 0xCBF43926u);
        EXPECT_EQ(fs::last_write_time(cache / "d.txt") == before, secret.empty());
        EXPECT_FALSE(fs::exists(cache / "old.lua") || fs::exists(cache / "ui/old"));
    }
}

// A handler made by rec(tag) logs its tag and its arguments.
const std::string kRec =
    "function rec(tag) return function(...) Console.Log(table.concat({tag, ...}, ' ')) end end\n";
const std::string kMain = R"(
Events.Subscribe('resourceStart', rec('start')) Events.Subscribe('resourceStop', function(name)
  rec('stop')(name, Resource.GetState(name)) if keep then Events.Cancel() end end)
Events.Subscribe('ev', rec('ev1')) Events.Subscribe('other', rec('other')) Events.Subscribe('ev', rec('ev2'))
Events.Subscribe('first', function() ResourceTest.Do('queue second') end) Events.Subscribe('second', rec('second'))
Events.Subscribe('grow', function() rec('g1')() if not grown then grown = true
  Events.Subscribe('grow', rec('g2')) Events.Subscribe('gro', rec('gro')) Events.Subscribe('grz', rec('grz')) end end)
Events.Subscribe('rev', rec('local')) Events.Subscribe('rev', function() rec('remote')(Events.GetSource()) end, true)
Events.Subscribe('cev', function() Events.Cancel() end) Events.Subscribe('cev', rec('cev2'))
Events.Subscribe('bad', function() error('boom') end) Events.Subscribe('bad', rec('bad2'))
function both() return 1 end function clientSide() return 1 end
Console.Log('main')
)";

TEST_F(ResourceTest, EventsAndStopsBetweenLuaResources)
{
    // Each resource runs a server, a client (never on the server), a shared and two server scripts, in
    // that order. "m", created first and named last, comes first wherever creation order counts; "c"
    // can't read its fourth script; "d" stops "e" and starts "f" while "walk" runs.
    const std::string meta =
        Lua(Script("w.lua") + Script("c.lua", "client") + Script("x.lua", "shared") + Script("v.lua") +
            Script("y.lua") + R"(<export function="both" type="shared"/>)" +
            R"(<export function="clientSide" type="client"/>)");
    for (const auto& [name, code] : std::map<std::string, std::string>{
             {"m", kMain},
             {"c", "Events.Subscribe('ev', rec('ev'))"},
             {"d",
              "Events.Subscribe('walk', function() rec('walk')() ResourceTest.Do('stop e; start f') end)"},
             {"e", "Events.Subscribe('walk', rec('walk'))"},
             {"f", "Events.Subscribe('walk', rec('walk'))"}})
    {
        base.WriteResource(name, meta,
                           {{"w.lua", kRec + code},
                            {"c.lua", "rec('c')()"},
                            {"x.lua", "rec('x')()"},
                            {"y.lua", "rec('y')()"}});
        base.Write("resources/" + name + (name == "c" ? "/v.lua/x" : "/v.lua"), "");
    }

    // Each row: steps, what the scripts said (their Console.Log lines, after them what the steps
    // gave), the other lines logged at info level and above (the first line of each), by level, and
    // the trace and debug lines but those of subscriptions, in order.
    const auto Q = [](const std::string& event)
    { return "[ResourceEventManager] Queue event " + event + ".\n"; };
    const auto T = [](const std::string& event)
    { return "[ResourceEventManager] Trigger event " + event + ".\n"; };
    const auto Made = [](const std::string& name) { return "[Debug] Created resource: " + name + "\n"; };
    const auto Gone = [](const std::string& name)
    { return "[Debug] Destructor of resource " + name + " called.\n"; };
    const std::vector<std::array<std::string, 4>> rows = {
        {"start m; process", "m: main, m: x, m: y, m: start m", "[Resource] Started resource m.",
         Made("m") + Q("resourceStart")},
        {"queue nobody; idle m", "", "", Q("nobody")},
        {"trigger ev; queue ev", "m: ev1, m: ev2", "", T("ev") + Q("ev")},
        {"process; idle m", "m: ev1, m: ev2", "", ""},
        {"queue first; process; trigger grow", "m: second, m: g1, m: g2", "",
         Q("first") + Q("second") + T("grow")},
        {"remote rev 7; process; source m 7; trigger rev; source m 65535",
         "m: remote 7, m: local, m: remote 65535",
         "[ResourceEvent] A handler of event rev in resource m doesn't allow to be triggered remotely.",
         Q("rev") + T("rev")},
        {"trigger cev; thread; trigger nobody; queue cev; process; last; idle m",
         "m: cev2, m: cev2, canceled", "", T("cev") + T("nobody") + Q("cev")},
        {"call m both; call m clientSide", "failed", "", ""},
        {"unpushable m bad; lua m Events.Subscribe('bad', rec('bad3')); trigger bad", "m: bad2, m: bad3",
         "[LuaVM] Failed to call function in resource m:\n"
         "[ResourceEvent] Failed to call a handler function of event bad in resource m.\n"
         "[ResourceEvent] Failed to push a handler function of event bad in resource m.",
         T("bad")},
        {"lua m keep = true; stop m", "m: stop m started",
         "[ResourceManager] Stopping of resource m was canceled.", T("resourceStop")},
        {"lua m keep = false; start c; down c; trigger ev; stop c", "c: x, m: ev1, m: ev2, failed",
         "[ResourceFile] Failed to open v.lua of resource c.\n[Resource] Unable to open v.lua of resource c.",
         Made("c") + T("ev") + Gone("c")},
        {"start d; start e; lua m Events.Subscribe('walk', rec('walk')); trigger walk",
         "d: x, d: y, e: x, e: y, m: walk, d: walk, m: stop e started, f: x, f: y",
         "[Resource] Started resource d.\n[Resource] Started resource e.\n[Resource] Stopped resource e.\n"
         "[Resource] Started resource f.",
         Made("d") + Q("resourceStart") + Made("e") + Q("resourceStart") + T("walk") + T("resourceStop") +
             Gone("e") + Made("f") + Q("resourceStart")},
        {"trigger walk; stop m", "m: walk, d: walk, f: walk, m: stop m started",
         "[Resource] Stopped resource m.", T("walk") + T("resourceStop") + Gone("m")},
    };
    for (const auto& [steps, said, logged, traced] : rows)
    {
        LogCapture log;
        const std::string gave = Do(steps);
        std::string scripts, others, low;
        for (const auto level : {spdlog::level::info, spdlog::level::warn, spdlog::level::err})
            for (const std::string& line : log.Messages(level))
                if (line.starts_with("[Script] "))
                    scripts += line.substr(9) + ", ";
                else
                    others += (others.empty() ? "" : "\n") + line.substr(0, line.find('\n'));
        for (const LogCapture::Entry& entry : log.Entries())
            if (entry.level <= spdlog::level::debug &&
                !entry.message.starts_with("[ResourceEvent] Add handler"))
                low += entry.message + "\n";
        EXPECT_EQ(gave.empty() ? scripts.substr(0, scripts.size() - 2) : scripts + gave, said) << steps;
        EXPECT_EQ(others, logged) << steps;
        EXPECT_EQ(low, traced) << steps;
    }
}

// What game clients are told: each client there hears of a start, a client that joins hears of the
// started resources only (not of one that is merely loaded), and a stop goes to everyone.
TEST(ResourceClientsTest, HearOfStartedResourcesOnly)
{
    restest::ResetSettings();
    restest::TempBase base;
    restest::TestServer server(true);
    const auto told = [](const std::string& payload) -> std::string
    {
        PacketEnvelope envelope;
        ResourceInfoPacket info;
        ResourceStopPacket stop;
        if (!NetPacket::DeserializeEnvelope(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(),
                                            envelope))
            return "?";
        if (envelope.identifier == info.identifier && NetPacket::Deserialize(info, envelope))
            return "info " + info.name;
        if (envelope.identifier == stop.identifier && NetPacket::Deserialize(stop, envelope))
            return "stop " + stop.name;
        return "?";
    };
    for (const std::string name : {"one", "idle"})
        base.WriteResource(name, Lua(File("a.txt")), {{"a.txt", "a"}});
    server.server.clientRegistry->AddClient(5);
    server.server.clientRegistry->AddClient(2);
    ASSERT_NE(server.StartResource("one"), nullptr);
    ASSERT_TRUE(server.Manager().CreateResource("idle")->Load());
    SendStartedResourceInfo(server.server.clientRegistry->AddClient(4));
    server.Manager().StopResource("one");
    std::string heard;
    for (const auto& [peer, payload] : server.TakeOutgoing())
        heard += std::to_string(peer) + " " + told(payload) + ", ";
    EXPECT_EQ(heard, "5 info one, 2 info one, 4 info one, -1 stop one, ");
}

} // namespace
