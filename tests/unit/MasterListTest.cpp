// The server-list announcer against a local stand-in service, with the clock under the test's control.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "LogCapture.h"
#include "Network/MasterList.h"
#include "Ports.h"
#include "Server/Platform.h"
#include "Server/Settings.h"

namespace
{

using namespace std::string_literals;

constexpr const char* kPosting = "[MasterList] Posting server to server list.";
constexpr const char* kPosted = "[MasterList] Server posted to server list successfully!";
constexpr const char* kFatal = "[MasterList] Fatal cURL error: ";
constexpr const char* kRefused = "[MasterList] Failed to post server to server list (";
constexpr const char* kSendFailed = "[MasterList] Failed to send post request to server list (error code: ";

using Answer = std::pair<int, std::string>; // status, body
constexpr int kHold = -1;                   // a status that holds the answer until the test ends

// The stand-in service answers with the queued answers, then "Added", and keeps the bodies it received.
class MasterListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        service.Post("/add.php",
                     [this](const httplib::Request& request, httplib::Response& response)
                     {
                         std::unique_lock lock(mutex);
                         bodies.push_back(request.body);
                         auto [status, body] = answers.empty() ? Answer{200, "Added"} : answers.front();
                         if (!answers.empty())
                             answers.pop_front();
                         if (status == kHold)
                             released.wait_for(lock, std::chrono::seconds(10), [this] { return release; });
                         response.status = status;
                         response.set_content(body, "text/plain");
                     });
        serviceUrl = "http://127.0.0.1:" + std::to_string(service.bind_to_any_port("127.0.0.1")) + "/add.php";
        serviceThread = std::thread([this] { service.listen_after_bind(); });
        while (!service.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        Settings::SetFromString("listed", "true");
        SetTimeSourceForTesting([this] { return now.load(); });
        MasterList::ResetForTesting();
        MasterList::SetUrlForTesting(serviceUrl);
    }

    void TearDown() override
    {
        {
            std::lock_guard lock(mutex);
            release = true;
        }
        released.notify_all();
        service.stop();
        serviceThread.join();
        SetTimeSourceForTesting({});
        MasterList::ResetForTesting();
        MasterList::SetUrlForTesting(LNF_MASTERLIST_URL);
        Settings::ResetForTesting();
    }

    // Queues answers for the next posts; returns the bodies posted so far.
    std::vector<std::string> Service(std::vector<Answer> queued = {})
    {
        std::lock_guard lock(mutex);
        answers.insert(answers.end(), queued.begin(), queued.end());
        return bodies;
    }

    // One pass at `ms`, then further passes at the same time until the answer has been applied.
    void PostAt(int64_t ms)
    {
        now.store(ms);
        MasterList::Post();
        for (int i = 0; i < 10000 && MasterList::IsPosting(); ++i)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            MasterList::Post();
        }
    }

    // The log with the varying text of transfer errors cut to kFatal.
    std::vector<std::string> Messages()
    {
        std::vector<std::string> messages = log.Messages();
        for (std::string& message : messages)
            message = message.rfind(kFatal, 0) == 0 ? kFatal : message;
        return messages;
    }

    const std::string closedUrl = "http://127.0.0.1:" + std::to_string(FreePort()) + "/add.php";
    httplib::Server service;
    std::string serviceUrl;
    std::thread serviceThread;
    std::mutex mutex;
    std::deque<Answer> answers;
    std::vector<std::string> bodies;
    std::condition_variable released;
    bool release = false;
    std::atomic<int64_t> now{0};
    LogCapture log;
};

TEST_F(MasterListTest, EachAnswerOfTheService)
{
    const std::pair<Answer, std::string> cases[] = {
        {{201, "Added"}, kPosted},
        {{200, ""}, kRefused + "No data received)."s},
        {{200, "ERROR: Banned"}, kRefused + "You are banned from listing this server)."s},
        {{200, "ERROR: Invalid version"}, kRefused + "You have specified an invalid version)."s},
        {{200, "Added\n"}, kRefused + ")."s},
        {{503, "ERROR: Banned"}, kSendFailed + "503)."s},
    };
    for (const auto& [answer, outcome] : cases)
    {
        MasterList::ResetForTesting();
        log.Clear();
        size_t before = Service({answer}).size();
        PostAt(60000);
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{kPosting, outcome}));
        EXPECT_EQ(log.Entries()[1].level, outcome == kPosted ? spdlog::level::info : spdlog::level::err);
        // A refusal ends announcing for good; anything else tries again after the interval.
        PostAt(60000 + 500000);
        EXPECT_EQ(Service().size(), before + (outcome.rfind(kRefused, 0) == 0 ? 1 : 2)) << outcome;
    }
}

TEST_F(MasterListTest, TwoFailuresFromTheStartOrThreeAfterAnAcceptanceEndIt)
{
    auto next = [this] { return now + 50001; };
    Service({{500, ""}, {500, ""}});
    for (int i = 0; i < 3; ++i)
        PostAt(next());
    EXPECT_EQ(log.Messages(),
              (std::vector<std::string>{kPosting, kSendFailed + "500)."s, kPosting, kSendFailed + "500)."s}));
    MasterList::ResetForTesting();
    log.Clear();
    // Accepted (logged), accepted (silent), failed then accepted: the count starts over. Then three failures.
    Service({{200, "Added"}, {200, "Added"}, {500, ""}, {200, "Added"}, {500, ""}, {404, "x"}});
    for (int i = 0; i < 5; ++i)
        PostAt(next());
    MasterList::SetUrlForTesting(closedUrl);
    PostAt(next());
    MasterList::SetUrlForTesting(serviceUrl);
    PostAt(next());
    PostAt(next()); // would log kPosting, as every attempt after a failure does
    EXPECT_EQ(Messages(), (std::vector<std::string>{kPosting, kPosted, kSendFailed + "500)."s, kPosting,
                                                    kPosted, kSendFailed + "500)."s, kPosting, kFatal,
                                                    kPosting, kSendFailed + "404)."s}));
}

// A service that holds its answer costs the pass nothing; past the time limit the attempt is a failed
// transfer, and no second attempt starts while one is in flight.
TEST_F(MasterListTest, AnnouncementsRunInTheBackgroundWithinATimeLimit)
{
    MasterList::timeLimit = std::chrono::milliseconds(1000);
    Service({{kHold, ""}});
    auto begin = std::chrono::steady_clock::now();
    PostAt(60000);
    EXPECT_EQ(Messages(), (std::vector<std::string>{kPosting, kFatal}));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1000));
    EXPECT_EQ(MasterList::failureCount, 2);

    // Only the first pass sends; the next ones, due or not, wait for the answer.
    log.Clear();
    Service({{kHold, ""}});
    now.store(120000);
    begin = std::chrono::steady_clock::now();
    MasterList::Post();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500));
    now.store(240000);
    MasterList::Post();
    EXPECT_TRUE(MasterList::IsPosting());
    PostAt(240000); // the answer ends announcing: the second failure from the start
    EXPECT_EQ(Service().size(), 2u);
    EXPECT_EQ(Messages(), (std::vector<std::string>{kPosting, kFatal}));
}

TEST_F(MasterListTest, OnlyListedServersPostAndOnlyAfterMoreThanFiftySeconds)
{
    Settings::SetFromString("listed", "false");
    PostAt(5000000);
    Settings::SetFromString("listed", "true");
    PostAt(50000); // the first attempt, too, must be more than 50000 ms after 0
    EXPECT_EQ(Service().size(), 0u);
    PostAt(50001);
    Settings::SetFromString("port", "8123"); // read anew on every attempt
    PostAt(100001);
    PostAt(100002);
    EXPECT_EQ(Service(), (std::vector<std::string>{"address=127.0.0.1&port=9999&version=1",
                                                   "address=127.0.0.1&port=8123&version=1"}));
}

} // namespace
