// The MySQL script module in the real server binary: Lua and Squirrel resources connect to the test
// database at start, their queued queries run in the main loop's passes and hand their rows to the
// callbacks; a failed start and a console stop close the connection. Needs the database of
// tools/test-mariadb (LNF_MYSQL_* in the environment, as tools/run-tests sets them); skipped without.

#include <chrono>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "ServerProcess.h"

namespace
{
using namespace std::chrono_literals;

struct Database
{
    std::string host, port, user, password, schema;
};

bool ReadDatabase(Database& db)
{
    const char* names[] = {"LNF_MYSQL_HOST", "LNF_MYSQL_PORT", "LNF_MYSQL_USER", "LNF_MYSQL_PASSWORD",
                           "LNF_MYSQL_SCHEMA"};
    std::string* fields[] = {&db.host, &db.port, &db.user, &db.password, &db.schema};
    for (size_t i = 0; i < 5; ++i)
    {
        const char* value = std::getenv(names[i]);
        if (value == nullptr)
            return false;
        *fields[i] = value;
    }
    return true;
}

TEST(MySQLOnline, QueuedQueriesRunInTheMainLoopAndStopClosesTheConnection)
{
    Database db;
    if (!ReadDatabase(db))
        GTEST_SKIP() << "no test database: LNF_MYSQL_* are not set (tools/run-tests starts one with "
                        "tools/test-mariadb)";
    const std::string connect = "MySQL.Connect(\"" + db.host + "\", " + db.port + ", \"" + db.user +
                                "\", \"" + db.password + "\", \"" + db.schema + "\")";

    ServerProcess server;
    server.WriteFile("resources/dblua/meta.xml",
                     R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
    server.WriteFile("resources/dblua/main.lua",
                     connect +
                         "\n"
                         "MySQL.Select('SELECT ? AS n', {41}, function(rows)\n"
                         "  Console.Log('rows ' .. #rows .. ' ' .. rows[1].n)\n"
                         "  MySQL.Execute('DO 1', {}, function(count) Console.Log('count ' .. count) end)\n"
                         "end)\n");
    // Its start fails after it connected and queued a query.
    server.WriteFile("resources/dbfail/meta.xml",
                     R"(<meta type="lua"><script src="main.lua" type="server"/></meta>)");
    server.WriteFile("resources/dbfail/main.lua",
                     connect + "\n"
                               "MySQL.Select('SELECT 1', {}, function() Console.Log('never') end)\n"
                               "error('start fails')\n");
    server.WriteFile("resources/dbnut/meta.xml",
                     R"(<meta type="squirrel"><script src="main.nut" type="server"/></meta>)");
    server.WriteFile("resources/dbnut/main.nut",
                     connect + ";\n"
                               "MySQL.Select(\"SELECT ? AS n\", [\"nut\"], function(rows) {\n"
                               "  Console.Log(\"rows \" + rows.len() + \" \" + rows[0].n);\n"
                               "});\n");
    server.WriteSettings({{"resource", "dblua"}, {"resource", "dbfail"}, {"resource", "dbnut"}});
    ASSERT_TRUE(server.Start());

    ASSERT_TRUE(server.WaitForMessage("[Script] dblua: count 0", 10s)) << server.OutputText();
    ASSERT_TRUE(server.WaitForMessage("[Script] dbnut: rows 1 nut", 10s)) << server.OutputText();
    EXPECT_EQ(server.CountMessages("[Script] dblua: rows 1 41"), 1u);
    const std::string connected = "[MySQL] Connected to " + db.host + " using port " + db.port + ".";
    EXPECT_EQ(server.CountMessages(connected), 3u) << server.OutputText();
    // The failed start closed its connection and dropped its query.
    EXPECT_EQ(server.CountMessages("[MySQL] Closed connection."), 1u) << server.OutputText();
    EXPECT_EQ(server.CountLines("never"), 0u);

    ASSERT_TRUE(server.WriteLine("stop dbnut"));
    ASSERT_TRUE(server.WaitForMessage("[Resource] Stopped resource dbnut.", 10s)) << server.OutputText();
    EXPECT_EQ(server.CountMessages("[MySQL] Closed connection."), 2u) << server.OutputText();
}

} // namespace
