// The MySQL script module against a real database server, from Lua and Squirrel resources
// in-process. The server comes from tools/test-mariadb (tools/run-tests starts one and exports
// LNF_MYSQL_HOST, _PORT, _USER, _PASSWORD and _SCHEMA); without those variables the database tests
// are skipped. Each test works on tables of its own, named after the test and the process, so that
// tests can run in parallel against one server.
//
// Scripts report through rec(value), which appends a canonical text of the value to the global
// `out`: integers "i:5", floats "f:1.5", strings "s:text", null "null", arrays and Lua sequences
// "[a,b]", tables "{key=value,...}" with sorted keys.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mysql.h>

#include "LogCapture.h"
#include "ResourceTestUtil.h"
#include "Resources/MySQL.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptMySQL.h"
#include "Scripting/SquirrelVM.h"
#include "Server/Platform.h"

namespace
{

using restest::TempBase;
using restest::TestServer;

struct DatabaseSettings
{
    std::string host;
    uint32_t port = 0;
    std::string user;
    std::string password;
    std::string schema;
};

// The test database from the environment; false when it was not set up.
bool ReadDatabaseSettings(DatabaseSettings& settings)
{
    const char* host = std::getenv("LNF_MYSQL_HOST");
    const char* port = std::getenv("LNF_MYSQL_PORT");
    const char* user = std::getenv("LNF_MYSQL_USER");
    const char* password = std::getenv("LNF_MYSQL_PASSWORD");
    const char* schema = std::getenv("LNF_MYSQL_SCHEMA");
    if (host == nullptr || port == nullptr || user == nullptr || password == nullptr || schema == nullptr)
        return false;
    settings = {host, static_cast<uint32_t>(std::strtoul(port, nullptr, 10)), user, password, schema};
    return true;
}

constexpr const char* kSkipMessage =
    "no test database: LNF_MYSQL_HOST/_PORT/_USER/_PASSWORD/_SCHEMA are not set (tools/run-tests starts "
    "one with tools/test-mariadb)";

// A direct connection for preparing and checking tables behind the scripts' back.
class Database
{
public:
    explicit Database(const DatabaseSettings& settings) : handle(mysql_init(nullptr))
    {
        unsigned int protocol = MYSQL_PROTOCOL_TCP;
        mysql_optionsv(handle, MYSQL_OPT_PROTOCOL, &protocol);
        mysql_optionsv(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        connected = mysql_real_connect(handle, settings.host.c_str(), settings.user.c_str(),
                                       settings.password.c_str(), settings.schema.c_str(), settings.port,
                                       nullptr, 0) != nullptr;
    }
    ~Database() { mysql_close(handle); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    bool Connected() const { return connected; }
    std::string Error() { return mysql_error(handle); }

    void Exec(const std::string& sql)
    {
        ASSERT_EQ(mysql_real_query(handle, sql.data(), sql.size()), 0) << sql << ": " << Error();
    }

    // The first column of every row, NULL as "NULL", rows joined by "|".
    std::string Column(const std::string& sql)
    {
        if (mysql_real_query(handle, sql.data(), sql.size()) != 0)
            return "error: " + Error();
        MYSQL_RES* result = mysql_store_result(handle);
        if (result == nullptr)
            return "no result";
        std::string text;
        while (MYSQL_ROW row = mysql_fetch_row(result))
        {
            if (!text.empty())
                text += "|";
            text += row[0] != nullptr ? row[0] : "NULL";
        }
        mysql_free_result(result);
        return text;
    }

private:
    MYSQL* handle;
    bool connected = false;
};

const char* kLuaPrelude = R"lua(
out = ''
function dump(v)
  local t = type(v)
  if t == 'table' then
    local n = 0
    for _ in pairs(v) do n = n + 1 end
    local parts = {}
    if n == #v then
      for i = 1, n do parts[i] = dump(v[i]) end
      return '[' .. table.concat(parts, ',') .. ']'
    end
    local keys = {}
    for k in pairs(v) do keys[#keys + 1] = tostring(k) end
    table.sort(keys)
    for i, k in ipairs(keys) do parts[i] = k .. '=' .. dump(v[k]) end
    return '{' .. table.concat(parts, ',') .. '}'
  end
  if math.type(v) == 'integer' then return 'i:' .. v end
  if math.type(v) == 'float' then return 'f:' .. string.format('%g', v) end
  if t == 'string' then return 's:' .. v end
  if t == 'nil' then return 'null' end
  return t .. ':' .. tostring(v)
end
function rec(v) out = out .. dump(v) .. ';' end
function report() return out end
)lua";

const char* kSquirrelPrelude = R"nut(
out <- "";
function dump(v) {
  local t = typeof v;
  if (t == "table") {
    local keys = [];
    foreach (k, _ in v) keys.append(k);
    keys.sort();
    local parts = "";
    foreach (i, k in keys) parts += (i > 0 ? "," : "") + k + "=" + dump(v[k]);
    return "{" + parts + "}";
  }
  if (t == "array") {
    local parts = "";
    foreach (i, e in v) parts += (i > 0 ? "," : "") + dump(e);
    return "[" + parts + "]";
  }
  if (t == "integer") return "i:" + v;
  if (t == "float") return "f:" + format("%g", v);
  if (t == "string") return "s:" + v;
  if (t == "null") return "null";
  return t + ":" + v;
}
function rec(v) { ::out += dump(v) + ";"; }
function report() { return ::out; }
)nut";

enum class Language
{
    Lua,
    Squirrel,
};

class MySQLScriptTest : public ::testing::TestWithParam<Language>
{
protected:
    void SetUp() override
    {
        if (!ReadDatabaseSettings(db))
            GTEST_SKIP() << kSkipMessage;
        restest::ResetSettings();
        Resource::SetVMFactoryForTesting(ResourceSquirrel,
                                         [](Resource* owner) -> std::unique_ptr<ScriptVM>
                                         { return std::make_unique<SquirrelVM>(owner); });
        direct = std::make_unique<Database>(db);
        ASSERT_TRUE(direct->Connected()) << direct->Error();

        // Test names are unique within the suite; the process id keeps two runs apart.
        std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        table = "t_" + name + "_" + std::to_string(getpid());
        if (table.size() > 60)
            table = "t_" + std::to_string(std::hash<std::string>{}(name) % 1000000007) + "_" +
                    std::to_string(getpid());
        tables.push_back(table);

        resource = StartResource("db");
        ASSERT_NE(resource, nullptr);
    }

    void TearDown() override
    {
        server.Manager().StopResource("db");
        if (direct && direct->Connected())
            for (const std::string& each : tables)
                direct->Exec("DROP TABLE IF EXISTS `" + each + "`");
        Resource::SetVMFactoryForTesting(ResourceSquirrel, nullptr);
    }

    bool IsLua() const { return GetParam() == Language::Lua; }
    std::string Pick(const std::string& lua, const std::string& squirrel) const
    {
        return IsLua() ? lua : squirrel;
    }

    Resource* StartResource(const std::string& name)
    {
        const std::string file = Pick("main.lua", "main.nut");
        base.WriteResource(name,
                           "<meta type=\"" + Pick("lua", "squirrel") + "\">\n  <script src=\"" + file +
                               "\" type=\"server\"/>\n</meta>",
                           {{file, Pick(kLuaPrelude, kSquirrelPrelude)}});
        return server.StartResource(name);
    }

    void Run(const std::string& code) { ASSERT_TRUE(resource->GetVM()->LoadScript("test", code)) << code; }

    // What the scripts recorded since the last call.
    std::string Out()
    {
        ScriptContext results;
        EXPECT_TRUE(resource->GetVM()->CallGlobal("report", ScriptContext(), &results));
        Run(Pick("out = ''", "::out = \"\";"));
        auto found = results.strings.find(0);
        return found != results.strings.end() ? found->second : "<no report>";
    }

    std::string ConnectCall(const std::string& password) const
    {
        return "MySQL.Connect(\"" + db.host + "\", " + std::to_string(db.port) + ", \"" + db.user + "\", \"" +
               password + "\", \"" + db.schema + "\")";
    }
    std::string Connect() const { return ConnectCall(db.password) + Pick("", ";"); }

    // Records the value of an expression, or "error:<message>" when it raises.
    std::string Try(const std::string& expression) const
    {
        return Pick("do local ok, v = pcall(function() return " + expression +
                        " end) if ok then rec(v) else rec('error:' .. tostring(v)) end end\n",
                    "try { rec(" + expression + "); } catch (e) { rec(\"error:\" + e); }\n");
    }
    // Records "done" after a statement without results, or "error:<message>".
    std::string TryStatement(const std::string& statement) const
    {
        return Pick("do local ok, v = pcall(function() " + statement +
                        " end) if ok then rec('done') else rec('error:' .. tostring(v)) end end\n",
                    "try { " + statement + "; rec(\"done\"); } catch (e) { rec(\"error:\" + e); }\n");
    }
    // A script array of the given elements ("1, 2").
    std::string Array(const std::string& elements) const
    {
        return Pick("{" + elements + "}", "[" + elements + "]");
    }
    // A callback that records its one argument, prefixed with a label.
    std::string Recorder(const std::string& label) const
    {
        return Pick("function(r) rec('" + label + "') rec(r) end",
                    "function(r) { rec(\"" + label + "\"); rec(r); }");
    }
    std::string Null() const { return Pick("nil", "null"); }
    std::string Quote(const std::string& text) const { return "\"" + text + "\""; }

    void Pass() { resource->Process(); }

    DatabaseSettings db;
    std::unique_ptr<Database> direct;
    std::string table;
    std::vector<std::string> tables;
    LogCapture log;
    TempBase base;
    TestServer server;
    Resource* resource = nullptr;
};

TEST_P(MySQLScriptTest, ConnectCloseAndTheirErrors)
{
    Run(TryStatement(Connect()));
    Run(TryStatement(Connect()));
    Run(TryStatement("MySQL.Close()"));
    Run(TryStatement("MySQL.Close()"));
    Run(Try("MySQL.Execute(\"SELECT 1\", " + Array("") + ")"));
    Run(TryStatement("MySQL.Execute(\"SELECT 1\", " + Array("") + ", " + Recorder("cb") + ")"));
    EXPECT_EQ(Out(), "s:done;s:error:Database connection exist already.;s:done;"
                     "s:error:No database connection active.;s:error:No database connection active.;"
                     "s:error:No database connection active.;");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 0u);

    const std::vector<std::string> info = log.Messages(spdlog::level::info);
    const std::string connected =
        "[MySQL] Connected to " + db.host + " using port " + std::to_string(db.port) + ".";
    EXPECT_EQ(std::count(info.begin(), info.end(), connected), 1);
    EXPECT_EQ(std::count(info.begin(), info.end(), "[MySQL] Closed connection."), 1);

    // A script may connect again after a close.
    Run(TryStatement(Connect()));
    EXPECT_EQ(Out(), "s:done;");
    EXPECT_TRUE(resource->mysql->IsConnected());
}

TEST_P(MySQLScriptTest, WrongPasswordFailsToConnect)
{
    Run(TryStatement(ConnectCall("not-the-password")));
    EXPECT_EQ(Out(), "s:error:Failed to connect with MySQL host.;");
    EXPECT_FALSE(resource->mysql->IsConnected());
    const std::vector<std::string> errors = log.Messages(spdlog::level::err);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("[MySQL] Exception on connect: Access denied for user '" + db.user + "'", 0),
              0u)
        << errors[0];
    EXPECT_EQ(errors[0].back(), '.');
}

TEST_P(MySQLScriptTest, SynchronousExecuteInsertAndSelect)
{
    direct->Exec("CREATE TABLE `" + table +
                 "` (id BIGINT UNSIGNED AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20), score INT)");
    Run(Connect());
    const std::string insert = "\"INSERT INTO " + table + " (name, score) VALUES (?, ?)\"";
    Run(Try("MySQL.Insert(" + insert + ", " + Array("\"ann\", 5") + ")"));
    Run(Try("MySQL.Insert(" + insert + ", " + Array("\"bob\", 5") + ")"));
    Run(Try("MySQL.Insert(" + insert + ", " + Array("\"cid\", 7") + ")"));
    Run(Try("MySQL.Execute(\"UPDATE " + table + " SET score = score + 1 WHERE score = ?\", " + Array("5") +
            ")"));
    Run(Try("MySQL.Execute(\"UPDATE " + table + " SET score = 0 WHERE score = ?\", " + Array("99") + ")"));
    // A statement with rows counts no affected rows.
    Run(Try("MySQL.Execute(\"SELECT * FROM " + table + "\", " + Array("") + ")"));
    Run(Try("MySQL.Select(\"SELECT id, name AS label, score FROM " + table + " ORDER BY id\", " + Array("") +
            ")"));
    Run(Try("MySQL.Select(\"SELECT * FROM " + table + " WHERE score > ?\", " + Array("100") + ")"));
    // The largest unsigned auto-increment value shows as the negative number of the same bits.
    Run(Try("MySQL.Insert(\"INSERT INTO " + table + " (id, name) VALUES (18446744073709551615, 'max')\", " +
            Array("") + ")"));
    EXPECT_EQ(Out(),
              "i:1;i:2;i:3;i:2;i:0;i:0;"
              "[{id=i:1,name=s:ann,score=i:6},{id=i:2,name=s:bob,score=i:6},{id=i:3,name=s:cid,score=i:7}];"
              "[];i:-1;");
}

TEST_P(MySQLScriptTest, ValuesOfEveryColumnType)
{
    direct->Exec("CREATE TABLE `" + table +
                 "` (ti TINYINT, si SMALLINT UNSIGNED, mi MEDIUMINT, i INT, bi BIGINT, ubi BIGINT UNSIGNED,"
                 " f FLOAT, d DOUBLE, dc DECIMAL(10,3), vc VARCHAR(20), tx TEXT, vb VARBINARY(10), bl BLOB,"
                 " en ENUM('a','b'), js JSON, dt DATETIME, da DATE, ts TIMESTAMP NULL, tm TIME, y YEAR,"
                 " bt BIT(10), nn INT)");
    direct->Exec(
        "INSERT INTO `" + table +
        "` VALUES (-5, 65535, -8388608, 2147483647, -9223372036854775808, 18446744073709551615,"
        " 1.5, 0.1, 12.375, 'käse', 'long text', 'ab\\0cd', 'blob', 'b', '{\"k\": [1, 2]}',"
        " '2024-03-09 14:05:07', '0999-01-02', '2020-12-31 23:59:58', '-838:59:59', 2024, b'1010101010',"
        " NULL)");
    Run(Connect());
    Run(Pick("rows = ", "::rows <- ") + "MySQL.Select(\"SELECT * FROM " + table + "\", " + Array("") + ")" +
        Pick("", ";"));
    Run("rec(rows)" + Pick("", ";"));
    // Lua keeps a DOUBLE's full precision (Squirrel's floats, its literals included, have 32 bits).
    Run(Pick("rec(rows[1].d == 0.1)", "rec(rows[0].d == 0.1);"));
    const std::string common =
        "bi=i:-9223372036854775808,bl=s:blob,bt=i:682,d=f:0.1,da=s:0999-01-02 00:00:00,"
        "dc=f:12.375,dt=s:2024-03-09 14:05:07,en=s:b,f=f:1.5,i=i:2147483647,";
    EXPECT_EQ(
        Out(),
        Pick("[{" + common +
                 "mi=i:-8388608,si=i:65535,ti=i:-5,tm=s:0000-00-00 -838:59:59,ts=s:2020-12-31 23:59:58,"
                 "tx=s:long text,ubi=i:-1,vb=s:ab,vc=s:käse,y=i:2024}];boolean:true;",
             "[{" + common +
                 "js=null,mi=i:-8388608,nn=null,si=i:65535,ti=i:-5,tm=s:0000-00-00 -838:59:59,"
                 "ts=s:2020-12-31 23:59:58,tx=s:long text,ubi=i:-1,vb=s:ab,vc=s:käse,y=i:2024}];bool:true;"));
    EXPECT_EQ(log.Messages(spdlog::level::warn),
              std::vector<std::string>{"[MySQL] PushQueryTable - value type DOCUMENT unsupported."});
}

TEST_P(MySQLScriptTest, ColumnKeysAreColumnNamesNotLabels)
{
    direct->Exec("CREATE TABLE `" + table + "` (a INT, b INT)");
    direct->Exec("INSERT INTO `" + table + "` VALUES (1, 2)");
    Run(Connect());
    // Expressions have no column name and go by their labels; two columns with one key leave the
    // later one's value.
    Run(Try("MySQL.Select(\"SELECT a AS x, b AS a, 1 + 1, 'v' AS label, 3 AS k, 4 AS k FROM " + table +
            "\", " + Array("") + ")"));
    EXPECT_EQ(Out(), "[{1 + 1=i:2,a=i:1,b=i:2,k=i:4,label=s:v}];");
}

TEST_P(MySQLScriptTest, ParametersOfEveryTypeKeepTheirPlaceholders)
{
    direct->Exec("CREATE TABLE `" + table +
                 "` (n INT, a INT, f FLOAT, b TINYINT, s VARCHAR(20), z INT, c INT)");
    Run(Connect());
    const std::string insert = "\"INSERT INTO " + table + " VALUES (?, ?, ?, ?, ?, ?, ?)\"";
    Run(Try("MySQL.Execute(" + insert + ", " + Array("1, -7, 2.5, true, \"text\", " + Null() + ", 3") + ")"));
    Run(Try("MySQL.Execute(" + insert + ", " + Array("2, " + Null() + ", 0.25, false, \"x\", 4, 5") + ")"));
    // A table or an array cannot be sent: warned about, bound as NULL in its place.
    Run(Try("MySQL.Execute(" + insert + ", " +
            Array("3, 1, 1.0, true, " + Pick("{1}", "{k = 1}") + ", 6, " + Pick("{x = 1}", "[1]") + "") +
            ")"));
    // Too few values fail instead of leaving placeholders unbound.
    Run(Try("MySQL.Execute(" + insert + ", " + Array("4, 1") + ")"));
    EXPECT_EQ(Out(),
              "i:1;i:1;i:1;s:error:Exception on query: The statement has 7 placeholders, but 2 values were "
              "given.;");
    EXPECT_EQ(direct->Column("SELECT CONCAT_WS(',', n, IFNULL(a, 'N'), f, b, IFNULL(s, 'N'), IFNULL(z, 'N'), "
                             "IFNULL(c, 'N')) FROM `" +
                             table + "` ORDER BY n"),
              "1,-7,2.5,1,text,N,3|2,N,0.25,0,x,4,5|3,1,1,1,N,6,N");
    EXPECT_EQ(log.Messages(spdlog::level::warn),
              (std::vector<std::string>{"[MySQL] SQL statement unsupported argument type 5 at position 4.",
                                        "[MySQL] SQL statement unsupported argument type " +
                                            std::string(IsLua() ? "5" : "6") + " at position 6."}));
}

TEST_P(MySQLScriptTest, SqlErrorsBecomeScriptErrors)
{
    direct->Exec("CREATE TABLE `" + table + "` (id INT PRIMARY KEY)");
    Run(Connect());
    Run(Try("MySQL.Select(\"SELEC 1\", " + Array("") + ")"));
    Run(Try("MySQL.Insert(\"INSERT INTO " + table + " VALUES (1)\", " + Array("") + ")"));
    Run(Try("MySQL.Insert(\"INSERT INTO " + table + " VALUES (1)\", " + Array("") + ")"));
    const std::string out = Out();
    EXPECT_EQ(out.rfind("s:error:Exception on query: You have an error in your SQL syntax", 0), 0u) << out;
    EXPECT_NE(
        out.find("near 'SELEC 1' at line 1.;i:0;s:error:Exception on query: Duplicate entry '1' for key "
                 "'PRIMARY'.;"),
        std::string::npos)
        << out;
    // The connection survives a failed statement.
    Run(Try("MySQL.Select(\"SELECT 7 AS seven\", " + Array("") + ")"));
    EXPECT_EQ(Out(), "[{seven=i:7}];");
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());
}

TEST_P(MySQLScriptTest, CallbacksRunOnTheNextPass)
{
    direct->Exec("CREATE TABLE `" + table + "` (id INT AUTO_INCREMENT PRIMARY KEY, v INT)");
    Run(Connect());
    // With a callback the functions give nothing back.
    Run(Pick("rec(select('#', MySQL.Insert(\"INSERT INTO " + table + " (v) VALUES (?)\", {10}, " +
                 Recorder("insert") + ")))",
             "rec(MySQL.Insert(\"INSERT INTO " + table + " (v) VALUES (?)\", [10], " + Recorder("insert") +
                 "));"));
    Run("MySQL.Execute(\"UPDATE " + table + " SET v = v + 1\", " + Array("") + ", " + Recorder("execute") +
        ")" + Pick("", ";"));
    Run("MySQL.Select(\"SELECT v FROM " + table + "\", " + Array("") + ", " + Recorder("select") + ")" +
        Pick("", ";"));
    EXPECT_EQ(Out(), Pick("i:0;", "null;"));
    EXPECT_EQ(direct->Column("SELECT COUNT(*) FROM `" + table + "`"), "0");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 3u);
    Pass();
    EXPECT_EQ(Out(), "s:insert;i:1;s:execute;i:1;s:select;[{v=i:11}];");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 0u);
    Pass();
    EXPECT_EQ(Out(), "");
}

TEST_P(MySQLScriptTest, QueuedJobsWaitForTheNextConnect)
{
    // Closed by the script before the pass: nothing runs.
    Run(Connect());
    Run("MySQL.Select(\"SELECT 1 AS one\", " + Array("") + ", " + Recorder("first") + ")" + Pick("", ";"));
    Run("MySQL.Close()" + Pick("", ";"));
    Pass();
    Pass();
    EXPECT_EQ(Out(), "");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 1u);

    // Closed by a callback: the jobs behind it wait.
    Run(Connect());
    Run(Pick("MySQL.Select('SELECT 2 AS two', {}, function(r) rec('closing') MySQL.Close() end)",
             "MySQL.Select(\"SELECT 2 AS two\", [], function(r) { rec(\"closing\"); MySQL.Close(); });"));
    Run("MySQL.Select(\"SELECT 3 AS three\", " + Array("") + ", " + Recorder("third") + ")" + Pick("", ";"));
    Pass();
    EXPECT_EQ(Out(), "s:first;[{one=i:1}];s:closing;");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 1u);
    Run(Connect());
    Pass();
    EXPECT_EQ(Out(), "s:third;[{three=i:3}];");
}

TEST_P(MySQLScriptTest, JobsQueuedByCallbacksRunOnTheFollowingPass)
{
    Run(Connect());
    // A callback that queues itself again would otherwise hold the main loop for good.
    Run(Pick("function again(r) rec(r[1].n) MySQL.Select('SELECT ? AS n', {r[1].n + 1}, again) end\n"
             "MySQL.Select('SELECT 1 AS n', {}, again)",
             "function again(r) { rec(r[0].n); MySQL.Select(\"SELECT ? AS n\", [r[0].n + 1], again); }\n"
             "MySQL.Select(\"SELECT 1 AS n\", [], again);"));
    Pass();
    EXPECT_EQ(Out(), "i:1;");
    Pass();
    Pass();
    EXPECT_EQ(Out(), "i:2;i:3;");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 1u);
}

TEST_P(MySQLScriptTest, FailingJobsAreLoggedAndDropped)
{
    Run(Connect());
    Run("MySQL.Select(\"SELECT * FROM no_such_table_here\", " + Array("") + ", " + Recorder("bad") + ")" +
        Pick("", ";"));
    Run(Pick("MySQL.Select('SELECT 3 AS three', {}, function(r) rec(r) error('callback failed') end)",
             "MySQL.Select(\"SELECT 3 AS three\", [], function(r) { rec(r); throw \"callback failed\"; });"));
    Run("MySQL.Select(\"SELECT 4 AS four\", " + Array("") + ", " + Recorder("good") + ")" + Pick("", ";"));
    Pass();
    EXPECT_EQ(Out(), "[{three=i:3}];s:good;[{four=i:4}];");
    const std::vector<std::string> errors = log.Messages(spdlog::level::err);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0],
              "[MySQL] Exception on query: Table '" + db.schema + ".no_such_table_here' doesn't exist.");
    EXPECT_NE(errors[1].find("callback failed"), std::string::npos) << errors[1];
    EXPECT_EQ(errors[2], "[MySQL] Failed to call query function.");
}

TEST_P(MySQLScriptTest, CallbacksQueuedInScriptThreadsRunOnTheMainVM)
{
    Run(Connect());
    // One thread ends right after queueing, the other is still paused when the job runs.
    Run(Pick(
        "Thread.Create(function() MySQL.Select('SELECT 5 AS five', {}, function(r) rec(r) end) end)\n"
        "Thread.Create(function()\n"
        "  MySQL.Select('SELECT 6 AS six', {}, function(r) rec(r) end)\n"
        "  Thread.Pause(600000)\n"
        "end)",
        "Thread.Create(function() { MySQL.Select(\"SELECT 5 AS five\", [], function(r) { rec(r); }); });\n"
        "Thread.Create(function() {\n"
        "  MySQL.Select(\"SELECT 6 AS six\", [], function(r) { rec(r); });\n"
        "  Thread.Pause(600000);\n"
        "});"));
    Pass();
    EXPECT_EQ(Out(), "[{five=i:5}];[{six=i:6}];");
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());
}

TEST_P(MySQLScriptTest, StoppingTheResourceDropsQueuedJobs)
{
    direct->Exec("CREATE TABLE `" + table + "` (v INT)");
    Run(Connect());
    Run("MySQL.Execute(\"INSERT INTO " + table + " VALUES (1)\", " + Array("") + ", " + Recorder("never") +
        ")" + Pick("", ";"));
    log.Clear();
    server.Manager().StopResource("db");
    resource = nullptr;
    EXPECT_TRUE(log.Contains("[MySQL] Closed connection."));
    EXPECT_FALSE(log.Contains("Failed to call query function"));
    EXPECT_EQ(direct->Column("SELECT COUNT(*) FROM `" + table + "`"), "0");
}

INSTANTIATE_TEST_SUITE_P(Languages, MySQLScriptTest, ::testing::Values(Language::Lua, Language::Squirrel),
                         [](const ::testing::TestParamInfo<Language>& info) {
                             return info.param == Language::Lua ? std::string("Lua")
                                                                : std::string("Squirrel");
                         });

// What needs no database server.

TEST(MySQLModule, FiveFunctionsInRegistrationOrder)
{
    std::vector<std::pair<std::string, ScriptFunctionNative>> entries;
    auto range = GetScriptFunctionRegistry().equal_range("MySQL");
    for (auto it = range.first; it != range.second; ++it)
        entries.emplace_back(it->second->name, it->second->native);
    EXPECT_EQ(entries,
              (std::vector<std::pair<std::string, ScriptFunctionNative>>{{"Connect", &ScriptMySQLConnect},
                                                                         {"Close", &ScriptMySQLClose},
                                                                         {"Execute", &ScriptMySQLExecute},
                                                                         {"Select", &ScriptMySQLSelect},
                                                                         {"Insert", &ScriptMySQLInsert}}));
}

TEST(MySQLFormatDate, FieldsArePaddedAndTheYearHasFourDigits)
{
    struct Case
    {
        MYSQL_TIME time;
        const char* text;
    };
    const Case cases[] = {
        {{2024, 3, 9, 14, 5, 7, 123, 0, MYSQL_TIMESTAMP_DATETIME}, "2024-03-09 14:05:07"},
        {{2024, 1, 1, 0, 0, 0, 0, 0, MYSQL_TIMESTAMP_DATE}, "2024-01-01 00:00:00"},
        {{999, 1, 2, 0, 0, 0, 0, 0, MYSQL_TIMESTAMP_DATE}, "0999-01-02 00:00:00"},
        {{0, 0, 0, 838, 59, 59, 0, 1, MYSQL_TIMESTAMP_TIME}, "0000-00-00 -838:59:59"},
        {{0, 0, 0, 25, 1, 2, 0, 0, MYSQL_TIMESTAMP_TIME}, "0000-00-00 25:01:02"},
        {{12345, 12, 31, 23, 59, 58, 0, 0, MYSQL_TIMESTAMP_DATETIME}, "12345-12-31 23:59:58"},
    };
    for (const Case& each : cases)
        EXPECT_EQ(MySQL::FormatDate(each.time), each.text);
}

TEST(MySQLConnect, UnreachableServerAndBadPortAreLoggedFailures)
{
    LogCapture log;
    MySQL mysql(nullptr);
    // Nobody listens on the discard port of the loopback address.
    EXPECT_FALSE(mysql.Connect("127.0.0.1", 9, "user", "password", "schema"));
    EXPECT_FALSE(mysql.Connect("127.0.0.1", 70000, "user", "password", "schema"));
    EXPECT_FALSE(mysql.IsConnected());
    EXPECT_TRUE(mysql.Close());
    const std::vector<std::string> errors = log.Messages(spdlog::level::err);
    ASSERT_EQ(errors.size(), 2u);
    // The connector's text names the host and the system's error number.
    EXPECT_EQ(errors[0].rfind("[MySQL] Exception on connect: Can't connect to server on '127.0.0.1' (", 0),
              0u)
        << errors[0];
    EXPECT_EQ(errors[1], "[MySQL] Exception on connect: Invalid port 70000.");
    EXPECT_TRUE(log.Messages(spdlog::level::info).empty());
}

} // namespace
