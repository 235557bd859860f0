// The exported frame as a host sees it, through the public header only.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "kvdmc.h"

extern "C" int kvdmc_c99_version_ok(void);

TEST(Frame, VersionAndFreshReportingState) {
    // Runs on a thread of its own so the per-thread reporting state is fresh.
    std::thread([] {
        EXPECT_STREQ(kvdmc_version(), "1.0.0");
        EXPECT_STREQ(kvdmc_last_json(), "");
        EXPECT_EQ(kvdmc_last_code(), 0);
        EXPECT_STREQ(kvdmc_last_error(), "");
    }).join();
    EXPECT_EQ(kvdmc_c99_version_ok(), 1);
}

TEST(Frame, ReportingIsPerThread) {
    ASSERT_EQ(kvdmc_parse_ssdp(nullptr), KVDMC_E_ARG);
    std::string other_err;
    std::thread([&] {
        kvdmc_parse_ssdp("NOTIFY * HTTP/1.1\r\nNT: t\r\nNTS: ssdp:byebye\r\n\r\n");
        other_err = kvdmc_last_error();
    }).join();
    EXPECT_EQ(other_err, "");
    EXPECT_STREQ(kvdmc_last_error(), "parse_ssdp: null packet");
}
