#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
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
    bool Unpack(std::string_view bytes);

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
    // One value ready to be pushed. Byte strings are views: into a context's maps, or into the
    // packed form that a key, value or element was read from in place. Nested tables and arrays are
    // pushed straight from their packed bytes, so no level of nesting copies the levels inside it.
    struct Value
    {
        uint64_t index = 0;
        int32_t type = Null;
        bool present = false; // the map of its kind holds it (a received context may lack it)
        int32_t integer = 0;
        float real = 0;
        bool boolean = false;
        std::string_view bytes;
    };
    // A packed one-value context read in place: its value, and how many values it holds (2 stands
    // for two or more).
    struct Single
    {
        Value value;
        size_t count = 0;
    };

    Value Find(uint64_t index, int32_t type) const;
    // False, with the deserialization warning logged, when the bytes are no packed context.
    static bool UnpackSingle(std::string_view packed, Single& single);
    static void PushValue(const ScriptContextAccess& access, ScriptVM* vm, const Value& value, size_t depth);
    // The value of a one-value context, or a null when it does not hold exactly one value.
    static void PushSingle(const ScriptContextAccess& access, ScriptVM* vm, const Single& single,
                           size_t depth);
    static void PushTable(const ScriptContextAccess& access, ScriptVM* vm, std::string_view packed,
                          size_t depth);
    static void PushArray(const ScriptContextAccess& access, ScriptVM* vm, std::string_view packed,
                          size_t depth);
};
