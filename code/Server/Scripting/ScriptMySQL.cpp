// Script module MySQL: the resource's database connection. Every call blocks the calling script
// (and the main loop) until the database server has answered; a query with a callback is put off to
// the resource's next pass, where it runs just as blocking.

#include <cstdint>
#include <exception>
#include <string>

#include <fmt/format.h>

#include "Resources/MySQL.h"
#include "Resources/Resource.h"
#include "Scripting/ScriptContext.h"
#include "Scripting/ScriptFunctionRef.h"
#include "Scripting/ScriptFunctionRegistry.h"
#include "Scripting/ScriptMySQL.h"
#include "Scripting/ScriptVM.h"

namespace
{
MySQL* FindMySQL(ScriptVM* vm)
{
    Resource* resource = vm->GetResource();
    return resource != nullptr ? resource->mysql.get() : nullptr;
}

// Execute, Select and Insert: (query, parameter array [, callback]).
int32_t ScriptMySQLQuery(void* state, MySQLQueryMode mode)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string query;
    ScriptContext args;
    if (!vm->GetString(1, query) || !args.ReadArrayElements(vm, 2))
        return -1;
    ScriptFunctionRef callback;
    const bool hasCallback = vm->GetArgCount() > 2;
    if (hasCallback && !vm->GetFunction(3, callback))
        return -1;

    MySQL* mysql = FindMySQL(vm);
    if (mysql == nullptr || !mysql->IsConnected())
        return vm->RaiseError("No database connection active.");

    if (hasCallback)
    {
        mysql->QueryAsync(query, args, mode, callback);
        return 0;
    }
    try
    {
        mysql->Query(query, args, mode, vm);
    }
    catch (const std::exception& error)
    {
        return vm->RaiseError(fmt::format("Exception on query: {}.", error.what()));
    }
    catch (...)
    {
        return vm->RaiseError("Exception on query.");
    }
    return 1;
}
} // namespace

// MySQL.Connect(host, port, user, password, schema)
int32_t ScriptMySQLConnect(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    std::string host;
    int32_t port = 0;
    std::string user;
    std::string password;
    std::string schema;
    if (!vm->GetString(1, host) || !vm->GetInt(2, port) || !vm->GetString(3, user) ||
        !vm->GetString(4, password) || !vm->GetString(5, schema))
        return -1;

    MySQL* mysql = FindMySQL(vm);
    if (mysql != nullptr && mysql->IsConnected())
        return vm->RaiseError("Database connection exist already.");
    if (mysql == nullptr || !mysql->Connect(host, static_cast<uint32_t>(port), user, password, schema))
        return vm->RaiseError("Failed to connect with MySQL host.");
    return 0;
}

// MySQL.Close()
int32_t ScriptMySQLClose(void* state)
{
    ScriptVM* vm = FindScriptVM(state);
    if (vm == nullptr)
        return 0;
    MySQL* mysql = FindMySQL(vm);
    if (mysql == nullptr || !mysql->IsConnected())
        return vm->RaiseError("No database connection active.");
    if (!mysql->Close())
        return vm->RaiseError("Failed to close MySQL connection.");
    return 0;
}

// MySQL.Execute(query, args [, callback]): the number of affected rows.
int32_t ScriptMySQLExecute(void* state)
{
    return ScriptMySQLQuery(state, MySQLQueryMode::Execute);
}

// MySQL.Select(query, args [, callback]): the rows.
int32_t ScriptMySQLSelect(void* state)
{
    return ScriptMySQLQuery(state, MySQLQueryMode::Select);
}

// MySQL.Insert(query, args [, callback]): the auto-increment value of the statement.
int32_t ScriptMySQLInsert(void* state)
{
    return ScriptMySQLQuery(state, MySQLQueryMode::Insert);
}

namespace
{
const ScriptFunctionEntry kConnect("MySQL", "Connect", &ScriptMySQLConnect);
const ScriptFunctionEntry kClose("MySQL", "Close", &ScriptMySQLClose);
const ScriptFunctionEntry kExecute("MySQL", "Execute", &ScriptMySQLExecute);
const ScriptFunctionEntry kSelect("MySQL", "Select", &ScriptMySQLSelect);
const ScriptFunctionEntry kInsert("MySQL", "Insert", &ScriptMySQLInsert);
} // namespace
