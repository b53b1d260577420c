#pragma once

#include <cstdint>

// A random port in 20000-60000 that is free for TCP and UDP right now. A marker file under the
// temporary folder keeps every test process, this one included, off it for five minutes. The port is
// only probed, not held: hand it to the server promptly.
uint16_t FreePort();
