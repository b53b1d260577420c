#include "ServerProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "Ports.h"

extern char** environ;

namespace
{

constexpr auto kReaderGrace = std::chrono::seconds(1);

void IgnoreSigpipeOnce()
{
    // Writing console input to a server that already exited must fail, not kill the test.
    static std::once_flag once;
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
}

// Looks a program up in PATH and the sbin folders (PATH of a test run may lack them).
std::string FindProgram(const std::string& name)
{
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH"))
    {
        std::stringstream stream(path);
        std::string folder;
        while (std::getline(stream, folder, ':'))
        {
            if (!folder.empty())
                folders.push_back(folder);
        }
    }
    for (const char* folder : {"/usr/sbin", "/sbin", "/usr/bin", "/bin"})
        folders.emplace_back(folder);
    for (const auto& folder : folders)
    {
        std::string candidate = folder + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string EscapeXml(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        switch (c)
        {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string ShellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
    {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int StatusToCode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

ServerProcess::ServerProcess()
{
    IgnoreSigpipeOnce();

    std::string pattern = (std::filesystem::temp_directory_path() / "lnf-e2e-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        throw std::runtime_error("ServerProcess: cannot create a temporary folder: " +
                                 std::string(std::strerror(errno)));
    folder_ = buffer.data();

    std::error_code error;
    std::filesystem::path binary = folder_ / kBinaryName;
    std::filesystem::copy_file(LNF_SERVER_BINARY, binary, error);
    if (error)
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
        throw std::runtime_error("ServerProcess: cannot copy " + std::string(LNF_SERVER_BINARY) + ": " +
                                 error.message());
    }
    std::filesystem::permissions(binary, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, error);
}

ServerProcess::~ServerProcess()
{
    Stop();
    if (std::getenv("LNF_KEEP_TEST_DIRS") != nullptr)
    {
        std::cerr << "[ServerProcess] kept test folder " << folder_.string() << std::endl;
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
}

uint16_t ServerProcess::Port()
{
    if (port_ == 0)
        port_ = FreePort();
    return port_;
}

std::string ServerProcess::BuildSettingsXml(const SettingsList& values, uint16_t port)
{
    auto named = [&values](const std::string& key) {
        return std::any_of(values.begin(), values.end(),
                           [&key](const auto& pair) { return pair.first == key; });
    };
    SettingsList all;
    if (!named("listed"))
        all.emplace_back("listed", "false");
    if (!named("hostaddress"))
        all.emplace_back("hostaddress", "127.0.0.1");
    if (!named("port"))
        all.emplace_back("port", std::to_string(port));
    all.insert(all.end(), values.begin(), values.end());

    std::string xml = "<settings>\n";
    for (const auto& [key, value] : all)
        xml += "    <" + key + ">" + EscapeXml(value) + "</" + key + ">\n";
    xml += "</settings>\n";
    return xml;
}

void ServerProcess::WriteSettings(const SettingsList& values)
{
    WriteFile("settings.xml", BuildSettingsXml(values, Port()));
}

void ServerProcess::WriteFile(const std::filesystem::path& relative, const std::string& content)
{
    std::filesystem::path path = folder_ / relative;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out)
        throw std::runtime_error("ServerProcess: cannot write " + path.string());
}

std::string ServerProcess::ReadFile(const std::filesystem::path& relative) const
{
    std::ifstream in(folder_ / relative, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ServerProcess::FileExists(const std::filesystem::path& relative) const
{
    std::error_code error;
    return std::filesystem::exists(folder_ / relative, error);
}

bool ServerProcess::WaitForFile(const std::filesystem::path& relative,
                                const std::function<bool(const std::string&)>& ready, Duration timeout) const
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        if (ready(ReadFile(relative)))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool ServerProcess::PrivateNetworkAvailable()
{
    static const bool available = []
    {
        std::string unshare = FindProgram("unshare");
        std::string ip = FindProgram("ip");
        if (unshare.empty() || ip.empty())
            return false;
        std::string command =
            ShellQuote(unshare) + " -n sh -c " + ShellQuote(ip + " link set lo up") + " >/dev/null 2>&1";
        return std::system(command.c_str()) == 0;
    }();
    return available;
}

bool ServerProcess::Start(bool privateNetwork)
{
    StartOptions options;
    options.privateNetwork = privateNetwork;
    return Start(options);
}

bool ServerProcess::Start(const StartOptions& options)
{
    if (IsRunning())
        return false;
    FinishReader();
    if (options.privateNetwork && !PrivateNetworkAvailable())
        return false;

    // Everything the child needs is prepared before fork: between fork and exec only
    // async-signal-safe calls are allowed (the test process has other threads).
    std::vector<std::string> args;
    std::string program;
    if (options.privateNetwork)
    {
        program = FindProgram("unshare");
        std::string ip = FindProgram("ip");
        args = {program, "-n", "sh", "-c",
                ShellQuote(ip) + " link set lo up && exec ./" + std::string(kBinaryName)};
    }
    else
    {
        program = (folder_ / kBinaryName).string();
        args = {"./" + std::string(kBinaryName)};
    }
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry)
        envStrings.emplace_back(*entry);
    envStrings.insert(envStrings.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> envp;
    for (auto& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string workDir = folder_.string();

    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0)
        return false;
    if (pipe2(outPipe, O_CLOEXEC) != 0)
    {
        close(inPipe[0]);
        close(inPipe[1]);
        return false;
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0)
    {
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1]})
            close(fd);
        return false;
    }

    pid_t pid = fork();
    if (pid == 0)
    {
        setpgid(0, 0);
        dup2(inPipe[0], STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(outPipe[1], STDERR_FILENO);
        int error = 0;
        if (chdir(workDir.c_str()) != 0)
            error = errno;
        else
        {
            execve(program.c_str(), argv.data(), envp.data());
            error = errno;
        }
        ssize_t ignored = write(errPipe[1], &error, sizeof(error));
        (void)ignored;
        _exit(127);
    }

    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0)
    {
        close(inPipe[1]);
        close(outPipe[0]);
        close(errPipe[0]);
        return false;
    }
    setpgid(pid, pid);

    // The error pipe closes on a successful exec; otherwise it carries errno.
    int childError = 0;
    ssize_t got;
    do
        got = read(errPipe[0], &childError, sizeof(childError));
    while (got < 0 && errno == EINTR);
    close(errPipe[0]);
    if (got > 0)
    {
        waitpid(pid, nullptr, 0);
        close(inPipe[1]);
        close(outPipe[0]);
        ADD_FAILURE() << "ServerProcess: cannot start " << program << ": " << std::strerror(childError);
        return false;
    }

    pid_ = pid;
    reaped_ = false;
    exitCode_ = 0;
    stdinFd_ = inPipe[1];
    privateNetwork_ = options.privateNetwork;
    {
        std::lock_guard lock(mutex_);
        readerDone_ = false;
    }
    int outFd = outPipe[0];
    reader_ = std::thread([this, outFd] { ReaderLoop(outFd); });
    return true;
}

void ServerProcess::ReaderLoop(int fd)
{
    char buffer[4096];
    for (;;)
    {
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, 1, 100);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
        {
            if (stopReader_.load())
                break;
            continue;
        }
        ssize_t count = read(fd, buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        AddOutput(buffer, static_cast<size_t>(count));
    }
    close(fd);
    std::lock_guard lock(mutex_);
    if (!partial_.empty())
    {
        std::string line = StripAnsi(partial_);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines_.push_back(std::move(line));
        partial_.clear();
    }
    readerDone_ = true;
    changed_.notify_all();
}

void ServerProcess::AddOutput(const char* data, size_t size)
{
    std::lock_guard lock(mutex_);
    raw_.append(data, size);
    partial_.append(data, size);
    size_t start = 0;
    for (size_t end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n', start))
    {
        std::string line = StripAnsi(partial_.substr(start, end - start));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines_.push_back(std::move(line));
        start = end + 1;
    }
    partial_.erase(0, start);
    changed_.notify_all();
}

void ServerProcess::FinishReader()
{
    if (!reader_.joinable())
        return;
    // Give the reader time to drain the pipe; a descendant still holding it open must not hang us.
    WaitUntil([this] { return readerDone_; }, std::chrono::duration_cast<Duration>(kReaderGrace));
    stopReader_ = true;
    reader_.join();
    stopReader_ = false;
}

bool ServerProcess::IsRunning()
{
    if (pid_ <= 0 || reaped_)
        return false;
    int status = 0;
    pid_t result = waitpid(pid_, &status, WNOHANG);
    if (result == pid_)
    {
        reaped_ = true;
        exitCode_ = StatusToCode(status);
        return false;
    }
    return result == 0;
}

bool ServerProcess::Write(const std::string& bytes)
{
    if (stdinFd_ < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size())
    {
        ssize_t count = write(stdinFd_, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += static_cast<size_t>(count);
    }
    return true;
}

bool ServerProcess::WriteLine(const std::string& line)
{
    return Write(line + "\n");
}

void ServerProcess::CloseStdin()
{
    if (stdinFd_ >= 0)
    {
        close(stdinFd_);
        stdinFd_ = -1;
    }
}

bool ServerProcess::WaitUntil(const std::function<bool()>& ready, Duration timeout)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, ready);
}

bool ServerProcess::WaitForLine(const std::string& text, Duration timeout)
{
    return WaitForLine([&text](const std::string& line) { return line.find(text) != std::string::npos; },
                       timeout);
}

bool ServerProcess::WaitForLine(const std::function<bool(const std::string&)>& match, Duration timeout)
{
    return WaitUntil([&] { return std::any_of(lines_.begin(), lines_.end(), match); }, timeout);
}

bool ServerProcess::WaitForMessage(const std::string& message, Duration timeout)
{
    return WaitForLine([&message](const std::string& line) { return MessageOf(line) == message; }, timeout);
}

bool ServerProcess::WaitForCount(const std::string& text, size_t count, Duration timeout)
{
    return WaitUntil(
        [&]
        {
            return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                                     [&text](const std::string& line) {
                                                         return line.find(text) != std::string::npos;
                                                     })) >= count;
        },
        timeout);
}

size_t ServerProcess::CountLines(const std::string& text) const
{
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                             [&text](const std::string& line)
                                             { return line.find(text) != std::string::npos; }));
}

size_t ServerProcess::CountMessages(const std::string& message) const
{
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(lines_.begin(), lines_.end(),
                                             [&message](const std::string& line)
                                             { return MessageOf(line) == message; }));
}

std::vector<std::string> ServerProcess::Lines() const
{
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> ServerProcess::Messages() const
{
    std::vector<std::string> messages = Lines();
    for (auto& line : messages)
        line = MessageOf(line);
    return messages;
}

std::string ServerProcess::RawOutput() const
{
    std::lock_guard lock(mutex_);
    return raw_;
}

std::string ServerProcess::OutputText() const
{
    std::string text;
    for (const auto& line : Lines())
        text += line + "\n";
    return text;
}

std::optional<int> ServerProcess::WaitForExit(Duration timeout)
{
    if (pid_ <= 0)
        return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (IsRunning())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    FinishReader();
    CloseStdin();
    return exitCode_;
}

void ServerProcess::Stop()
{
    if (pid_ > 0 && !reaped_)
    {
        // The process group also catches the shell and `ip` of a private-network start.
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        int status = 0;
        pid_t result;
        do
            result = waitpid(pid_, &status, 0);
        while (result < 0 && errno == EINTR);
        reaped_ = true;
        exitCode_ = result == pid_ ? StatusToCode(status) : -1;
    }
    FinishReader();
    CloseStdin();
}

bool ServerProcess::RunInServerNetwork(const std::function<void()>& work)
{
    if (!privateNetwork_)
    {
        work();
        return true;
    }
    if (!IsRunning())
        return false;

    // Right after Start the process may not have left our namespace yet: wait until it has.
    struct stat own
    {
    }, theirs{};
    std::string nsPath = "/proc/" + std::to_string(pid_) + "/ns/net";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;)
    {
        if (stat("/proc/self/ns/net", &own) == 0 && stat(nsPath.c_str(), &theirs) == 0 &&
            own.st_ino != theirs.st_ino)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    int fd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool joined = false;
    std::thread helper(
        [&]
        {
            joined = setns(fd, CLONE_NEWNET) == 0;
            if (joined)
                work();
        });
    helper.join();
    close(fd);
    return joined;
}

std::string ServerProcess::MessageOf(const std::string& line)
{
    // "[HH:MM:SS] " is 11 characters.
    if (line.size() >= 11 && line[0] == '[' && line[3] == ':' && line[6] == ':' && line[9] == ']' &&
        line[10] == ' ')
        return line.substr(11);
    return line;
}

std::string ServerProcess::StripAnsi(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[')
        {
            size_t j = i + 2;
            while (j < text.size() && !(text[j] >= 0x40 && text[j] <= 0x7e))
                ++j;
            i = j; // skips the final byte too
            continue;
        }
        out += text[i];
    }
    return out;
}
