#pragma once

#include <cstdint>
#include <string>

// Announces the server to the public server list about every 50 seconds while `listed` is set, until
// the service refuses the server or transfers keep failing. Main thread only.
class MasterList
{
public:
    // Called at the end of every pass; sends a blocking announcement when one is due.
    static void Post();

    // Failed attempts since the last accepted one; starts at 1 so the first attempt is logged.
    // Three or more stop announcing for the life of the process.
    static int32_t failureCount;
    // GetTimeMs() at the start of the last attempt.
    static int64_t lastPostMs;

    // Tests point the announcer at a local stand-in service and start over.
    static void SetUrlForTesting(const std::string& url);
    static void ResetForTesting();
};
