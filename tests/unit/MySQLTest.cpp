// The MySQL script module against a real database server, from Lua and Squirrel resources
// in-process. The server comes from tools/test-mariadb (tools/run-tests starts one and exports
// LNF_MYSQL_HOST, _PORT, _USER, _PASSWORD and _SCHEMA); without those variables the tests are skipped.
// Each test works on a table of its own, named after the test and the process, so that tests can run
// in parallel against one server.
//
// Scripts report through rec(value), which appends a canonical text of the value to the global
// `out`: integers "i:5", floats "f:1.5", strings "s:text", null "null", arrays and Lua sequences
// "[a,b]", tables "{key=value,...}" with sorted keys.

#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mysql.h>

#include "LogCapture.h"
#include "ResourceTestUtil.h"
#include "Resources/MySQL.h"
#include "Scripting/SquirrelVM.h"

namespace
{

struct DatabaseSettings
{
    std::string host, user, password, schema;
    uint32_t port = 0;
};

// A direct connection for preparing and checking tables behind the scripts' back.
class Database
{
public:
    explicit Database(const DatabaseSettings& s) : handle(mysql_init(nullptr))
    {
        unsigned int protocol = MYSQL_PROTOCOL_TCP;
        mysql_optionsv(handle, MYSQL_OPT_PROTOCOL, &protocol);
        mysql_optionsv(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4");
        connected = mysql_real_connect(handle, s.host.c_str(), s.user.c_str(), s.password.c_str(),
                                       s.schema.c_str(), s.port, nullptr, 0) != nullptr;
    }
    ~Database() { mysql_close(handle); }

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
            text += (text.empty() ? "" : "|") + std::string(row[0] != nullptr ? row[0] : "NULL");
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
    local keys, parts = {}, {}
    for k in pairs(v) do keys[#keys + 1] = tostring(k) end
    if #keys == #v then
      for i = 1, #v do parts[i] = dump(v[i]) end
      return '[' .. table.concat(parts, ',') .. ']'
    end
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
    local keys = [], parts = "";
    foreach (k, _ in v) keys.append(k);
    keys.sort();
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
        const char* env[5];
        const char* names[5] = {"LNF_MYSQL_HOST", "LNF_MYSQL_PORT", "LNF_MYSQL_USER", "LNF_MYSQL_PASSWORD",
                                "LNF_MYSQL_SCHEMA"};
        for (int i = 0; i < 5; ++i)
            if ((env[i] = std::getenv(names[i])) == nullptr)
                GTEST_SKIP() << "no test database: " << names[i] << " is not set (tools/test-mariadb)";
        db = {env[0], env[2], env[3], env[4], static_cast<uint32_t>(std::strtoul(env[1], nullptr, 10))};
        restest::ResetSettings();
        Resource::SetVMFactoryForTesting(ResourceSquirrel,
                                         [](Resource* owner) -> std::unique_ptr<ScriptVM>
                                         { return std::make_unique<SquirrelVM>(owner); });
        direct = std::make_unique<Database>(db);
        ASSERT_TRUE(direct->Connected()) << direct->Error();

        // Test names are unique within the suite; the process id keeps two runs apart.
        table = std::string("t_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                std::to_string(getpid());
        for (char& c : table)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';

        const std::string file = Pick("main.lua", "main.nut");
        base.WriteResource("db",
                           "<meta type=\"" + Pick("lua", "squirrel") + "\">\n  <script src=\"" + file +
                               "\" type=\"server\"/>\n</meta>",
                           {{file, Pick(kLuaPrelude, kSquirrelPrelude)}});
        resource = server.StartResource("db");
        ASSERT_NE(resource, nullptr);
    }

    void TearDown() override
    {
        server.Manager().StopResource("db");
        if (direct && direct->Connected())
            direct->Exec("DROP TABLE IF EXISTS `" + table + "`");
        Resource::SetVMFactoryForTesting(ResourceSquirrel, nullptr);
    }

    std::string Pick(const std::string& l, const std::string& s) const
    {
        return GetParam() == Language::Lua ? l : s;
    }

    void Run(const std::string& code)
    {
        ASSERT_TRUE(resource->GetVM()->LoadScript("test", code + Pick("", ";"))) << code;
    }

    // What the scripts recorded since the last call.
    std::string Out()
    {
        ScriptContext results;
        EXPECT_TRUE(resource->GetVM()->CallGlobal("report", ScriptContext(), &results));
        Run(Pick("out = ''", "::out = \"\""));
        auto found = results.strings.find(0);
        return found != results.strings.end() ? found->second : "<no report>";
    }

    std::string Connect(const std::string& password = "") const
    {
        return "MySQL.Connect(\"" + db.host + "\", " + std::to_string(db.port) + ", \"" + db.user + "\", \"" +
               (password.empty() ? db.password : password) + "\", \"" + db.schema + "\")";
    }

    // Records the value of an expression, or "done" after a statement, or "error:<message>" when it raises.
    std::string Try(const std::string& code, bool statement = false) const
    {
        return Pick("do local ok, v = pcall(function() " + std::string(statement ? "" : "return ") + code +
                        " end) if ok then rec(" + (statement ? "'done'" : "v") +
                        ") else rec('error:' .. tostring(v)) end end\n",
                    "try { " + (statement ? code + "; rec(\"done\")" : "rec(" + code + ")") +
                        "; } catch (e) { rec(\"error:\" + e); }\n");
    }
    // A call of a module function with its parameters given as a script array ("1, 2").
    std::string Call(const std::string& function, const std::string& sql, const std::string& values = "",
                     const std::string& callback = "") const
    {
        return "MySQL." + function + "(\"" + sql + "\", " + Pick("{" + values + "}", "[" + values + "]") +
               (callback.empty() ? "" : ", " + callback) + ")";
    }
    // A callback that records its one argument, prefixed with a label.
    std::string Recorder(const std::string& label) const
    {
        return Pick("function(r) rec('" + label + "') rec(r) end",
                    "function(r) { rec(\"" + label + "\"); rec(r); }");
    }

    void Pass() { resource->Process(); }

    DatabaseSettings db;
    std::unique_ptr<Database> direct;
    std::string table;
    LogCapture log;
    restest::TempBase base;
    restest::TestServer server;
    Resource* resource = nullptr;
};

TEST_P(MySQLScriptTest, ConnectAndCloseReportTheirErrors)
{
    Run(Try(Connect("not-the-password"), true));
    EXPECT_TRUE(log.Contains("[MySQL] Exception on connect: Access denied for user '" + db.user + "'"));
    log.Clear();
    Run(Try(Connect(), true));
    Run(Try(Connect(), true));
    Run(Try("MySQL.Close()", true));
    Run(Try("MySQL.Close()", true));
    Run(Try(Call("Execute", "SELECT 1")));
    Run(Try(Call("Execute", "SELECT 1", "", Recorder("cb")), true));
    // A script may connect again after a close.
    Run(Try(Connect(), true));
    EXPECT_EQ(Out(), "s:error:Failed to connect with MySQL host.;s:done;"
                     "s:error:Database connection exist already.;s:done;"
                     "s:error:No database connection active.;s:error:No database connection active.;"
                     "s:error:No database connection active.;s:done;");
    EXPECT_TRUE(resource->mysql->IsConnected());
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 0u);
    EXPECT_EQ(log.Messages(spdlog::level::info),
              (std::vector<std::string>{
                  "[MySQL] Connected to " + db.host + " using port " + std::to_string(db.port) + ".",
                  "[MySQL] Closed connection.",
                  "[MySQL] Connected to " + db.host + " using port " + std::to_string(db.port) + "."}));
}

TEST_P(MySQLScriptTest, SynchronousStatementsValuesAndErrors)
{
    direct->Exec("CREATE TABLE `" + table +
                 "` (id BIGINT UNSIGNED AUTO_INCREMENT PRIMARY KEY, name VARCHAR(20), score INT, d DOUBLE,"
                 " dc DECIMAL(10,3), vb VARBINARY(10), dt DATETIME, da DATE, tm TIME, js JSON, nn INT)");
    Run(Connect());
    const std::string insert = "INSERT INTO " + table + " (name, score) VALUES (?, ?)";
    Run(Try(Call("Insert", insert, "\"käse\", 5")));
    Run(Try(Call("Insert", insert, "\"bob\", 5")));
    Run(Try(Call("Execute", "UPDATE " + table + " SET score = score + 1 WHERE score = ?", "5")));
    // A statement with rows counts no affected rows.
    Run(Try(Call("Execute", "SELECT * FROM " + table)));
    Run(Try(Call("Select", "SELECT name AS label FROM " + table + " WHERE score > ?", "100")));
    // The largest unsigned auto-increment value shows as the negative number of the same bits.
    Run(Try(Call("Insert", "INSERT INTO " + table + " (id) VALUES (18446744073709551615)")));
    EXPECT_EQ(Out(), "i:1;i:2;i:2;i:0;[];i:-1;");

    direct->Exec("UPDATE `" + table +
                 "` SET d = 0.1, dc = 12.375, vb = 'ab\\0cd', dt = '2024-03-09 14:05:07', da = '0999-01-02',"
                 " tm = '-838:59:59', js = '{\"k\": 1}' WHERE id = 1");
    // Keys are column names, not labels; NULL leaves no Lua key.
    Run(Try(Call("Select", "SELECT *, name AS label FROM " + table + " WHERE id = ?", "1")));
    EXPECT_EQ(Out(), "[{d=f:0.1,da=s:0999-01-02 00:00:00,dc=f:12.375,dt=s:2024-03-09 14:05:07,id=i:1," +
                         Pick("", "js=null,") + "name=s:käse," + Pick("", "nn=null,") +
                         "score=i:6,tm=s:0000-00-00 -838:59:59,vb=s:ab}];");
    EXPECT_EQ(log.Messages(spdlog::level::warn),
              std::vector<std::string>{"[MySQL] PushQueryTable - value type DOCUMENT unsupported."});

    // SQL errors raise in the script, and the connection survives them.
    Run(Try(Call("Select", "SELEC 1")));
    Run(Try(Call("Insert", "INSERT INTO " + table + " (id) VALUES (1)")));
    Run(Try(Call("Select", "SELECT 7 AS seven")));
    const std::string out = Out();
    EXPECT_EQ(out.rfind("s:error:Exception on query: You have an error in your SQL syntax", 0), 0u) << out;
    EXPECT_NE(out.find("near 'SELEC 1' at line 1.;s:error:Exception on query: Duplicate entry '1' for key "
                       "'PRIMARY'.;[{seven=i:7}];"),
              std::string::npos)
        << out;
    EXPECT_TRUE(log.Messages(spdlog::level::err).empty());
}

TEST_P(MySQLScriptTest, ParametersKeepTheirPlaceholders)
{
    direct->Exec("CREATE TABLE `" + table + "` (n INT, a INT, s VARCHAR(20), b TINYINT, c FLOAT)");
    Run(Connect());
    const std::string insert = "INSERT INTO " + table + " VALUES (?, ?, ?, ?, ?)";
    Run(Try(Call("Execute", insert, "1, " + Pick("nil", "null") + ", \"text\", true, 2.5")));
    // A table or an array cannot be sent: warned about, bound as NULL in its place.
    Run(Try(
        Call("Execute", insert, "2, -7, " + Pick("{1}", "{k = 1}") + ", false, " + Pick("{x = 1}", "[1]"))));
    // Too few values fail instead of leaving placeholders unbound.
    Run(Try(Call("Execute", insert, "3, 1")));
    EXPECT_EQ(Out(),
              "i:1;i:1;s:error:Exception on query: The statement has 5 placeholders, but 2 values were "
              "given.;");
    EXPECT_EQ(
        direct->Column("SELECT CONCAT_WS(',', n, IFNULL(a, 'N'), IFNULL(s, 'N'), b, IFNULL(c, 'N')) FROM `" +
                       table + "` ORDER BY n"),
        "1,N,text,1,2.5|2,-7,N,0,N");
    EXPECT_EQ(log.Messages(spdlog::level::warn),
              (std::vector<std::string>{"[MySQL] SQL statement unsupported argument type 5 at position 2.",
                                        "[MySQL] SQL statement unsupported argument type " + Pick("5", "6") +
                                            " at position 4."}));
}

TEST_P(MySQLScriptTest, CallbacksRunOnTheNextPassAndWaitWhileClosed)
{
    direct->Exec("CREATE TABLE `" + table + "` (id INT AUTO_INCREMENT PRIMARY KEY, v INT)");
    Run(Connect());
    Run(Call("Insert", "INSERT INTO " + table + " (v) VALUES (?)", "10", Recorder("insert")));
    Run(Call("Execute", "UPDATE " + table + " SET v = v + 1", "", Recorder("execute")));
    Run(Call("Select", "SELECT v FROM " + table, "", Recorder("select")));
    EXPECT_EQ(direct->Column("SELECT COUNT(*) FROM `" + table + "`"), "0");
    Pass();
    EXPECT_EQ(Out(), "s:insert;i:1;s:execute;i:1;s:select;[{v=i:11}];");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 0u);

    // Closed by a callback: the jobs behind it wait for the next connect.
    Run(Call("Select", "SELECT 2 AS two", "",
             Pick("function(r) rec('closing') MySQL.Close() end",
                  "function(r) { rec(\"closing\"); MySQL.Close(); }")));
    Run(Call("Select", "SELECT 3 AS three", "", Recorder("third")));
    Pass();
    Pass();
    EXPECT_EQ(Out(), "s:closing;");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 1u);
    Run(Connect());
    Pass();
    EXPECT_EQ(Out(), "s:third;[{three=i:3}];");

    // A callback that queues itself again runs once per pass instead of holding the loop for good.
    Run(Pick("function again(r) rec(r[1].n) MySQL.Select('SELECT ? AS n', {r[1].n + 1}, again) end\n"
             "MySQL.Select('SELECT 1 AS n', {}, again)",
             "function again(r) { rec(r[0].n); MySQL.Select(\"SELECT ? AS n\", [r[0].n + 1], again); }\n"
             "MySQL.Select(\"SELECT 1 AS n\", [], again);"));
    Pass();
    Pass();
    EXPECT_EQ(Out(), "i:1;i:2;");
    EXPECT_EQ(resource->mysql->GetQueuedJobCount(), 1u);
}

TEST_P(MySQLScriptTest, StoppingTheResourceDropsQueuedJobs)
{
    direct->Exec("CREATE TABLE `" + table + "` (v INT)");
    Run(Connect());
    Run(Call("Execute", "INSERT INTO " + table + " VALUES (1)", "", Recorder("never")));
    log.Clear();
    server.Manager().StopResource("db");
    EXPECT_TRUE(log.Contains("[MySQL] Closed connection."));
    EXPECT_FALSE(log.Contains("Failed to call query function"));
    EXPECT_EQ(direct->Column("SELECT COUNT(*) FROM `" + table + "`"), "0");
}

INSTANTIATE_TEST_SUITE_P(Languages, MySQLScriptTest, ::testing::Values(Language::Lua, Language::Squirrel),
                         [](const auto& info) -> std::string
                         { return info.param == Language::Lua ? "Lua" : "Squirrel"; });

} // namespace
