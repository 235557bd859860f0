// kvdmc-test: peers
// Live discovery of real peers over the built-in HTTP transport. Runs whole inside a sandbox:
//   scripts/sandbox wrap -- build/test_live_discovery
// and skips anywhere else, before it sends anything.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "kvdmc.h"

TEST(LiveDiscovery, FindsTheServerAndTheRenderer) {
    const char *ifaddr = getenv("CLIENT_IF_ADDR");
    const char *server = getenv("SERVER_UDN");
    const char *renderer = getenv("RENDERER_UDN");
    if (!ifaddr || !server || !renderer) GTEST_SKIP() << "needs the peer sandbox (scripts/sandbox wrap)";
    ASSERT_EQ(kvdmc_config("ssdp_if", ifaddr), 0);
    if (kvdmc_use_curl() != 0) GTEST_SKIP() << "built without libcurl";
    // gmediarender answers up to about a second late: three seconds leave room.
    int n = kvdmc_discover(3, 3000);
    ASSERT_GE(n, 2) << kvdmc_last_error();
    EXPECT_GE(kvdmc_find_device(server), 0);
    EXPECT_GE(kvdmc_find_device(renderer), 0);
}
