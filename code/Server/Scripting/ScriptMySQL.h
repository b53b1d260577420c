#pragma once

#include <cstdint>

// The native functions of the script module MySQL (ScriptMySQL.cpp), registered under "MySQL" in
// this order. They follow the calling convention of ScriptFunctionRegistry.h.
int32_t ScriptMySQLConnect(void* state);
int32_t ScriptMySQLClose(void* state);
int32_t ScriptMySQLExecute(void* state);
int32_t ScriptMySQLSelect(void* state);
int32_t ScriptMySQLInsert(void* state);
