#include "Server/Console.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <limits>
#include <thread>
#include <utility>

#include <spdlog/spdlog.h>

#include "Network/Client.h"
#include "Network/ClientRegistry.h"
#include "Network/Network.h"
#include "Resources/Resource.h"
#include "Resources/ResourceManager.h"
#include "Server/Server.h"

namespace
{
struct CommandWord
{
    const char* word;
    ConsoleCommandKind kind;
    const char* usage; // null for commands without an argument
};

constexpr std::array<CommandWord, 7> kCommands = {{
    {"help", ConsoleCommandKind::Help, nullptr},
    {"?", ConsoleCommandKind::Help, nullptr},
    {"--usage", ConsoleCommandKind::Help, nullptr},
    {"start", ConsoleCommandKind::Start, "[Help] start <resource>"},
    {"stop", ConsoleCommandKind::Stop, "[Help] stop <resource>"},
    {"restart", ConsoleCommandKind::Restart, "[Help] restart <resource>"},
    {"kick", ConsoleCommandKind::Kick, "[Help] kick <playerid>"},
}};

void LogHelp()
{
    spdlog::info("[Help] List of commands:");
    spdlog::info("[Help] start <resource>");
    spdlog::info("[Help] stop <resource>");
    spdlog::info("[Help] restart <resource>");
    spdlog::info("[Help] kick <playerid>");
}

// Loads and starts a resource that was just created; on failure it is removed again.
void LoadAndStart(ResourceManager& manager, Resource& resource, const std::string& name, bool restarted)
{
    if (resource.Load() && resource.Start())
    {
        if (restarted)
            spdlog::info("[Server] Successfully restarted resource {}.", name);
        else
            spdlog::info("[Server] Successfully started resource {}.", name);
        return;
    }
    spdlog::error("[Server] Failed to load resource {}.", name);
    manager.StopResource(name);
}

void StartResource(const std::string& name)
{
    spdlog::info("[Server] Start resource {}.", name);
    ResourceManager* manager = g_server->resourceManager.get();
    if (manager == nullptr)
        return;
    // None when the name is in use: nothing more to say.
    if (Resource* resource = manager->CreateResource(name))
        LoadAndStart(*manager, *resource, name, false);
}

void StopResource(const std::string& name)
{
    spdlog::info("[Server] Stop resource {}.", name);
    if (ResourceManager* manager = g_server->resourceManager.get())
        manager->StopResource(name);
}

void RestartResource(const std::string& name)
{
    spdlog::info("[Server] Restart resource {}.", name);
    ResourceManager* manager = g_server->resourceManager.get();
    if (manager == nullptr)
        return;
    manager->StopResource(name);
    // None when a "resourceStop" handler canceled the stop and the old resource is still there.
    if (Resource* resource = manager->CreateResource(name))
        LoadAndStart(*manager, *resource, name, true);
}

void KickClient(const std::string& argument)
{
    Client* client = nullptr;
    std::optional<int32_t> value = ParseLeadingInteger(argument);
    if (value && g_server->clientRegistry)
        client = g_server->clientRegistry->GetClient(static_cast<uint16_t>(static_cast<uint32_t>(*value)));
    if (client == nullptr)
    {
        spdlog::error("[Server] Client with ID {} doesn't exist.", argument);
        return;
    }
    if (g_server->network)
        g_server->network->commands.push(
            NetworkCommand{0, client->peerId, std::string(), client->connection});
}
} // namespace

std::optional<int32_t> ParseLeadingInteger(const std::string& text)
{
    size_t position = 0;
    while (position < text.size() && std::isspace(static_cast<unsigned char>(text[position])))
        ++position;
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-'))
        negative = text[position++] == '-';
    // The magnitude may reach 2^31 (the lowest int32); reading stops as soon as it goes beyond.
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    bool anyDigit = false;
    for (; position < text.size() && text[position] >= '0' && text[position] <= '9'; ++position)
    {
        anyDigit = true;
        magnitude = magnitude * 10 + (text[position] - '0');
        if (magnitude > kLimit)
            return std::nullopt;
    }
    if (!anyDigit || (!negative && magnitude == kLimit))
        return std::nullopt;
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

std::optional<std::string> ReadConsoleLine()
{
    int c = std::getc(stdin);
    if (c == EOF)
        return std::nullopt;
    // The whole line is read, but only its first bytes are kept: the rest of an overlong line never
    // runs as a command of its own.
    std::string line;
    bool cut = false;
    for (; c != EOF && c != '\n'; c = std::getc(stdin))
    {
        if (line.size() < kConsoleLineLimit)
            line.push_back(static_cast<char>(c));
        else
            cut = true;
    }
    if (cut)
        spdlog::warn("[Server] Console line longer than {} bytes; the rest of it was ignored.",
                     kConsoleLineLimit);
    // The command is the text before a zero byte.
    line.resize(std::min(line.size(), line.find('\0')));
    return line;
}

std::optional<ConsoleCommand> ParseConsoleCommand(const std::string& line)
{
    const size_t blank = line.find(' ');
    const std::string word = blank == std::string::npos ? line : line.substr(0, blank);
    // Without a blank the argument is the whole line, which equals the word: the usage case below.
    std::string argument = blank == std::string::npos ? line : line.substr(blank + 1);

    for (const CommandWord& command : kCommands)
    {
        if (word != command.word)
            continue;
        if (command.kind == ConsoleCommandKind::Help)
            return ConsoleCommand{ConsoleCommandKind::Help, std::string()};
        if (argument.empty() || argument == word)
            return ConsoleCommand{ConsoleCommandKind::Usage, command.usage};
        return ConsoleCommand{command.kind, std::move(argument)};
    }
    return std::nullopt;
}

void HandleConsoleCommand(const std::string& line)
{
    std::optional<ConsoleCommand> command = ParseConsoleCommand(line);
    if (!command || g_server == nullptr)
        return;
    g_server->tasks.Post([command = std::move(*command)] { RunConsoleCommand(command); });
}

void RunConsoleCommand(const ConsoleCommand& command)
{
    if (g_server == nullptr)
        return;
    switch (command.kind)
    {
    case ConsoleCommandKind::Help:
        LogHelp();
        break;
    case ConsoleCommandKind::Usage:
        spdlog::info(command.argument);
        break;
    case ConsoleCommandKind::Start:
        StartResource(command.argument);
        break;
    case ConsoleCommandKind::Stop:
        StopResource(command.argument);
        break;
    case ConsoleCommandKind::Restart:
        RestartResource(command.argument);
        break;
    case ConsoleCommandKind::Kick:
        KickClient(command.argument);
        break;
    }
}

void ConsoleInputLoop()
{
    // A blocking read: the thread sleeps until a line arrives, and ends with the input.
    while (std::optional<std::string> line = ReadConsoleLine())
        HandleConsoleCommand(*line);
}

void StartConsoleInput()
{
    std::thread(ConsoleInputLoop).detach();
}
