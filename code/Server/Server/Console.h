#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The operator console. A thread of its own reads standard input line by line and parses each line;
// the command itself runs on the main thread (through the server's task queue) between two passes,
// so it never races the main loop over resources, scripts or clients, and its log lines keep the
// order of the work they describe.

enum class ConsoleCommandKind
{
    Help,
    Usage, // a command that needs an argument was given none
    Start,
    Stop,
    Restart,
    Kick,
};

struct ConsoleCommand
{
    ConsoleCommandKind kind = ConsoleCommandKind::Help;
    // Start, Stop, Restart, Kick: the argument text as typed. Usage: the usage line to log.
    std::string argument;
};

// Starts the console thread (console modes need no change on this platform) and detaches it.
void StartConsoleInput();

// Body of the console thread. At the end of standard input, or on a read error, the thread ends:
// the server keeps running without a console.
void ConsoleInputLoop();

// The longest command line: the bytes of a longer line beyond it are dropped with a warning.
constexpr size_t kConsoleLineLimit = 511;

// One line of standard input without its newline, at most kConsoleLineLimit bytes (the rest of a
// longer line is read and dropped); nothing when the input has ended or failed.
std::optional<std::string> ReadConsoleLine();

// Splits one line into command word and argument; nothing for a line that is no command.
std::optional<ConsoleCommand> ParseConsoleCommand(const std::string& line);

// Parses the line and hands the command to the main thread.
void HandleConsoleCommand(const std::string& line);

// Carries a command out. Main thread only.
void RunConsoleCommand(const ConsoleCommand& command);

// Reads text as a base-10 number, the rule settings values follow too: leading white space skipped,
// an optional sign, decimal digits, stopping at the first other character. Nothing when no digit
// follows or the value does not fit in a signed 32-bit integer.
std::optional<int32_t> ParseLeadingInteger(const std::string& text);
