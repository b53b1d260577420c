#include "ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace
{
constexpr const char* kBinary = "./lanternfall-server";
constexpr const char* kLoopbackUp = "PATH=/usr/sbin:/sbin:$PATH; ip link set lo up";
} // namespace

ServerProcess::ServerProcess()
{
    signal(SIGPIPE, SIG_IGN); // console input to a server that ended fails instead of killing the test
    std::string pattern = (std::filesystem::temp_directory_path() / "lnf-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("ServerProcess: no temporary folder: " + std::string(std::strerror(errno)));
    root = pattern;
    std::filesystem::create_directory(folder = root / "server");
    std::filesystem::copy_file(LNF_SERVER_BINARY, folder / kBinary);
}

ServerProcess::~ServerProcess()
{
    Stop();
    close(output);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

void ServerProcess::WriteSettings(const SettingsList& values)
{
    SettingsList all{{"listed", "false"}, {"hostaddress", "127.0.0.1"}, {"port", std::to_string(Port())}};
    std::erase_if(all, [&](auto& preset)
                  { return std::ranges::count(values, preset.first, &SettingsList::value_type::first) > 0; });
    std::string xml = "<settings>\n";
    all.insert(all.end(), values.begin(), values.end());
    for (const auto& [key, value] : all)
        xml += "    <" + key + ">" + value + "</" + key + ">\n";
    WriteFile("settings.xml", xml + "</settings>\n");
}

void ServerProcess::WriteFile(const std::filesystem::path& relative, const std::string& content)
{
    std::filesystem::create_directories((folder / relative).parent_path());
    if (!std::ofstream(folder / relative, std::ios::binary)
             .write(content.data(), std::streamsize(content.size())))
        throw std::runtime_error("ServerProcess: cannot write " + (folder / relative).string());
}

std::string ServerProcess::ReadFile(const std::filesystem::path& relative) const
{
    std::ostringstream content;
    content << std::ifstream(folder / relative, std::ios::binary).rdbuf();
    return content.str();
}

bool ServerProcess::PrivateNetworkAvailable()
{
    static const bool available =
        std::system(("unshare -n sh -c '" + std::string(kLoopbackUp) + "' >/dev/null 2>&1").c_str()) == 0;
    return available;
}

bool ServerProcess::Start(const StartOptions& options)
{
    if (IsRunning() || (options.privateNetwork && !PrivateNetworkAvailable()))
        return false;
    Stop(); // checks an earlier run
    // `env` adds the options' variables, then runs the rest in its place (the same process).
    std::vector<std::string> args{"env"};
    if (options.privateNetwork)
        args = {"unshare", "-n", "env"};
    args.insert(args.end(), options.environment.begin(), options.environment.end());
    if (options.privateNetwork)
        args.insert(args.end(), {"sh", "-c", kLoopbackUp + std::string(" && exec ") + kBinary});
    else
        args.push_back(kBinary);
    std::vector<char*> argv(args.size() + 1); // ending with a null
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& text) { return text.data(); });

    std::string file = (root / "output").string();
    int in[2];
    if ((output < 0 && (output = open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600)) < 0) ||
        pipe2(in, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, file.c_str(), O_WRONLY | O_APPEND, 0);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP); // a group of its own, killed as one
    if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    input = fdopen(in[1], "w");
    status = -1;
    killed = false;
    checked = pid < 0;
    return pid > 0;
}

bool ServerProcess::IsRunning()
{
    if (pid > 0 && status < 0 && waitpid(pid, &status, WNOHANG) != pid)
        status = -1;
    return pid > 0 && status < 0;
}

bool ServerProcess::WriteLine(const std::string& line)
{
    std::string bytes = line + "\n";
    return input != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), input) == bytes.size() &&
           std::fflush(input) == 0;
}

void ServerProcess::CloseStdin()
{
    if (input != nullptr)
        std::fclose(std::exchange(input, nullptr));
}

std::optional<int> ServerProcess::WaitForExit(Duration timeout)
{
    if (pid < 0 || !Until([this] { return !IsRunning(); }, timeout))
        return std::nullopt;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

void ServerProcess::Stop()
{
    if (IsRunning())
    {
        killed = kill(-pid, SIGKILL) == 0; // the group: also the shell and `ip` of a private-network start
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
            ;
    }
    CloseStdin();
    if (std::exchange(checked, true))
        return;
    bool reported = Count("AddressSanitizer") + Count("ThreadSanitizer") + Count("runtime error:") > 0;
    if ((WIFSIGNALED(status) && !killed) || reported)
        ADD_FAILURE() << "The server under test crashed or reported a fault.\n" << Output();
}

bool ServerProcess::Until(const std::function<bool()>& ready, Duration timeout)
{
    for (auto end = std::chrono::steady_clock::now() + timeout; !ready();
         std::this_thread::sleep_for(Duration(2)))
    {
        if (std::chrono::steady_clock::now() > end)
            return false;
    }
    return true;
}

bool ServerProcess::WaitFor(const std::string& text, size_t count, Duration timeout)
{
    return Until([&] { return Count(text) >= count; }, timeout);
}

size_t ServerProcess::Count(const std::string& text) const
{
    Read();
    return std::count_if(lines.begin(), lines.end(),
                         [&](auto& line) { return line.find(text) != line.npos; });
}

std::string ServerProcess::Output() const
{
    std::string text;
    for (const std::string& line : Messages())
        text += line + "\n";
    text += raw.substr(parsed) + (parsed < raw.size() ? "\n" : "") + "[ServerProcess] The server ";
    if (status < 0)
        return text + (pid < 0 ? "was not started.\n" : "is running.\n");
    if (WIFEXITED(status) || killed)
        return text + (killed ? "was stopped by the test.\n"
                              : "exited with code " + std::to_string(WEXITSTATUS(status)) + ".\n");
    return text + "died of signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
           ").\n";
}

void ServerProcess::Read() const
{
    // A line without its time, colour codes and CR.
    static const std::regex noise("^\\[\\d\\d:\\d\\d:\\d\\d\\] |\x1b\\[[0-9;]*m|\r");
    char buffer[65536];
    for (ssize_t got; (got = read(output, buffer, sizeof buffer)) > 0;)
        raw.append(buffer, size_t(got));
    for (size_t end; (end = raw.find('\n', parsed)) != std::string::npos; parsed = end + 1)
        lines.push_back(std::regex_replace(raw.substr(parsed, end - parsed), noise, ""));
}
