/* The ENet library (its IPv6 form, a single header) compiled once for the server, the test
 * client, the benchmarks and the fuzz targets. Everything else includes <enet.h> for the
 * declarations only. */
#define ENET_IMPLEMENTATION
#include <enet.h>
