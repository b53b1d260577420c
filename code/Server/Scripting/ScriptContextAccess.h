#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

class ScriptVM;

// A non-owning reference to a callable taking no arguments, for the walks below (no allocation).
class ScriptVisitor
{
public:
    // Implicit so that a lambda can be passed directly; it must outlive the call it is passed to.
    template <typename F>
    requires(!std::is_same_v<std::decay_t<F>, ScriptVisitor>) ScriptVisitor(F&& callable)
        : object(const_cast<void*>(static_cast<const void*>(&callable))),
          call([](void* target) { (*static_cast<std::remove_reference_t<F>*>(target))(); })
    {
    }
    void operator()() const { call(object); }

private:
    void* object;
    void (*call)(void*);
};

// A script number as the nearest single-precision value, infinities beyond the float range
// (the plain conversion is undefined there).
inline float ScriptNumberToFloat(double value)
{
    constexpr double kMax = static_cast<double>(std::numeric_limits<float>::max());
    // Half a unit in the last place above the largest float: the rounding boundary to infinity.
    constexpr double kOverflow = kMax + 0x1p103;
    if (value >= kOverflow)
        return std::numeric_limits<float>::infinity();
    if (value <= -kOverflow)
        return -std::numeric_limits<float>::infinity();
    if (value > kMax)
        return std::numeric_limits<float>::max();
    if (value < -kMax)
        return -std::numeric_limits<float>::max();
    return static_cast<float>(value);
}

// What one stack slot holds, as ScriptContext sees it.
enum class ScriptStackKind
{
    None, // no value at that index
    Null,
    Bool,
    Integer,
    Float,
    String,
    Table,
    Array, // Squirrel only
    Other, // anything a context cannot hold (functions, userdata, threads, ...)
};

struct ScriptStackValue
{
    ScriptStackKind kind = ScriptStackKind::None;
    bool boolean = false;
    int64_t integer = 0;
    double number = 0;
    std::string_view text;          // String: all its bytes; valid while the value stays on the stack
    const void* identity = nullptr; // Table, Array: tells containers apart (cycle check)
    const char* typeName = nullptr; // Other: the language's type name, or null to use typeCode
    int64_t typeCode = 0;           // Other: the language's type code when it has no name
};

// The stack primitives of one script language, through which ScriptContext reads script values
// and pushes them (ScriptContextVM.cpp holds the language-neutral algorithms: nesting bound,
// cycle check, packing, one pushed value per entry). Each language registers one instance under
// its ScriptVMType (below); a VM type without one is ignored by ScriptContext (reads append
// nothing, pushes push nothing). Indices are the language's own stack indices (negative counts from the top).
class ScriptContextAccess
{
public:
    virtual ~ScriptContextAccess() = default;

    // Reading
    virtual ScriptStackValue Inspect(ScriptVM* vm, int32_t index) const = 0;
    // Walks the table or array at index: for every pair calls visit with the key at -2 and the value
    // at -1 (visit must leave the stack as it found it), then restores the stack. False, with nothing
    // visited, when the stack cannot grow for the walk.
    virtual bool WalkTable(ScriptVM* vm, int32_t index, ScriptVisitor visit) const = 0;
    // Argument arrays of natives (1 = first script argument): calls visit with each element on top
    // of the stack in order. False when the argument is no array of this language; the VM has then
    // recorded or raised the argument error and the native returns its error result.
    virtual bool WalkArgumentArray(ScriptVM* vm, int32_t position, ScriptVisitor visit) const = 0;

    // Pushing
    // Makes room for `slots` more values; false when the stack cannot hold them.
    virtual bool EnsureStack(ScriptVM* vm, size_t slots) const = 0;
    // Push could not push every value (the stack was full): the VM's next call must fail instead of
    // taking values that are not there.
    virtual void MarkIncompletePush(ScriptVM* vm) const = 0;
    virtual void PushNull(ScriptVM* vm) const = 0;
    virtual void PushBool(ScriptVM* vm, bool value) const = 0;
    virtual void PushInt(ScriptVM* vm, int32_t value) const = 0;
    virtual void PushFloat(ScriptVM* vm, float value) const = 0;
    // The language's form of a context string (Lua cuts at the first zero byte, Squirrel keeps all).
    virtual void PushString(ScriptVM* vm, std::string_view value) const = 0;
    // A new table sized for `count` pairs on top of the stack.
    virtual void PushNewTable(ScriptVM* vm, size_t count) const = 0;
    // Key at -2, value at -1, the table at -3: stores the pair and pops both. A key the language
    // cannot index with (nil, NaN) is dropped, still popping both.
    virtual void TableInsert(ScriptVM* vm) const = 0;
    // A new array for `count` elements on top of the stack (Lua: a table).
    virtual void PushNewArray(ScriptVM* vm, size_t count) const = 0;
    // Around pushing the element of 0-based `position`: Begin may push what the store needs before
    // the value (Squirrel's index), End stores the value into the array below and pops what Begin
    // and the value added. A position beyond the array's size must still balance the stack.
    virtual void BeginArrayElement(ScriptVM* vm, uint64_t position) const = 0;
    virtual void EndArrayElement(ScriptVM* vm, uint64_t position) const = 0;
};

// Registration per ScriptVMType (1 Lua, 2 Squirrel). Each language's main VM registers its instance
// when it is constructed (repeating it is harmless); a static registration object in a file of its
// own would be dropped from binaries that take the server's code from a static archive.
void RegisterScriptContextAccess(uint32_t vmType, const ScriptContextAccess* access);
const ScriptContextAccess* FindScriptContextAccess(uint32_t vmType);
