#include "Network/HttpClient.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_set>

#include <curl/curl.h>
#include <spdlog/spdlog.h>

namespace
{
void InitializeCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

const std::string& UserAgent()
{
    static const std::string agent = std::string("curl/") + curl_version_info(CURLVERSION_NOW)->version;
    return agent;
}

size_t AppendBody(char* data, size_t size, size_t count, void* target)
{
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

std::string Lower(const std::string& text)
{
    std::string lower = text;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// A line break in a header would let a caller smuggle in further headers or a second request.
bool IsSafeHeader(const std::string& key, const std::string& value)
{
    if (key.empty() || key.find_first_of(":\r\n") != std::string::npos)
        return false;
    return value.find_first_of("\r\n") == std::string::npos;
}

struct SlistDeleter
{
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

struct EasyDeleter
{
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

// The background pool: threads are created when every existing one is busy, up to a limit, and then
// kept. It is never destroyed; once the process begins to exit, queued tasks are no longer started,
// so no task runs against objects that static destruction has already torn down.
class ThreadPool
{
public:
    static ThreadPool& Instance()
    {
        static ThreadPool* pool = []
        {
            auto* created = new ThreadPool();
            std::atexit([] { Instance().exiting.store(true); });
            return created;
        }();
        return *pool;
    }

    void Submit(std::function<void()> task)
    {
        std::lock_guard lock(mutex);
        tasks.push_back(std::move(task));
        if (tasks.size() > idleThreads && threadCount < kMaxThreads)
        {
            ++threadCount;
            std::thread(&ThreadPool::Worker, this).detach();
        }
        ready.notify_one();
    }

private:
    static constexpr size_t kMaxThreads = 16;

    void Worker()
    {
        std::unique_lock lock(mutex);
        for (;;)
        {
            ++idleThreads;
            ready.wait(lock, [this] { return !tasks.empty(); });
            --idleThreads;
            std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            if (exiting.load())
                continue;
            lock.unlock();
            try
            {
                task();
            }
            catch (const std::exception& exception)
            {
                spdlog::error("[HttpClient] Background task failed: {}", exception.what());
            }
            catch (...)
            {
                spdlog::error("[HttpClient] Background task failed.");
            }
            task = nullptr;
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::function<void()>> tasks;
    size_t idleThreads = 0;
    size_t threadCount = 0;
    std::atomic<bool> exiting{false};
};

void SetMethodAndBody(CURL* curl, const HttpRequest& request)
{
    // HEAD never carries a body; POST, PUT and PATCH always do, if only an empty one.
    bool sendsBody = request.method != HttpMethod::Head &&
                     (!request.body.empty() || request.method == HttpMethod::Post ||
                      request.method == HttpMethod::Put || request.method == HttpMethod::Patch);
    if (sendsBody)
    {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
    }

    const char* customMethod = nullptr;
    switch (request.method)
    {
    case HttpMethod::Get:
        if (sendsBody)
            customMethod = "GET";
        else
            curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        break;
    case HttpMethod::Post:
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        break;
    case HttpMethod::Head:
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        break;
    case HttpMethod::Put:
        customMethod = "PUT";
        break;
    case HttpMethod::Delete:
        customMethod = "DELETE";
        break;
    case HttpMethod::Patch:
        customMethod = "PATCH";
        break;
    case HttpMethod::Options:
        customMethod = "OPTIONS";
        break;
    }
    if (customMethod != nullptr)
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, customMethod);
}

std::unique_ptr<curl_slist, SlistDeleter> BuildHeaders(const HttpFields& headers)
{
    curl_slist* list = nullptr;
    std::unordered_set<std::string> seen;
    for (const auto& [key, value] : headers)
    {
        if (!IsSafeHeader(key, value) || !seen.insert(Lower(key)).second)
            continue;
        // "key;" is how libcurl is told to send a header with an empty value.
        std::string line = value.empty() ? key + ";" : key + ": " + value;
        curl_slist* extended = curl_slist_append(list, line.c_str());
        if (extended == nullptr)
            break;
        list = extended;
    }
    return std::unique_ptr<curl_slist, SlistDeleter>(list);
}
} // namespace

HttpResponse HttpClient::Perform(const HttpRequest& request)
{
    InitializeCurl();
    HttpResponse response;

    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    if (!curl)
    {
        response.error = "Failed to initialize the transfer";
        return response;
    }

    char errorBuffer[CURL_ERROR_SIZE] = {};
    CURL* handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 50L);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &response.body);
    SetMethodAndBody(handle, request);
    auto headers = BuildHeaders(request.headers);
    if (headers)
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());

    CURLcode result = curl_easy_perform(handle);
    if (result != CURLE_OK)
    {
        response.error = errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result);
        return response;
    }
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int32_t>(status);
    return response;
}

HttpResponse HttpClient::PostForm(const std::string& url, const HttpFields& fields)
{
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = url;
    request.body = EncodeForm(fields);
    return Perform(request);
}

std::string HttpClient::EncodeForm(const HttpFields& fields)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    auto append = [](std::string& out, const std::string& text)
    {
        for (unsigned char c : text)
        {
            bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
            if (unreserved || c == '-' || c == '.' || c == '_' || c == '~')
            {
                out += static_cast<char>(c);
            }
            else
            {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 0x0F];
            }
        }
    };

    std::string encoded;
    for (const auto& [key, value] : fields)
    {
        if (!encoded.empty())
            encoded += '&';
        append(encoded, key);
        encoded += '=';
        append(encoded, value);
    }
    return encoded;
}

void HttpClient::Submit(std::function<void()> task)
{
    ThreadPool::Instance().Submit(std::move(task));
}
