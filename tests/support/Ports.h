#pragma once

#include <cstdint>

// Returns a port in 20000-60000 that is free right now for both TCP and UDP, on 127.0.0.1 and on
// 0.0.0.0 (and on [::] where IPv6 exists). The choice is random, and each returned port is also
// reserved for a few minutes through a marker file under the temporary folder, so test processes
// running in parallel (ctest -j) practically never pick the same port. A port is never returned
// twice by one process. Throws std::runtime_error when no port can be found (should not happen).
//
// The port is only probed and released, not held: hand it to the server promptly.
uint16_t FreePort();
