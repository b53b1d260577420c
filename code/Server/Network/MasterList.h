#pragma once

#include <chrono>
#include <cstdint>
#include <string>

struct HttpResponse;

// Announces the server to the public server list about every 50 seconds while `listed` is set, until
// the service refuses the server or transfers keep failing. Main thread only.
class MasterList
{
public:
    // Called at the end of every pass. Applies the answer to the announcement in flight once it has
    // arrived, and starts an announcement in the background when one is due and none is in flight.
    static void Post();
    // True from the start of an announcement until a Post has applied its answer.
    static bool IsPosting();

    // Failed attempts since the last accepted one; starts at 1 so the first attempt is logged.
    // Three or more stop announcing for the life of the process.
    static int32_t failureCount;
    // GetTimeMs() at the start of the last attempt.
    static int64_t lastPostMs;
    // An announcement that has not ended within this time (connection included) has failed.
    static constexpr std::chrono::milliseconds kTimeLimit{5000};
    static std::chrono::milliseconds timeLimit;

    // Tests point the announcer at a local stand-in service and start over.
    static void SetUrlForTesting(const std::string& url);
    static void ResetForTesting();

private:
    static void ApplyAnswer(const HttpResponse& response);
};
