#pragma once

#include <string>

// The built-in scripts that every new main VM runs (LoadBuiltins) after the script modules are
// installed and before the resource's own scripts. They define the global `exports`, through which
// a script calls the exported functions of another started resource.

// Lua: exports.X:f(...) (method syntax) calls Resource.Call("X", "f", {...}) while X is started.
inline constexpr const char* kLuaPreludeName = "exports.lua";
const std::string& GetLuaPrelude();

// The Squirrel prelude ("exports.nut", called as exports.X.f(...)) joins these with the Squirrel VM.

// Squirrel: exports.X.f(...) (plain member syntax) calls Resource.Call("X", "f", [...]) while X is
// started.
inline constexpr const char* kSquirrelPreludeName = "exports.nut";
const std::string& GetSquirrelPrelude();
