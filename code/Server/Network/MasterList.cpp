#include "Network/MasterList.h"

#include <future>
#include <memory>

#include <spdlog/spdlog.h>

#include "Network/HttpClient.h"
#include "Server/Platform.h"
#include "Server/Settings.h"

namespace
{
constexpr int64_t kPostIntervalMs = 50000;
constexpr int32_t kFailureLimit = 3;

std::string& ServiceUrl()
{
    static std::string url = LNF_MASTERLIST_URL;
    return url;
}

// The announcement on its way; its answer is applied by the first Post after it has arrived.
std::future<HttpResponse> pendingPost;

// The reason shown for each refusal the service is known to give; anything else has none.
std::string RefusalReason(const std::string& body)
{
    if (body.empty())
        return "No data received";
    if (body == "ERROR: Banned")
        return "You are banned from listing this server";
    if (body == "ERROR: Invalid port")
        return "You have specified an invalid port";
    if (body == "ERROR: Invalid version")
        return "You have specified an invalid version";
    return {};
}
} // namespace

int32_t MasterList::failureCount = 1;
int64_t MasterList::lastPostMs = 0;
std::chrono::milliseconds MasterList::timeLimit = MasterList::kTimeLimit;

void MasterList::Post()
{
    if (pendingPost.valid())
    {
        if (pendingPost.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return;
        HttpResponse response;
        try
        {
            response = pendingPost.get();
        }
        catch (const std::exception& exception) // the client dropped the transfer unanswered
        {
            response.error = exception.what();
        }
        ApplyAnswer(response);
    }

    if (!Settings::GetBool("listed") || failureCount >= kFailureLimit)
        return;

    int64_t now = GetTimeMs();
    if (now - lastPostMs <= kPostIntervalMs)
        return;

    if (failureCount > 0)
        spdlog::info("[MasterList] Posting server to server list.");

    // A failed attempt restarts the interval too.
    lastPostMs = now;

    HttpRequest request =
        HttpClient::FormRequest(ServiceUrl(), {
                                                  {"address", Settings::GetString("hostaddress")},
                                                  {"port", std::to_string(Settings::GetInt("port"))},
                                                  {"version", "1"},
                                              });
    request.timeLimit = timeLimit;
    auto answer = std::make_shared<std::promise<HttpResponse>>();
    pendingPost = answer->get_future();
    HttpClient::PerformAsync(std::move(request),
                             [answer](HttpResponse response) { answer->set_value(std::move(response)); });
}

bool MasterList::IsPosting()
{
    return pendingPost.valid();
}

void MasterList::ApplyAnswer(const HttpResponse& response)
{
    if (response.status == 0)
    {
        spdlog::error("[MasterList] Fatal cURL error: {}.", response.error);
        ++failureCount;
    }
    else if (response.status >= 400)
    {
        spdlog::error("[MasterList] Failed to send post request to server list (error code: {}).",
                      response.status);
        ++failureCount;
    }
    else if (response.body == "Added")
    {
        if (failureCount > 0)
        {
            spdlog::info("[MasterList] Server posted to server list successfully!");
            failureCount = 0;
        }
    }
    else
    {
        spdlog::error("[MasterList] Failed to post server to server list ({}).",
                      RefusalReason(response.body));
        failureCount = kFailureLimit;
    }
}

void MasterList::SetUrlForTesting(const std::string& url)
{
    ServiceUrl() = url;
}

void MasterList::ResetForTesting()
{
    failureCount = 1;
    lastPostMs = 0;
    timeLimit = kTimeLimit;
    pendingPost = {};
}
