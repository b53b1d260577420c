#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class ScriptVM;
class ScriptContextAccess;

enum ScriptValueType : int32_t
{
    Null = 1,
    Int = 2,
    Float = 3,
    Bool = 4,
    Table = 5,
    Array = 6,
    String = 7,
};

// The typed argument pack of events, callbacks and EventTrigger packets: values indexed from 0,
// held in seven ordered maps and packed to MessagePack as an array of those seven maps.
class ScriptContext
{
public:
    ScriptContext() = default;
    ScriptContext(const ScriptContext&) = default;
    ScriptContext& operator=(const ScriptContext&) = default;
    ScriptContext(ScriptContext&&) = default;
    ScriptContext& operator=(ScriptContext&&) = default;

    void AddString(const std::string& value);
    void AddInt(int32_t value);
    void AddFloat(float value);
    void AddBool(bool value);

    std::string Pack() const;
    // Replaces the whole context with the decoded one; false (context unchanged) on bad bytes.
    bool Unpack(const std::string& bytes);

    // Script side: read values from and push values onto a script VM's stack.
    // Appends the script value at a stack index (nothing for a value a context cannot hold).
    void Read(ScriptVM* vm, int32_t index);
    // Appends each element of the script array given as argument `position` (1 = first). False
    // when the argument is no array: the VM has recorded the argument error and the calling native
    // returns its error result (in Lua too: the error is raised once the native has returned).
    bool ReadArrayElements(ScriptVM* vm, int32_t position);
    // Pushes exactly one script value per entry of `types`, in index order; a value that cannot be
    // pushed as itself becomes a null.
    void Push(ScriptVM* vm) const;

    size_t Count() const { return types.size(); }

    std::map<uint64_t, int32_t> types;
    std::map<uint64_t, int32_t> ints;
    std::map<uint64_t, float> floats;
    std::map<uint64_t, bool> bools;
    std::map<uint64_t, std::string> strings;
    std::map<uint64_t, std::string> tables;
    std::map<uint64_t, std::string> arrays;

    // Tables and arrays nest at most this deep on their way in and out of a script; deeper ones
    // (and containers that hold themselves) are refused with a warning.
    static constexpr size_t kMaxNesting = 64;

private:
    // The containers being read around a value, outermost first.
    using ReadPath = std::vector<const void*>;

    void ReadValue(const ScriptContextAccess& access, ScriptVM* vm, int32_t index, ReadPath& path);
    void ReadTable(const ScriptContextAccess& access, ScriptVM* vm, int32_t index, const void* identity,
                   ReadPath& path);
    void ReadArray(const ScriptContextAccess& access, ScriptVM* vm, int32_t index, const void* identity,
                   ReadPath& path);
    void PushValue(const ScriptContextAccess& access, ScriptVM* vm, uint64_t index, int32_t type,
                   size_t depth) const;
    // Pushes the value of a one-value context (a key, value or element of a packed container), or
    // a null when the context does not hold exactly one value.
    void PushSingle(const ScriptContextAccess& access, ScriptVM* vm, size_t depth) const;
    static void PushTable(const ScriptContextAccess& access, ScriptVM* vm,
                          const std::vector<std::string>& keys, const std::vector<std::string>& values,
                          size_t depth);
    static void PushArray(const ScriptContextAccess& access, ScriptVM* vm,
                          const std::map<uint64_t, std::string>& positions, size_t depth);
};
