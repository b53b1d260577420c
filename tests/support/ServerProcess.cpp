#include "ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "Ports.h"

extern char** environ;

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
    folder = root / "server";
    std::filesystem::create_directory(folder);
    std::filesystem::copy_file(LNF_SERVER_BINARY, folder / kBinary);
}

ServerProcess::~ServerProcess()
{
    Stop();
    if (output >= 0)
        close(output);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
}

uint16_t ServerProcess::Port()
{
    return port != 0 ? port : (port = FreePort());
}

void ServerProcess::WriteSettings(const SettingsList& values)
{
    SettingsList all;
    for (const auto& [key, value] :
         SettingsList{{"listed", "false"}, {"hostaddress", "127.0.0.1"}, {"port", std::to_string(Port())}})
    {
        if (std::none_of(values.begin(), values.end(), [&](const auto& pair) { return pair.first == key; }))
            all.emplace_back(key, value);
    }
    all.insert(all.end(), values.begin(), values.end());
    std::string xml = "<settings>\n";
    for (const auto& [key, value] : all)
    {
        xml += "    <" + key + ">";
        for (char c : value)
            xml += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
        xml += "</" + key + ">\n";
    }
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
    std::vector<std::string> args{kBinary}, env = options.environment;
    if (options.privateNetwork)
        args = {"unshare", "-n", "sh", "-c", kLoopbackUp + std::string(" && exec ") + kBinary};
    for (char** entry = environ; *entry != nullptr; ++entry)
        env.emplace_back(*entry); // after the options' own: the first of a name counts
    std::vector<char*> argv(args.size() + 1), envp(env.size() + 1); // each ends with a null
    std::transform(args.begin(), args.end(), argv.begin(), [](std::string& text) { return text.data(); });
    std::transform(env.begin(), env.end(), envp.begin(), [](std::string& text) { return text.data(); });
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
    int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    input = in[1];
    if (error != 0)
    {
        ADD_FAILURE() << "ServerProcess: cannot start " << argv[0] << ": " << std::strerror(error);
        pid = -1;
        return false;
    }
    status = -1;
    killed = checked = false;
    return true;
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
    for (size_t done = 0; input >= 0 && done < bytes.size();)
    {
        ssize_t count = write(input, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno != EINTR)
            return false;
        done += size_t(std::max<ssize_t>(count, 0));
    }
    return input >= 0;
}

void ServerProcess::CloseStdin()
{
    if (input >= 0)
        close(std::exchange(input, -1));
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
    if (WIFSIGNALED(status) && !killed)
        ADD_FAILURE() << "The server under test died of signal " << WTERMSIG(status) << ".\n" << Output();
    for (const char* report : {"AddressSanitizer", "ThreadSanitizer", "runtime error:"})
    {
        if (Count(report) > 0)
            ADD_FAILURE() << "The server under test reported a fault.\n" << Output();
    }
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

std::vector<std::string> ServerProcess::Messages() const
{
    Read();
    std::vector<std::string> messages;
    for (const std::string& line : lines)
    {
        bool timed = line.size() >= 11 && line[0] == '[' && line[3] == ':' && line.compare(9, 2, "] ") == 0;
        messages.push_back(timed ? line.substr(11) : line);
    }
    return messages;
}

std::string ServerProcess::Output() const
{
    Read();
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    text += raw.substr(parsed) + (parsed < raw.size() ? "\n" : "") + "[ServerProcess] The server ";
    if (pid < 0 || status < 0)
        return text + (pid < 0 ? "was not started.\n" : "is running.\n");
    if (WIFEXITED(status))
        return text + "exited with code " + std::to_string(WEXITSTATUS(status)) + ".\n";
    return text + (killed ? "was stopped by the test.\n"
                          : "died of " + std::string(strsignal(WTERMSIG(status))) + ".\n");
}

void ServerProcess::Read() const
{
    char buffer[65536];
    for (ssize_t got; output >= 0 && (got = read(output, buffer, sizeof buffer)) > 0;)
        raw.append(buffer, size_t(got));
    for (size_t end; (end = raw.find('\n', parsed)) != std::string::npos; parsed = end + 1)
    {
        std::string line;
        for (size_t i = parsed; i < end; ++i)
        {
            if (raw[i] == '\x1b') // a colour code: ESC [ ... m
                i = std::min(raw.find('m', i), end);
            else if (raw[i] != '\r')
                line += raw[i];
        }
        lines.push_back(std::move(line));
    }
}
