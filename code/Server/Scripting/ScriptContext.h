#pragma once

#include <cstdint>
#include <map>
#include <string>

class ScriptVM;

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
    void Read(ScriptVM* vm, int32_t index);
    bool ReadArrayElements(ScriptVM* vm, int32_t position);
    void Push(ScriptVM* vm) const;

    size_t Count() const { return types.size(); }

    std::map<uint64_t, int32_t> types;
    std::map<uint64_t, int32_t> ints;
    std::map<uint64_t, float> floats;
    std::map<uint64_t, bool> bools;
    std::map<uint64_t, std::string> strings;
    std::map<uint64_t, std::string> tables;
    std::map<uint64_t, std::string> arrays;

private:
    void ReadTable(ScriptVM* vm, int32_t index, int depth);
    void ReadArray(ScriptVM* vm, int32_t index, int depth);
    void ReadValue(ScriptVM* vm, int32_t index, int depth);
    void PushValue(ScriptVM* vm, uint64_t index, int depth) const;
};
