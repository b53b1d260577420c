#include "Scripting/Preludes.h"

namespace
{
// Resource and Console are looked up as globals at every use; type, setmetatable and tostring are
// kept locally so that scripts replacing them later do not change `exports`.
constexpr const char* kLuaPrelude = R"lua(local type, setmetatable, tostring = type, setmetatable, tostring

local rescallMT = {}
rescallMT.__index = function(self, k)
    if type(k) ~= "string" then
        k = tostring(k)
    end
    local call = function(_, ...)
        if type(self.res) == "string" and Resource.GetState(self.res) == "started" then
            return Resource.Call(self.res, k, { ... })
        end
        return nil
    end
    self[k] = call
    return call
end

local exportsMT = {}
exportsMT.__index = function(self, k)
    if type(k) ~= "string" then
        k = tostring(k)
    end
    if Resource.GetState(k) == "started" then
        return setmetatable({ res = k }, rescallMT)
    end
    Console.Log("exports: Call to non-running server resource (" .. k .. ").")
    return setmetatable({}, rescallMT)
end

exports = setmetatable({}, exportsMT)
)lua";

// ResCallMT: the proxy of one resource. `_get` is consulted only for names that are not members
// (`res`, `table`), and makes a new closure at every access; inside it `this` is the proxy.
constexpr const char* kSquirrelPrelude = R"nut(class ResCallMT {
    res = null;
    table = null;

    constructor(res) {
        this.res = res;
        this.table = {};
    }

    function _get(k) {
        if (typeof k != "string")
            k = k.tostring();
        local call = function(...) {
            if (typeof this.res == "string" && ::Resource.GetState(this.res) == "started")
                return ::Resource.Call(this.res, k, vargv);
            return null;
        };
        this.table.rawset(k, call);
        return this.table.rawget(k);
    }
}

class ExportsMT {
    function _get(k) {
        if (typeof k != "string")
            k = k.tostring();
        if (::Resource.GetState(k) == "started")
            return ::ResCallMT(k);
        ::Console.Log("exports: Call to non-running server resource (" + k + ").");
        return ::ResCallMT(null);
    }
}

::exports <- ::ExportsMT();
)nut";
} // namespace

const std::string& GetLuaPrelude()
{
    static const std::string prelude(kLuaPrelude);
    return prelude;
}

const std::string& GetSquirrelPrelude()
{
    static const std::string prelude(kSquirrelPrelude);
    return prelude;
}
