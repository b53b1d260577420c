#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <tbb/concurrent_queue.h>

#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRef.h"

class Resource;
class ScriptVM;
struct st_mysql;
struct st_mysql_time;

// Which result a query gives its script.
enum class MySQLQueryMode : uint32_t
{
    Execute = 0, // the number of affected rows
    Select = 1,  // the rows
    Insert = 2,  // the auto-increment value the statement produced
};

// A failure reported by the database connector, with the connector's text.
class MySQLError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// One value of a result row, as scripts receive it. Date and time values arrive as their text.
struct MySQLValue
{
    struct Null
    {
    };
    // A value scripts cannot hold (a JSON document): warned about when pushed, and left out.
    struct Document
    {
    };
    std::variant<Null, int64_t, double, std::string, Document> value;
};

// What one statement gave back, fetched completely before anything is pushed onto a script VM, so
// that a connector failure never leaves half a result on a script's stack.
struct MySQLResult
{
    MySQLQueryMode mode = MySQLQueryMode::Execute;
    uint64_t count = 0;            // Execute: affected rows; Insert: the auto-increment value
    std::vector<std::string> keys; // Select: one key per column (the column's own name, not its label)
    std::vector<std::vector<MySQLValue>> rows;
};

// One query put off to the resource's next pass.
struct MySQLQuery
{
    std::string query;
    ScriptContext args;
    MySQLQueryMode mode = MySQLQueryMode::Execute;
    ScriptFunctionRef callback;
};

// The database connection of one started resource: at most one connection, opened and closed by
// the resource's scripts, and the queue of queries whose results go to script callbacks. Everything
// runs on the thread that runs the resource's scripts, and every call blocks it until the database
// server has answered.
class MySQL
{
public:
    explicit MySQL(Resource* resource);
    // Closes the connection; queued queries are dropped without calling their callbacks.
    ~MySQL();
    MySQL(const MySQL&) = delete;
    MySQL& operator=(const MySQL&) = delete;

    // True at once when a connection is open already; false (logged) when the connect failed.
    bool Connect(const std::string& host, uint32_t port, const std::string& user, const std::string& password,
                 const std::string& schema);
    // True at once when no connection is open.
    bool Close();
    bool IsConnected() const { return connection != nullptr; }

    // Runs the query now and pushes exactly one value onto the VM. Throws MySQLError with the
    // connector's text on failure (nothing pushed then).
    void Query(const std::string& query, const ScriptContext& args, MySQLQueryMode mode, ScriptVM* vm);
    // Puts the query off to the next pass; its result then goes to the callback.
    void QueryAsync(const std::string& query, const ScriptContext& args, MySQLQueryMode mode,
                    const ScriptFunctionRef& callback);
    size_t GetQueuedJobCount() const { return jobs.unsafe_size(); }

    // Runs the queued queries (the resource's pass, after its script threads and before its events).
    // Without a connection they stay queued; a callback that closes the connection leaves the rest
    // waiting for the next connect. Queries that callbacks queue during the pass wait for the next
    // one, so a callback that queues itself again cannot hold the main loop.
    void Process();

    // Runs a statement and fetches its whole result. Throws MySQLError.
    MySQLResult Run(const std::string& query, const ScriptContext& args, MySQLQueryMode mode);

    // Pushes the result as one script value: the count (unsigned 64 bits, so values above the signed
    // range show negative) or the rows. False, with nothing pushed, when the VM's stack has no room.
    static bool PushResult(ScriptVM* vm, const MySQLResult& result);
    // The rows: Lua, a sequence of row tables (NULL columns absent); Squirrel, an array of tables
    // (NULL columns null). Text up to its first zero byte.
    static bool PushQueryTable(ScriptVM* vm, const MySQLResult& result);
    // "YYYY-MM-DD HH:MM:SS": the year with at least four digits, the rest with at least two (a
    // negative time of day carries its sign before the hours).
    static std::string FormatDate(const st_mysql_time& time);

private:
    void RunJob(MySQLQuery& job);

    Resource* resource;
    st_mysql* connection = nullptr;
    tbb::concurrent_queue<MySQLQuery> jobs;
};
