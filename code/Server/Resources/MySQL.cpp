#include "Resources/MySQL.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include <fmt/format.h>
#include <lua5.4/lua.hpp>
#include <mysql.h>
#include <spdlog/spdlog.h>
#include <squirrel.h>

#include "Resources/Resource.h"
#include "Scripting/ScriptVM.h"
#include "Scripting/SquirrelVM.h"

namespace
{
// Longest a connect, and each read or write of a query, may wait for the server before it fails: the
// main loop waits with it. Reads and writes allow for slow queries; a server that stopped answering
// ends as a failed query, and the connector then drops the connection, so later queries fail at once.
constexpr unsigned int kConnectTimeoutSeconds = 10;
constexpr unsigned int kReadWriteTimeoutSeconds = 30;

// Tests shorten every time-out (whole seconds) through the environment instead of waiting this long.
std::optional<unsigned int> TestTimeoutSeconds()
{
    static const std::optional<unsigned int> seconds = []() -> std::optional<unsigned int>
    {
        const char* text = std::getenv("LNF_TEST_MYSQL_TIMEOUT");
        unsigned int value = 0;
        if (text == nullptr || std::from_chars(text, text + std::strlen(text), value).ec != std::errc() ||
            value == 0)
            return std::nullopt;
        return value;
    }();
    return seconds;
}

// Slots a queued job needs on a VM's stack: the callback (with Squirrel's `this`) and its argument,
// plus what building a row table takes.
constexpr int kCallbackStackSlots = 8;

struct StatementCloser
{
    void operator()(MYSQL_STMT* statement) const { mysql_stmt_close(statement); }
};
using Statement = std::unique_ptr<MYSQL_STMT, StatementCloser>;

struct ResultFreer
{
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using ResultMetadata = std::unique_ptr<MYSQL_RES, ResultFreer>;

[[noreturn]] void ThrowStatementError(MYSQL_STMT* statement)
{
    throw MySQLError(mysql_stmt_error(statement));
}

// The parameter values of one statement with the storage their bindings point into; it must
// outlive the statement's execution.
struct BoundArguments
{
    std::vector<MYSQL_BIND> binds;
    std::vector<int32_t> ints;
    std::vector<float> floats;
    std::vector<signed char> bools;
};

// Binds the values in index order, each to its own placeholder. A null binds SQL NULL; a table or an
// array cannot be sent, is warned about and binds SQL NULL in its place, so that the values after it
// keep their placeholders.
void BindArguments(MYSQL_STMT* statement, const ScriptContext& args, BoundArguments& bound)
{
    const size_t count = args.types.size();
    const unsigned long placeholders = mysql_stmt_param_count(statement);
    if (count != placeholders)
        throw MySQLError(
            fmt::format("The statement has {} placeholders, but {} values were given", placeholders, count));
    if (count == 0)
        return;

    // Sized once: the bindings keep pointers into these.
    bound.binds.assign(count, MYSQL_BIND{});
    bound.ints.assign(count, 0);
    bound.floats.assign(count, 0);
    bound.bools.assign(count, 0);

    size_t slot = 0;
    for (const auto& [index, type] : args.types)
    {
        MYSQL_BIND& bind = bound.binds[slot];
        bind.buffer_type = MYSQL_TYPE_NULL;
        switch (type)
        {
        case ScriptValueType::Int:
        {
            auto found = args.ints.find(index);
            bound.ints[slot] = found != args.ints.end() ? found->second : 0;
            bind.buffer_type = MYSQL_TYPE_LONG;
            bind.buffer = &bound.ints[slot];
            break;
        }
        case ScriptValueType::Float:
        {
            auto found = args.floats.find(index);
            bound.floats[slot] = found != args.floats.end() ? found->second : 0.0f;
            bind.buffer_type = MYSQL_TYPE_FLOAT;
            bind.buffer = &bound.floats[slot];
            break;
        }
        case ScriptValueType::Bool:
        {
            auto found = args.bools.find(index);
            bound.bools[slot] = found != args.bools.end() && found->second ? 1 : 0;
            bind.buffer_type = MYSQL_TYPE_TINY;
            bind.buffer = &bound.bools[slot];
            break;
        }
        case ScriptValueType::String:
        {
            auto found = args.strings.find(index);
            if (found != args.strings.end())
            {
                bind.buffer_type = MYSQL_TYPE_STRING;
                bind.buffer = const_cast<char*>(found->second.data());
                bind.buffer_length = static_cast<unsigned long>(found->second.size());
            }
            break;
        }
        case ScriptValueType::Null:
            break;
        default:
            spdlog::warn("[MySQL] SQL statement unsupported argument type {} at position {}.", type, index);
            break;
        }
        ++slot;
    }
    if (mysql_stmt_bind_param(statement, bound.binds.data()))
        ThrowStatementError(statement);
}

// How a result column is fetched and handed to scripts.
enum class ColumnKind
{
    Integer,
    Float,
    Double,
    Decimal,
    Bits,
    Time,
    Document,
    Text,
};

bool IsJsonColumn(const MYSQL_FIELD& field)
{
    if (field.type == MYSQL_TYPE_JSON)
        return true;
    // MariaDB keeps JSON in a text column and names the format in the column's extended metadata.
    MARIADB_CONST_STRING format{};
    return mariadb_field_attr(&format, &field, MARIADB_FIELD_ATTR_FORMAT_NAME) == 0 &&
           format.str != nullptr && format.length == 4 && std::strncmp(format.str, "json", 4) == 0;
}

ColumnKind ClassifyColumn(const MYSQL_FIELD& field)
{
    switch (field.type)
    {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
        return ColumnKind::Integer;
    case MYSQL_TYPE_FLOAT:
        return ColumnKind::Float;
    case MYSQL_TYPE_DOUBLE:
        return ColumnKind::Double;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return ColumnKind::Decimal;
    case MYSQL_TYPE_BIT:
        return ColumnKind::Bits;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_TIME:
    case MYSQL_TYPE_TIME2:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_DATETIME2:
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_TIMESTAMP2:
        return ColumnKind::Time;
    default:
        return IsJsonColumn(field) ? ColumnKind::Document : ColumnKind::Text;
    }
}

// The fetch target of one column.
struct Column
{
    ColumnKind kind = ColumnKind::Text;
    int64_t integer = 0;
    float single = 0;
    double number = 0;
    MYSQL_TIME time{};
    std::vector<char> bytes;
    unsigned long length = 0;
    my_bool isNull = 0;
    my_bool error = 0;
};

void PrepareColumn(const MYSQL_FIELD& field, Column& column, MYSQL_BIND& bind)
{
    column.kind = ClassifyColumn(field);
    bind = MYSQL_BIND{};
    bind.length = &column.length;
    bind.is_null = &column.isNull;
    bind.error = &column.error;
    switch (column.kind)
    {
    case ColumnKind::Integer:
        bind.buffer_type = MYSQL_TYPE_LONGLONG;
        bind.buffer = &column.integer;
        bind.is_unsigned = (field.flags & UNSIGNED_FLAG) != 0;
        break;
    case ColumnKind::Float:
        bind.buffer_type = MYSQL_TYPE_FLOAT;
        bind.buffer = &column.single;
        break;
    case ColumnKind::Double:
        bind.buffer_type = MYSQL_TYPE_DOUBLE;
        bind.buffer = &column.number;
        break;
    case ColumnKind::Time:
        bind.buffer_type = field.type == MYSQL_TYPE_DATE || field.type == MYSQL_TYPE_TIME ||
                                   field.type == MYSQL_TYPE_TIMESTAMP
                               ? field.type
                               : MYSQL_TYPE_DATETIME;
        bind.buffer = &column.time;
        bind.buffer_length = sizeof(column.time);
        break;
    default:
        // Sized from the stored result's longest value; a longer one is fetched again whole.
        column.bytes.assign(std::max<unsigned long>(field.max_length, 1), '\0');
        bind.buffer_type = MYSQL_TYPE_BLOB;
        bind.buffer = column.bytes.data();
        bind.buffer_length = static_cast<unsigned long>(column.bytes.size());
        break;
    }
}

// The bytes of a text-fetched column; fetched again when they did not fit the buffer.
std::string ColumnBytes(MYSQL_STMT* statement, MYSQL_BIND& bind, Column& column, unsigned int index)
{
    if (column.length > column.bytes.size())
    {
        std::vector<char> whole(column.length);
        MYSQL_BIND again = bind;
        again.buffer = whole.data();
        again.buffer_length = column.length;
        if (mysql_stmt_fetch_column(statement, &again, index, 0))
            ThrowStatementError(statement);
        return std::string(whole.data(), whole.size());
    }
    return std::string(column.bytes.data(), column.length);
}

MySQLValue ReadColumn(MYSQL_STMT* statement, MYSQL_BIND& bind, Column& column, unsigned int index)
{
    MySQLValue value;
    if (column.isNull)
        return value;
    switch (column.kind)
    {
    case ColumnKind::Integer:
        // Unsigned values keep their bits: above the signed range they show negative.
        value.value = column.integer;
        break;
    case ColumnKind::Float:
        value.value = static_cast<double>(column.single);
        break;
    case ColumnKind::Double:
        value.value = column.number;
        break;
    case ColumnKind::Decimal:
    {
        const std::string text = ColumnBytes(statement, bind, column, index);
        double number = 0;
        auto parsed = std::from_chars(text.data(), text.data() + text.size(), number);
        if (parsed.ec == std::errc())
            value.value = number;
        else
            value.value = text;
        break;
    }
    case ColumnKind::Bits:
    {
        // Big-endian bytes, at most eight.
        const std::string bytes = ColumnBytes(statement, bind, column, index);
        uint64_t bits = 0;
        for (unsigned char byte : bytes)
            bits = (bits << 8) | byte;
        value.value = static_cast<int64_t>(bits);
        break;
    }
    case ColumnKind::Time:
        value.value = MySQL::FormatDate(column.time);
        break;
    case ColumnKind::Document:
        value.value = MySQLValue::Document{};
        break;
    case ColumnKind::Text:
        value.value = ColumnBytes(statement, bind, column, index);
        break;
    }
    return value;
}

void FetchRows(MYSQL_STMT* statement, MySQLResult& result)
{
    if (mysql_stmt_store_result(statement))
        ThrowStatementError(statement);
    // Taken after storing the result, so that each column's longest value is known.
    ResultMetadata metadata(mysql_stmt_result_metadata(statement));
    if (!metadata)
        ThrowStatementError(statement);
    const unsigned int count = mysql_num_fields(metadata.get());
    const MYSQL_FIELD* fields = mysql_fetch_fields(metadata.get());

    std::vector<Column> columns(count);
    std::vector<MYSQL_BIND> binds(count);
    result.keys.reserve(count);
    for (unsigned int i = 0; i < count; ++i)
    {
        const MYSQL_FIELD& field = fields[i];
        // The column's own name; an expression has none and goes by its label.
        if (field.org_name != nullptr && field.org_name_length > 0)
            result.keys.emplace_back(field.org_name, field.org_name_length);
        else
            result.keys.emplace_back(field.name != nullptr ? field.name : "", field.name_length);
        PrepareColumn(field, columns[i], binds[i]);
    }
    if (count > 0 && mysql_stmt_bind_result(statement, binds.data()))
        ThrowStatementError(statement);

    result.rows.reserve(static_cast<size_t>(mysql_stmt_num_rows(statement)));
    while (true)
    {
        const int status = mysql_stmt_fetch(statement);
        if (status == MYSQL_NO_DATA)
            break;
        if (status != 0 && status != MYSQL_DATA_TRUNCATED)
            ThrowStatementError(statement);
        std::vector<MySQLValue>& row = result.rows.emplace_back();
        row.reserve(count);
        for (unsigned int i = 0; i < count; ++i)
            row.push_back(ReadColumn(statement, binds[i], columns[i], i));
    }
}

// Reads whatever result sets are left (a procedure call gives several), keeping the connection in
// step for the next statement.
void DrainResults(MYSQL_STMT* statement)
{
    while (mysql_stmt_more_results(statement))
    {
        const int status = mysql_stmt_next_result(statement);
        if (status > 0)
            ThrowStatementError(statement);
        if (status < 0)
            break;
        if (mysql_stmt_field_count(statement) > 0)
        {
            if (mysql_stmt_store_result(statement))
                ThrowStatementError(statement);
            mysql_stmt_free_result(statement);
        }
    }
}

// Room for `slots` more values on the VM's stack.
bool ReserveStack(ScriptVM* vm, int slots)
{
    switch (vm->GetType())
    {
    case ScriptVMType::Lua:
        return lua_checkstack(static_cast<lua_State*>(vm->GetState()), slots) != 0;
    case ScriptVMType::Squirrel:
        return ReserveSquirrelStack(static_cast<HSQUIRRELVM>(vm->GetState()), slots);
    default:
        return true;
    }
}

void WarnDocument()
{
    spdlog::warn("[MySQL] PushQueryTable - value type DOCUMENT unsupported.");
}

std::string_view TextUpToZero(const std::string& text)
{
    return std::string_view(text.data(), strnlen(text.data(), text.size()));
}

void PushLuaRows(lua_State* L, const MySQLResult& result)
{
    lua_createtable(L, static_cast<int>(std::min<size_t>(result.rows.size(), INT_MAX)), 0);
    lua_Integer number = 0;
    for (const std::vector<MySQLValue>& row : result.rows)
    {
        lua_createtable(L, 0, static_cast<int>(std::min<size_t>(row.size(), INT_MAX)));
        for (size_t column = 0; column < row.size() && column < result.keys.size(); ++column)
        {
            const auto& value = row[column].value;
            if (std::holds_alternative<MySQLValue::Null>(value))
                continue;
            if (std::holds_alternative<MySQLValue::Document>(value))
            {
                WarnDocument();
                continue;
            }
            const std::string& key = result.keys[column];
            lua_pushlstring(L, key.data(), key.size());
            if (const auto* integer = std::get_if<int64_t>(&value))
                lua_pushinteger(L, *integer);
            else if (const auto* real = std::get_if<double>(&value))
                lua_pushnumber(L, *real);
            else
            {
                const std::string_view text = TextUpToZero(std::get<std::string>(value));
                lua_pushlstring(L, text.data(), text.size());
            }
            lua_rawset(L, -3);
        }
        lua_rawseti(L, -2, ++number);
    }
}

void PushSquirrelRows(HSQUIRRELVM v, const MySQLResult& result)
{
    sq_newarray(v, static_cast<SQInteger>(result.rows.size()));
    SQInteger number = 0;
    for (const std::vector<MySQLValue>& row : result.rows)
    {
        sq_pushinteger(v, number++);
        sq_newtableex(v, static_cast<SQInteger>(row.size()));
        for (size_t column = 0; column < row.size() && column < result.keys.size(); ++column)
        {
            const std::string& key = result.keys[column];
            sq_pushstring(v, key.data(), static_cast<SQInteger>(key.size()));
            const auto& value = row[column].value;
            if (const auto* integer = std::get_if<int64_t>(&value))
                sq_pushinteger(v, static_cast<SQInteger>(*integer));
            else if (const auto* real = std::get_if<double>(&value))
                sq_pushfloat(v, static_cast<SQFloat>(*real));
            else if (const auto* text = std::get_if<std::string>(&value))
            {
                const std::string_view cut = TextUpToZero(*text);
                sq_pushstring(v, cut.data(), static_cast<SQInteger>(cut.size()));
            }
            else
            {
                if (std::holds_alternative<MySQLValue::Document>(value))
                    WarnDocument();
                sq_pushnull(v);
            }
            sq_newslot(v, -3, SQFalse);
        }
        sq_set(v, -3);
    }
}
} // namespace

MySQL::MySQL(Resource* resource) : resource(resource) {}

MySQL::~MySQL()
{
    Close();
    jobs.clear();
}

bool MySQL::Connect(const std::string& host, uint32_t port, const std::string& user,
                    const std::string& password, const std::string& schema)
{
    if (connection != nullptr)
        return true;

    if (port > 65535)
    {
        spdlog::error("[MySQL] Exception on connect: {}.",
                      fmt::format("Invalid port {}", static_cast<int32_t>(port)));
        return false;
    }
    MYSQL* handle = mysql_init(nullptr);
    if (handle == nullptr)
    {
        spdlog::error("[MySQL] Exception on connect: {}.", "Out of memory");
        return false;
    }
    // Always over TCP to host and port: the connector would take "localhost" for its local socket.
    unsigned int protocol = MYSQL_PROTOCOL_TCP;
    mysql_optionsv(handle, MYSQL_OPT_PROTOCOL, &protocol);
    unsigned int connectTimeout = TestTimeoutSeconds().value_or(kConnectTimeoutSeconds);
    unsigned int readWriteTimeout = TestTimeoutSeconds().value_or(kReadWriteTimeoutSeconds);
    mysql_optionsv(handle, MYSQL_OPT_CONNECT_TIMEOUT, &connectTimeout);
    mysql_optionsv(handle, MYSQL_OPT_READ_TIMEOUT, &readWriteTimeout);
    mysql_optionsv(handle, MYSQL_OPT_WRITE_TIMEOUT, &readWriteTimeout);
    // Script text is UTF-8.
    mysql_optionsv(handle, MYSQL_SET_CHARSET_NAME, "utf8mb4");

    if (mysql_real_connect(handle, host.c_str(), user.c_str(), password.c_str(),
                           schema.empty() ? nullptr : schema.c_str(), port, nullptr, 0) == nullptr)
    {
        const std::string text = mysql_error(handle);
        mysql_close(handle);
        spdlog::error("[MySQL] Exception on connect: {}.", text);
        return false;
    }
    connection = handle;
    spdlog::info("[MySQL] Connected to {} using port {}.", host, static_cast<int32_t>(port));
    return true;
}

bool MySQL::Close()
{
    if (connection == nullptr)
        return true;
    mysql_close(connection);
    connection = nullptr;
    spdlog::info("[MySQL] Closed connection.");
    return true;
}

MySQLResult MySQL::Run(const std::string& query, const ScriptContext& args, MySQLQueryMode mode)
{
    spdlog::trace("[MySQL] Execute Query: {}", query);
    if (connection == nullptr)
        throw MySQLError("No database connection active");

    Statement statement(mysql_stmt_init(connection));
    if (!statement)
        throw MySQLError(mysql_error(connection));
    if (mysql_stmt_prepare(statement.get(), query.data(), static_cast<unsigned long>(query.size())))
        ThrowStatementError(statement.get());

    BoundArguments bound;
    BindArguments(statement.get(), args, bound);

    my_bool updateMaxLength = 1;
    mysql_stmt_attr_set(statement.get(), STMT_ATTR_UPDATE_MAX_LENGTH, &updateMaxLength);
    if (mysql_stmt_execute(statement.get()))
        ThrowStatementError(statement.get());

    MySQLResult result;
    result.mode = mode;
    const bool hasRows = mysql_stmt_field_count(statement.get()) > 0;
    if (mode == MySQLQueryMode::Select && hasRows)
    {
        FetchRows(statement.get(), result);
        mysql_stmt_free_result(statement.get());
    }
    else if (hasRows)
    {
        // Rows nobody asked for: read and forget them. They count as no affected rows.
        if (mysql_stmt_store_result(statement.get()))
            ThrowStatementError(statement.get());
        mysql_stmt_free_result(statement.get());
    }
    else if (mode == MySQLQueryMode::Execute)
        result.count = mysql_stmt_affected_rows(statement.get());
    if (mode == MySQLQueryMode::Insert)
        result.count = mysql_stmt_insert_id(statement.get());
    DrainResults(statement.get());
    return result;
}

void MySQL::Query(const std::string& query, const ScriptContext& args, MySQLQueryMode mode, ScriptVM* vm)
{
    const MySQLResult result = Run(query, args, mode);
    if (!PushResult(vm, result))
        throw MySQLError("stack overflow");
}

void MySQL::QueryAsync(const std::string& query, const ScriptContext& args, MySQLQueryMode mode,
                       const ScriptFunctionRef& callback)
{
    MySQLQuery job;
    job.query = query;
    job.args = args;
    job.mode = mode;
    job.callback = callback;
    jobs.push(std::move(job));
}

void MySQL::Process()
{
    if (connection == nullptr)
        return;
    size_t pending = jobs.unsafe_size();
    while (pending > 0 && connection != nullptr)
    {
        MySQLQuery job;
        if (!jobs.try_pop(job))
            break;
        --pending;
        RunJob(job);
    }
}

void MySQL::RunJob(MySQLQuery& job)
{
    MySQLResult result;
    try
    {
        result = Run(job.query, job.args, job.mode);
    }
    catch (const std::exception& error)
    {
        spdlog::error("[MySQL] Exception on query: {}.", error.what());
        return;
    }
    catch (...)
    {
        spdlog::error("[MySQL] Exception on query.");
        return;
    }

    // Always the resource's main VM: while the pass runs no script thread is running, and the thread
    // that queued the job has ended or is suspended; neither can take a call. The callback belongs
    // to the main VM's family either way.
    ScriptVM* vm = resource != nullptr ? resource->GetVM() : nullptr;
    if (vm == nullptr || !ReserveStack(vm, kCallbackStackSlots) || !vm->PushFunction(job.callback))
    {
        spdlog::error("[MySQL] Failed to call query function.");
        return;
    }
    PushResult(vm, result);
    if (!vm->Call(1, 0))
        spdlog::error("[MySQL] Failed to call query function.");
}

bool MySQL::PushResult(ScriptVM* vm, const MySQLResult& result)
{
    if (result.mode == MySQLQueryMode::Select)
        return PushQueryTable(vm, result);
    if (!ReserveStack(vm, 1))
        return false;
    vm->PushUInt64(result.count);
    return true;
}

bool MySQL::PushQueryTable(ScriptVM* vm, const MySQLResult& result)
{
    // The outer container, a row, a key and a value (Squirrel: and the row's index).
    if (!ReserveStack(vm, 5))
        return false;
    switch (vm->GetType())
    {
    case ScriptVMType::Lua:
        PushLuaRows(static_cast<lua_State*>(vm->GetState()), result);
        return true;
    case ScriptVMType::Squirrel:
        PushSquirrelRows(static_cast<HSQUIRRELVM>(vm->GetState()), result);
        return true;
    default:
        vm->PushNewArray();
        return true;
    }
}

std::string MySQL::FormatDate(const MYSQL_TIME& time)
{
    return fmt::format("{:04}-{:02}-{:02} {}{:02}:{:02}:{:02}", time.year, time.month, time.day,
                       time.neg ? "-" : "", time.hour, time.minute, time.second);
}
