#include "Network/HttpClient.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
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

std::mutex limitsMutex;
HttpLimits blockingLimits = HttpClient::kBlockingLimits;
HttpLimits backgroundLimits = HttpClient::kBackgroundLimits;

HttpLimits CurrentLimits(bool blocking)
{
    std::lock_guard lock(limitsMutex);
    return blocking ? blockingLimits : backgroundLimits;
}

// One transfer with everything libcurl reads from while it runs.
struct Transfer
{
    HttpRequest request;
    std::function<void(HttpResponse)> done;
    std::string service; // host and port it is counted against while it runs in the background
    std::unique_ptr<CURL, EasyDeleter> curl;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    size_t maxBodyBytes = 0;
    bool bodyTooLarge = false;
    HttpResponse response;
};

size_t AppendBody(char* data, size_t size, size_t count, void* target)
{
    auto* transfer = static_cast<Transfer*>(target);
    size_t length = size * count;
    if (length > transfer->maxBodyBytes - transfer->response.body.size())
    {
        // Returning short makes libcurl end the transfer with a write error.
        transfer->bodyTooLarge = true;
        return 0;
    }
    transfer->response.body.append(data, length);
    return length;
}

// Sets up `transfer.curl` for its request; false when libcurl has no handle to give.
bool Prepare(Transfer& transfer, const HttpLimits& limits)
{
    InitializeCurl();
    transfer.curl.reset(curl_easy_init());
    if (!transfer.curl)
    {
        transfer.response.error = "Failed to initialize the transfer";
        return false;
    }
    const HttpRequest& request = transfer.request;
    transfer.maxBodyBytes = limits.maxBodyBytes;

    CURL* handle = transfer.curl.get();
    curl_easy_setopt(handle, CURLOPT_PRIVATE, &transfer);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, transfer.errorBuffer);
    curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // Each transfer has its own connection, closed when it ends, as with a handle of its own.
    curl_easy_setopt(handle, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 50L);
    curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(handle, CURLOPT_USERAGENT, UserAgent().c_str());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);

    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connectTime.count()));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, static_cast<long>(limits.lowSpeedTime.count()));
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedBytes);
    // Refused early when the announced length alone is too much; the body callback counts the rest.
    curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.maxBodyBytes));
    if (request.timeLimit.count() > 0)
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeLimit.count()));

    SetMethodAndBody(handle, request);
    transfer.headers = BuildHeaders(request.headers);
    if (transfer.headers)
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, transfer.headers.get());
    return true;
}

// "host:port" of the URL as libcurl reads it, or empty when it has none (the transfer then fails as
// soon as it starts). Redirects are not followed here: a transfer counts against where it began.
std::string ServiceOf(const std::string& url)
{
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_GUESS_SCHEME) != CURLUE_OK)
        return {};
    char* host = nullptr;
    char* port = nullptr;
    std::string service;
    if (curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK)
        service = Lower(host) + ":" + port;
    curl_free(host);
    curl_free(port);
    return service;
}

void Finish(Transfer& transfer, CURLcode result)
{
    HttpResponse& response = transfer.response;
    if (result == CURLE_OK)
    {
        long status = 0;
        curl_easy_getinfo(transfer.curl.get(), CURLINFO_RESPONSE_CODE, &status);
        response.status = static_cast<int32_t>(status);
        return;
    }
    response.status = 0;
    if (!transfer.response.error.empty())
        return;
    if (transfer.bodyTooLarge || result == CURLE_FILESIZE_EXCEEDED)
    {
        response.body.clear();
        response.body.shrink_to_fit();
        response.error = "Response body is larger than " + std::to_string(transfer.maxBodyBytes) + " bytes";
    }
    else
    {
        response.error = transfer.errorBuffer[0] != '\0' ? transfer.errorBuffer : curl_easy_strerror(result);
    }
}

// The background transfers: one thread drives every running transfer through a libcurl multi handle,
// and keeps the others waiting, in order, until their service and the client have a free slot. A
// transfer is handed to libcurl only when it gets its slot, so its limits count from then on. The
// thread and its handle live until the process ends; once the process begins to exit, no completion
// handler is called any more, so none runs against objects that static destruction has torn down.
class TransferLoop
{
public:
    static TransferLoop& Instance()
    {
        static TransferLoop* loop = []
        {
            auto* created = new TransferLoop();
            std::atexit([] { Instance().exiting.store(true); });
            std::thread(&TransferLoop::Run, created).detach();
            return created;
        }();
        return *loop;
    }

    void Add(std::unique_ptr<Transfer> transfer)
    {
        {
            std::lock_guard lock(mutex);
            incoming.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi);
    }

private:
    // The transfers of one service: those in the multi handle and those waiting for a slot.
    struct Service
    {
        size_t running = 0;
        std::deque<std::pair<uint64_t, std::unique_ptr<Transfer>>> waiting; // by arrival number
    };

    TransferLoop()
    {
        InitializeCurl();
        multi = curl_multi_init();
    }

    void Run()
    {
        for (;;)
        {
            TakeIncoming();
            StartWaiting();
            int active = 0;
            curl_multi_perform(multi, &active);
            // Slots that came free go to waiting transfers before the loop sleeps.
            if (CollectEnded())
                continue;
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }

    void TakeIncoming()
    {
        std::vector<std::unique_ptr<Transfer>> added;
        {
            std::lock_guard lock(mutex);
            added.swap(incoming);
        }
        for (std::unique_ptr<Transfer>& transfer : added)
        {
            if (!transfer->curl)
            {
                Deliver(std::move(transfer), CURLE_FAILED_INIT);
                continue;
            }
            std::string key = transfer->service;
            services[key].waiting.emplace_back(arrivals++, std::move(transfer));
        }
    }

    // Starts the longest-waiting transfers whose service has a free slot, while the client has one.
    void StartWaiting()
    {
        while (running < HttpClient::kMaxTransfers)
        {
            auto next = services.end();
            for (auto each = services.begin(); each != services.end(); ++each)
            {
                const Service& service = each->second;
                if (service.waiting.empty() || service.running >= HttpClient::kMaxTransfersPerService)
                    continue;
                if (next == services.end() ||
                    service.waiting.front().first < next->second.waiting.front().first)
                    next = each;
            }
            if (next == services.end())
                return;
            std::unique_ptr<Transfer> transfer = std::move(next->second.waiting.front().second);
            next->second.waiting.pop_front();
            if (curl_multi_add_handle(multi, transfer->curl.get()) == CURLM_OK)
            {
                ++next->second.running;
                ++running;
                transfer.release(); // owned through the handle's private pointer until it ends
            }
            else
            {
                Forget(next);
                Deliver(std::move(transfer), CURLE_FAILED_INIT);
            }
        }
    }

    // Delivers the transfers that ended and frees their slots; true when any did.
    bool CollectEnded()
    {
        bool ended = false;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued))
        {
            if (message->msg != CURLMSG_DONE)
                continue;
            Transfer* raw = nullptr;
            curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &raw);
            CURLcode result = message->data.result;
            curl_multi_remove_handle(multi, message->easy_handle);
            std::unique_ptr<Transfer> transfer(raw);
            auto service = services.find(transfer->service);
            --service->second.running;
            --running;
            Forget(service);
            Deliver(std::move(transfer), result);
            ended = true;
        }
        return ended;
    }

    // Drops a service's entry once nothing of it runs or waits.
    void Forget(std::unordered_map<std::string, Service>::iterator service)
    {
        if (service->second.running == 0 && service->second.waiting.empty())
            services.erase(service);
    }

    void Deliver(std::unique_ptr<Transfer> transfer, CURLcode result)
    {
        Finish(*transfer, result);
        std::function<void(HttpResponse)> done = std::move(transfer->done);
        HttpResponse response = std::move(transfer->response);
        transfer.reset();
        if (exiting.load())
            return;
        try
        {
            done(std::move(response));
        }
        catch (const std::exception& exception)
        {
            spdlog::error("[HttpClient] Completion handler failed: {}", exception.what());
        }
        catch (...)
        {
            spdlog::error("[HttpClient] Completion handler failed.");
        }
    }

    CURLM* multi = nullptr;
    std::mutex mutex;
    std::vector<std::unique_ptr<Transfer>> incoming; // guarded by `mutex`
    std::atomic<bool> exiting{false};
    // The loop thread's own.
    std::unordered_map<std::string, Service> services;
    size_t running = 0;
    uint64_t arrivals = 0;
};
} // namespace

HttpResponse HttpClient::Perform(const HttpRequest& request)
{
    Transfer transfer;
    transfer.request = request;
    if (!Prepare(transfer, CurrentLimits(true)))
        return std::move(transfer.response);
    Finish(transfer, curl_easy_perform(transfer.curl.get()));
    return std::move(transfer.response);
}

void HttpClient::PerformAsync(HttpRequest request, std::function<void(HttpResponse)> done)
{
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->done = std::move(done);
    transfer->service = ServiceOf(transfer->request.url);
    // A transfer that could not be set up is still reported through the loop's thread.
    Prepare(*transfer, CurrentLimits(false));
    TransferLoop::Instance().Add(std::move(transfer));
}

HttpRequest HttpClient::FormRequest(const std::string& url, const HttpFields& fields)
{
    HttpRequest request;
    request.method = HttpMethod::Post;
    request.url = url;
    request.body = EncodeForm(fields);
    return request;
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

void HttpClient::SetLimitsForTesting(const HttpLimits& blocking, const HttpLimits& background)
{
    std::lock_guard lock(limitsMutex);
    blockingLimits = blocking;
    backgroundLimits = background;
}

void HttpClient::SetLimitsForTesting()
{
    SetLimitsForTesting(kBlockingLimits, kBackgroundLimits);
}
