#pragma once

#include <cstdio>
#include <cstdlib>

#include <spdlog/spdlog.h>

// Failed reads log a warning each; formatting and printing them would dominate the run.
inline void SilenceLogging()
{
    spdlog::set_level(spdlog::level::off);
}

// A broken round-trip property is a finding: abort so that libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                                                \
    do                                                                                                       \
    {                                                                                                        \
        if (!(condition))                                                                                    \
        {                                                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)
