// Resources against careless operators and a database that stops answering, through the real binary:
// a database paused mid-use ends each call as its failure within the time-out and the main loop goes
// on; meta.xml entries that would make the cache or the downloads lie are refused; a file the current
// meta.xml no longer lists can't be downloaded.

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "RawHttp.h"
#include "ServerProcess.h"

namespace
{
using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kWait = 20s;

// A MariaDB server of this test's own (tools/test-mariadb), so that pausing it disturbs no other test.
// The destructor resumes and stops it whatever happened.
class PrivateDatabase
{
public:
    PrivateDatabase()
    {
        folder = std::filesystem::temp_directory_path() /
                 ("lnf-hostile-db-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
        started = Tool("start") == 0;
        std::ifstream env(folder / "env");
        for (std::string line; std::getline(env, line);)
        {
            const size_t equals = line.find('=');
            if (equals != std::string::npos)
                values[line.substr(0, equals)] = line.substr(equals + 1);
        }
        std::ifstream(folder / "pid") >> pid;
        started = started && pid > 0 && values.size() == 5;
    }
    ~PrivateDatabase()
    {
        Resume();
        Tool("stop");
        std::filesystem::remove_all(folder);
    }

    bool Started() const { return started; }
    void Pause() { ::kill(pid, SIGSTOP); }
    void Resume()
    {
        if (pid > 0)
            ::kill(pid, SIGCONT);
    }
    // The arguments of the script's MySQL.Connect to it.
    std::string ConnectArguments() const
    {
        return "'" + values.at("LNF_MYSQL_HOST") + "', " + values.at("LNF_MYSQL_PORT") + ", '" +
               values.at("LNF_MYSQL_USER") + "', '" + values.at("LNF_MYSQL_PASSWORD") + "', '" +
               values.at("LNF_MYSQL_SCHEMA") + "'";
    }

private:
    int Tool(const char* command) const
    {
        const std::string line = std::string(LNF_SOURCE_DIR) + "/tools/test-mariadb " + command + " '" +
                                 folder.string() + "' > /dev/null 2>&1";
        return std::system(line.c_str());
    }

    std::filesystem::path folder;
    std::map<std::string, std::string> values;
    pid_t pid = 0;
    bool started = false;
};

// Console `help` answers within a second: the main loop is not held.
void ExpectMainLoopAnswers(ServerProcess& server)
{
    const size_t before = server.CountMessages("[Help] List of commands:");
    ASSERT_TRUE(server.WriteLine("help"));
    EXPECT_TRUE(server.WaitForCount("[Help] List of commands:", before + 1, 1s)) << server.OutputText();
}

void WriteLuaResource(ServerProcess& server, const std::string& name, const std::string& meta,
                      const std::map<std::string, std::string>& files)
{
    server.WriteFile("resources/" + name + "/meta.xml", "<meta type=\"lua\">" + meta + "</meta>");
    for (const auto& [path, content] : files)
        server.WriteFile("resources/" + name + "/" + path, content);
}

struct FreezeCase
{
    std::string name;
    bool connectAtStart;
    std::string onGo;     // runs while the database is paused
    std::string expected; // a line that contains this shows the call has ended
};

TEST(ResourceHostile, APausedDatabaseEndsEachCallAsItsFailure)
{
    PrivateDatabase db;
    if (!db.Started())
        GTEST_SKIP() << "tools/test-mariadb could not start a private MariaDB server";

    // Logs the error a call raised.
    const auto logError = [](const std::string& function, const std::string& arguments)
    { return "Console.Log('ended: ' .. tostring(select(2, pcall(" + function + ", " + arguments + "))))"; };
    const std::vector<FreezeCase> cases = {
        {"sync", true, logError("MySQL.Select", "'SELECT 1', {}"),
         "[Script] sync: ended: Exception on query: "},
        {"queued", true, "MySQL.Select('SELECT 1', {}, function() Console.Log('never') end)",
         "[MySQL] Exception on query: "},
        {"connect", false, logError("MySQL.Connect", db.ConnectArguments()),
         "[Script] connect: ended: Failed to connect with MySQL host."},
    };

    ServerProcess server;
    ServerProcess::SettingsList settings = {{"loglevel", "0"}};
    for (const FreezeCase& c : cases)
    {
        WriteLuaResource(
            server, c.name, R"(<script src="main.lua" type="server"/>)",
            {{"main.lua", (c.connectAtStart ? "MySQL.Connect(" + db.ConnectArguments() + ")\n" : "") +
                              "Events.Subscribe('resourceStart', function(name)\n"
                              "  if name == 'go' then " +
                              c.onGo + " end\nend)\n"}});
        settings.emplace_back("resource", c.name);
    }
    WriteLuaResource(server, "go", "", {});
    server.WriteSettings(settings);
    ASSERT_TRUE(server.Start({false, {"LNF_TEST_MYSQL_TIMEOUT=1"}}));
    ASSERT_TRUE(server.WaitForCount("[MySQL] Connected to ", 2, kWait)) << server.OutputText();

    db.Pause();
    ASSERT_TRUE(server.WriteLine("start go"));
    for (const FreezeCase& c : cases)
        EXPECT_TRUE(server.WaitForLine(c.expected, 10s)) << c.name << "\n" << server.OutputText();
    ExpectMainLoopAnswers(server);
    EXPECT_EQ(server.CountLines("never"), 0u);
}

struct RefusalCase
{
    std::string name;
    std::string meta;
    std::map<std::string, std::string> files;
    std::string error;
};

TEST(ResourceHostile, NothingUnlistedOrAmbiguousIsServed)
{
    const std::map<std::string, std::string> script = {{"ui/a.lua", "-- a"}};
    const auto blocked = [](const std::string& name, const std::string& src)
    {
        return RefusalCase{name,
                           "<file src=\"" + src + "\"/>",
                           {{src, "MZ"}},
                           "[Resource] Blocked dangerous looking file " + src + ". (resource: " + name +
                               ")."};
    };
    const std::vector<RefusalCase> cases = {
        {"twice", R"(<script src="ui/a.lua" type="client"/><file src="ui//a.lua"/>)", script,
         "[Resource] ui//a.lua is declared more than once (resource: twice)."},
        {"dotted", R"(<script src="ui/a.lua" type="shared"/><script src="./ui/a.lua" type="client"/>)",
         script, "[Resource] ./ui/a.lua is declared more than once (resource: dotted)."},
        blocked("dot", "tools/setup.exe."),
        blocked("blank", "tools/setup.exe "),
        blocked("mixed", "setup.Exe. ."),
    };

    ServerProcess server;
    ServerProcess::SettingsList settings = {{"loglevel", "0"}};
    for (const RefusalCase& c : cases)
    {
        WriteLuaResource(server, c.name, c.meta, c.files);
        settings.emplace_back("resource", c.name);
    }
    // Listed twice as a server script is no conflict: server scripts never reach the cache.
    WriteLuaResource(server, "moved",
                     R"(<script src="secret.lua" type="client"/><script src="secret.lua" type="server"/>)"
                     R"(<file src="kept.txt"/>)",
                     {{"secret.lua", "-- secret"}, {"kept.txt", "kept"}});
    settings.emplace_back("resource", "moved");
    server.WriteSettings(settings);
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(server.WaitForMessage("[Resource] Started resource moved.", kWait)) << server.OutputText();

    for (const RefusalCase& c : cases)
    {
        EXPECT_EQ(server.CountMessages(c.error), 1u) << c.name << "\n" << server.OutputText();
        EXPECT_EQ(server.CountMessages("[Server] Failed to load resource " + c.name + "."), 1u) << c.name;
    }

    const auto status = [&](const std::string& path)
    { return RawHttpRequest(server.Port(), BuildRawRequest("GET", "/moved/" + path)).status; };
    EXPECT_EQ(status("secret.lua"), 200);
    // The script becomes server-only: its old encrypted copy must go with the restart.
    server.WriteFile(
        "resources/moved/meta.xml",
        R"(<meta type="lua"><script src="secret.lua" type="server"/><file src="kept.txt"/></meta>)");
    ASSERT_TRUE(server.WriteLine("restart moved"));
    ASSERT_TRUE(server.WaitForMessage("[Server] Successfully restarted resource moved.", kWait))
        << server.OutputText();
    EXPECT_EQ(status("secret.lua"), 404);
    EXPECT_EQ(status("kept.txt"), 200);
    EXPECT_FALSE(server.FileExists("cache/resources/moved/secret.lua"));
    ExpectMainLoopAnswers(server);
}

} // namespace
