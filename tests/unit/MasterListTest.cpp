// The server-list announcer against a local stand-in service, with the clock under the test's control.

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
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

constexpr const char* kPosting = "[MasterList] Posting server to server list.";
constexpr const char* kPosted = "[MasterList] Server posted to server list successfully!";

struct Answer
{
    int status;
    std::string body;
};

// Stands in for the server-list service: answers each post with the next queued answer ("Added"
// when none is queued) and keeps the bodies it received.
class StubService
{
public:
    StubService()
    {
        server.Post("/masterlist/add.php",
                    [this](const httplib::Request& request, httplib::Response& response)
                    {
                        std::lock_guard lock(mutex);
                        bodies.push_back(request.body);
                        Answer answer = answers.empty() ? Answer{200, "Added"} : answers.front();
                        if (!answers.empty())
                            answers.pop_front();
                        response.status = answer.status;
                        response.set_content(answer.body, "text/plain");
                    });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~StubService()
    {
        server.stop();
        thread.join();
    }

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port) + "/masterlist/add.php"; }
    void Queue(std::vector<Answer> queued)
    {
        std::lock_guard lock(mutex);
        answers.insert(answers.end(), queued.begin(), queued.end());
    }
    size_t Posts()
    {
        std::lock_guard lock(mutex);
        return bodies.size();
    }
    std::vector<std::string> Bodies()
    {
        std::lock_guard lock(mutex);
        return bodies;
    }

private:
    httplib::Server server;
    int port = 0;
    std::thread thread;
    std::mutex mutex;
    std::deque<Answer> answers;
    std::vector<std::string> bodies;
};

class MasterListTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Settings::ResetForTesting();
        Settings::SetDefaults(false);
        Settings::SetFromString("listed", "true");
        Settings::SetFromString("hostaddress", "127.0.0.1");
        Settings::SetFromString("port", "7777");
        SetTimeSourceForTesting([this] { return now.load(); });
        MasterList::ResetForTesting();
        MasterList::SetUrlForTesting(service.Url());
    }

    void TearDown() override
    {
        SetTimeSourceForTesting({});
        MasterList::ResetForTesting();
        MasterList::SetUrlForTesting(LNF_MASTERLIST_URL);
        Settings::ResetForTesting();
    }

    // Moves the clock to `ms` and runs one pass of the announcer.
    void PostAt(int64_t ms)
    {
        now.store(ms);
        MasterList::Post();
    }

    void PointAtClosedPort()
    {
        MasterList::SetUrlForTesting("http://127.0.0.1:" + std::to_string(FreePort()) +
                                     "/masterlist/add.php");
    }

    std::atomic<int64_t> now{0};
    StubService service;
    LogCapture log;
};

TEST_F(MasterListTest, EachAnswerOfTheService)
{
    auto refused = [](const std::string& reason)
    { return "[MasterList] Failed to post server to server list (" + reason + ")."; };
    auto failed = [](int code)
    {
        return "[MasterList] Failed to send post request to server list (error code: " +
               std::to_string(code) + ").";
    };
    const struct
    {
        Answer answer;
        std::string outcome; // logged after kPosting
        bool keepsAnnouncing;
    } cases[] = {
        {{200, "Added"}, kPosted, true},
        {{201, "Added"}, kPosted, true},
        {{200, ""}, refused("No data received"), false},
        {{204, ""}, refused("No data received"), false},
        {{200, "ERROR: Banned"}, refused("You are banned from listing this server"), false},
        {{200, "ERROR: Invalid port"}, refused("You have specified an invalid port"), false},
        {{200, "ERROR: Invalid version"}, refused("You have specified an invalid version"), false},
        {{200, "Added\n"}, refused(""), false},
        {{200, " Added"}, refused(""), false},
        {{200, "ERROR: banned"}, refused(""), false},
        {{400, "Added"}, failed(400), true},
        {{503, "ERROR: Banned"}, failed(503), true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(std::to_string(c.answer.status) + " \"" + c.answer.body + "\"");
        MasterList::ResetForTesting();
        log.Clear();
        size_t before = service.Posts();
        service.Queue({c.answer});

        PostAt(60000);
        EXPECT_EQ(service.Posts(), before + 1);
        EXPECT_EQ(log.Messages(), (std::vector<std::string>{kPosting, c.outcome}));

        // A refusal ends announcing for good; anything else tries again after the interval.
        if (c.keepsAnnouncing)
            service.Queue({{500, ""}});
        PostAt(60000 + 50001);
        EXPECT_EQ(service.Posts(), before + (c.keepsAnnouncing ? 2 : 1));
        if (!c.keepsAnnouncing)
        {
            PostAt(60000 + 500000);
            EXPECT_EQ(service.Posts(), before + 1);
        }
    }

    // The levels: progress at info, every failure at error.
    for (const auto& entry : log.Entries())
    {
        bool progress = entry.message == kPosting || entry.message == kPosted;
        EXPECT_EQ(entry.level, progress ? spdlog::level::info : spdlog::level::err) << entry.message;
    }
}

TEST_F(MasterListTest, TwoFailedTransfersFromTheStartEndIt)
{
    PointAtClosedPort();
    PostAt(50001);
    PostAt(100002);
    PostAt(150003);
    PostAt(500000);

    std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(messages.size(), 4u) << testing::PrintToString(messages);
    for (size_t i : {0, 2})
    {
        EXPECT_EQ(messages[i], kPosting);
        EXPECT_EQ(messages[i + 1].rfind("[MasterList] Fatal cURL error: ", 0), 0u) << messages[i + 1];
        EXPECT_GT(messages[i + 1].size(), std::string("[MasterList] Fatal cURL error: .").size());
        EXPECT_EQ(messages[i + 1].back(), '.');
    }
    EXPECT_EQ(MasterList::failureCount, 3);
}

TEST_F(MasterListTest, AfterAnAcceptanceThreeFailuresEndIt)
{
    int64_t t = 50001;
    auto next = [&] { return t += 50001; };

    PostAt(t);      // accepted, logged
    PostAt(next()); // accepted, silent
    EXPECT_EQ(log.Messages(), (std::vector<std::string>{kPosting, kPosted}));
    EXPECT_EQ(MasterList::failureCount, 0);

    // A failure followed by an acceptance starts the count over.
    service.Queue({{500, ""}, {200, "Added"}});
    PostAt(next());
    PostAt(next());
    EXPECT_EQ(MasterList::failureCount, 0);

    log.Clear();
    service.Queue({{500, ""}, {404, "x"}});
    PostAt(next()); // silent: the count was 0
    PointAtClosedPort();
    PostAt(next());
    MasterList::SetUrlForTesting(service.Url());
    PostAt(next());
    size_t posts = service.Posts();
    PostAt(next());
    PostAt(next());
    EXPECT_EQ(service.Posts(), posts);

    std::vector<std::string> messages = log.Messages();
    ASSERT_EQ(messages.size(), 5u) << testing::PrintToString(messages);
    EXPECT_EQ(messages[2].rfind("[MasterList] Fatal cURL error: ", 0), 0u);
    messages[2] = "cURL";
    EXPECT_EQ(messages, (std::vector<std::string>{
                            "[MasterList] Failed to send post request to server list (error code: 500).",
                            kPosting, "cURL", kPosting,
                            "[MasterList] Failed to send post request to server list (error code: 404)."}));
}

TEST_F(MasterListTest, AttemptsNeedMoreThanFiftySecondsBetweenThem)
{
    PostAt(50000); // the first attempt, too, must be more than 50000 ms after 0
    EXPECT_EQ(service.Posts(), 0u);
    PostAt(50001);
    EXPECT_EQ(service.Posts(), 1u);
    PostAt(50001);
    Settings::SetFromString("port", "8123"); // read anew on every attempt
    PostAt(100001);
    EXPECT_EQ(service.Posts(), 1u);
    PostAt(100002);
    EXPECT_EQ(service.Bodies(), (std::vector<std::string>{"address=127.0.0.1&port=7777&version=1",
                                                          "address=127.0.0.1&port=8123&version=1"}));
    EXPECT_EQ(MasterList::lastPostMs, 100002);

    // A failed attempt restarts the interval just the same.
    service.Queue({{500, ""}});
    PostAt(150003);
    EXPECT_EQ(MasterList::lastPostMs, 150003);
    PostAt(200003);
    EXPECT_EQ(service.Posts(), 3u);
    PostAt(200004);
    EXPECT_EQ(service.Posts(), 4u);
}

TEST_F(MasterListTest, UnlistedServerNeverPosts)
{
    Settings::SetFromString("listed", "false");
    for (int64_t t : {50001, 100002, 1000000, 5000000})
        PostAt(t);
    EXPECT_EQ(service.Posts(), 0u);
    EXPECT_TRUE(log.Messages().empty());
    EXPECT_EQ(MasterList::failureCount, 1);
    EXPECT_EQ(MasterList::lastPostMs, 0);
}

} // namespace
