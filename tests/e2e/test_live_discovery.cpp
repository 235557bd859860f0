// kvdmc-test: peers
// Live discovery of real peers over the built-in HTTP transport. Runs whole inside a sandbox:
//   scripts/sandbox wrap -- build/test_live_discovery
// and skips anywhere else, before it sends anything.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <rapidjson/document.h>

#include <string>

#include "kvdmc.h"

namespace {
// Every service of a discovered device must carry an absolute control URL on the peer's address.
void expect_device(const char *udn, int kind, const char *addr, const char *needed_service) {
    int row = kvdmc_find_device(udn);
    ASSERT_GE(row, 0) << udn;
    rapidjson::Document d;
    d.Parse(kvdmc_device_json(row));
    ASSERT_FALSE(d.HasParseError()) << kvdmc_device_json(row);
    EXPECT_EQ(d["kind"].GetInt(), kind);
    ASSERT_TRUE(d.HasMember("services") && d["services"].IsArray()) << kvdmc_device_json(row);
    bool found = false;
    std::string prefix = std::string("http://") + addr + ":";
    for (const auto &s : d["services"].GetArray()) {
        std::string control = s["control"].GetString();
        EXPECT_EQ(control.rfind(prefix, 0), 0u) << control;
        if (std::string(s["type"].GetString()).find(needed_service) != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << needed_service << " in " << kvdmc_device_json(row);
}
} // namespace

TEST(LiveDiscovery, FindsTheServerAndTheRenderer) {
    const char *ifaddr = getenv("CLIENT_IF_ADDR");
    const char *server = getenv("SERVER_UDN");
    const char *renderer = getenv("RENDERER_UDN");
    if (!ifaddr || !server || !renderer) GTEST_SKIP() << "needs the peer sandbox (scripts/sandbox wrap)";
    ASSERT_EQ(kvdmc_config("ssdp_if", ifaddr), 0);
    if (kvdmc_use_curl() != 0) GTEST_SKIP() << "built without libcurl";
    // gmediarender answers up to about a second late: three seconds leave room.
    int n = kvdmc_discover(3, 3000);
    ASSERT_EQ(n, 2) << kvdmc_last_error();
    expect_device(server, 1, getenv("SERVER_ADDR"), "ContentDirectory:1");
    expect_device(renderer, 2, getenv("RENDERER_ADDR"), "AVTransport:1");
}
