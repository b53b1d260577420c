#include <algorithm>
#include <cmath>
#include <limits>

#include <squirrel.h>

#include "Scripting/ScriptContextAccess.h"
#include "Scripting/SquirrelVM.h"

// Squirrel's stack primitives for ScriptContext (see ScriptContextAccess.h). Only tables and arrays
// are walked and built, and new tables have no delegate, so no script code (metamethod) runs here.
// Squirrel checks neither stack indices nor room on the stack: both are checked here.

namespace
{
HSQUIRRELVM VMOf(ScriptVM* vm)
{
    return static_cast<HSQUIRRELVM>(vm->GetState());
}

// The absolute slot of a stack index, or 0 when no value is there.
SQInteger Slot(HSQUIRRELVM v, SQInteger index)
{
    SQInteger top = sq_gettop(v);
    SQInteger slot = index < 0 ? top + index + 1 : index;
    return slot >= 1 && slot <= top ? slot : 0;
}

class SquirrelContextAccess final : public ScriptContextAccess
{
public:
    ScriptStackValue Inspect(ScriptVM* vm, int32_t index) const override
    {
        HSQUIRRELVM v = VMOf(vm);
        ScriptStackValue value;
        SQInteger slot = Slot(v, index);
        if (slot == 0)
            return value;
        SQObjectType type = sq_gettype(v, slot);
        switch (type)
        {
        case OT_NULL:
            value.kind = ScriptStackKind::Null;
            break;
        case OT_BOOL:
        {
            SQBool flag = SQFalse;
            sq_getbool(v, slot, &flag);
            value.kind = ScriptStackKind::Bool;
            value.boolean = flag != SQFalse;
            break;
        }
        case OT_INTEGER:
        {
            SQInteger integer = 0;
            sq_getinteger(v, slot, &integer);
            value.kind = ScriptStackKind::Integer;
            value.integer = integer;
            break;
        }
        case OT_FLOAT:
        {
            SQFloat number = 0;
            sq_getfloat(v, slot, &number);
            value.kind = ScriptStackKind::Float;
            value.number = static_cast<double>(number);
            break;
        }
        case OT_STRING:
        {
            const SQChar* text = nullptr;
            SQInteger length = 0;
            sq_getstringandsize(v, slot, &text, &length);
            value.kind = ScriptStackKind::String;
            value.text = std::string_view(text, static_cast<size_t>(length));
            break;
        }
        case OT_TABLE:
        case OT_ARRAY:
        {
            HSQOBJECT object;
            sq_resetobject(&object);
            sq_getstackobj(v, slot, &object);
            value.kind = type == OT_TABLE ? ScriptStackKind::Table : ScriptStackKind::Array;
            value.identity = object._unVal.pRefCounted;
            break;
        }
        default:
            value.kind = ScriptStackKind::Other;
            value.typeCode = static_cast<int64_t>(type);
            break;
        }
        return value;
    }

    bool WalkTable(ScriptVM* vm, int32_t index, ScriptVisitor visit) const override
    {
        HSQUIRRELVM v = VMOf(vm);
        SQInteger slot = Slot(v, index);
        // The iterator, a key and a value.
        if (slot == 0 || !ReserveSquirrelStack(v, 3))
            return false;
        SQInteger top = sq_gettop(v);
        sq_pushnull(v);
        while (SQ_SUCCEEDED(sq_next(v, slot)))
        {
            visit();
            sq_pop(v, 2);
        }
        sq_settop(v, top);
        return true;
    }

    bool WalkArgumentArray(ScriptVM* vm, int32_t position, ScriptVisitor visit) const override
    {
        HSQUIRRELVM v = VMOf(vm);
        // Argument p sits above `this`.
        SQInteger slot = position >= 1 ? Slot(v, static_cast<SQInteger>(position) + 1) : 0;
        if (slot == 0 || sq_gettype(v, slot) != OT_ARRAY)
        {
            sq_throwerror(v, "Expected an array value");
            return false;
        }
        if (!ReserveSquirrelStack(v, 3))
            return false;
        SQInteger top = sq_gettop(v);
        sq_pushnull(v);
        while (SQ_SUCCEEDED(sq_next(v, slot)))
        {
            visit();
            sq_pop(v, 2);
        }
        sq_settop(v, top);
        return true;
    }

    bool EnsureStack(ScriptVM* vm, size_t slots) const override
    {
        // Within SQInteger's range; ReserveSquirrelStack bounds the stack itself (a received
        // context may hold any number of values).
        return slots <= static_cast<size_t>(kMaxSquirrelStackSlots) &&
               ReserveSquirrelStack(VMOf(vm), static_cast<SQInteger>(slots));
    }

    void MarkIncompletePush(ScriptVM*) const override { SquirrelVM::MarkIncompletePush(); }

    void PushNull(ScriptVM* vm) const override { sq_pushnull(VMOf(vm)); }

    void PushBool(ScriptVM* vm, bool value) const override
    {
        sq_pushbool(VMOf(vm), value ? SQTrue : SQFalse);
    }

    void PushInt(ScriptVM* vm, int32_t value) const override
    {
        sq_pushinteger(VMOf(vm), static_cast<SQInteger>(value));
    }

    void PushFloat(ScriptVM* vm, float value) const override
    {
        sq_pushfloat(VMOf(vm), static_cast<SQFloat>(value));
    }

    void PushString(ScriptVM* vm, std::string_view value) const override
    {
        // Every byte, zero bytes included. A null pointer would push null instead of a text.
        if (value.empty())
            sq_pushstring(VMOf(vm), "", 0);
        else
            sq_pushstring(VMOf(vm), value.data(), static_cast<SQInteger>(value.size()));
    }

    void PushNewTable(ScriptVM* vm, size_t count) const override
    {
        // The size is only a hint; a received table must not make one huge allocation up front.
        sq_newtableex(VMOf(vm), static_cast<SQInteger>(std::min<size_t>(count, 4096)));
    }

    void TableInsert(ScriptVM* vm) const override
    {
        HSQUIRRELVM v = VMOf(vm);
        SQObjectType keyType = sq_gettype(v, -2);
        bool unusableKey = keyType == OT_NULL;
        if (keyType == OT_FLOAT)
        {
            SQFloat key = 0;
            sq_getfloat(v, -2, &key);
            unusableKey = std::isnan(key);
        }
        if (unusableKey || SQ_FAILED(sq_newslot(v, -3, SQFalse)))
            sq_pop(v, 2);
    }

    void PushNewArray(ScriptVM* vm, size_t count) const override
    {
        sq_newarray(VMOf(vm), static_cast<SQInteger>(count));
    }

    void BeginArrayElement(ScriptVM* vm, uint64_t position) const override
    {
        // A position beyond any array is pushed as -1, which the store refuses.
        SQInteger index = position > static_cast<uint64_t>(std::numeric_limits<SQInteger>::max())
                              ? -1
                              : static_cast<SQInteger>(position);
        sq_pushinteger(VMOf(vm), index);
    }

    void EndArrayElement(ScriptVM* vm, uint64_t) const override
    {
        // Array at -3, position at -2, element at -1. A position that is not below the array's size
        // is left out, still taking both values away.
        HSQUIRRELVM v = VMOf(vm);
        if (SQ_FAILED(sq_set(v, -3)))
            sq_pop(v, 2);
    }
};

} // namespace

const ScriptContextAccess& GetSquirrelContextAccess()
{
    static const SquirrelContextAccess access;
    return access;
}
