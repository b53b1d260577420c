#pragma once

#include <cstdint>

// A random port in 20000-60000 that is free for TCP and UDP right now. It is never handed out twice
// by one process, and a marker file under the temporary folder keeps other test processes off it for
// five minutes. The port is only probed, not held: hand it to the server promptly.
uint16_t FreePort();
