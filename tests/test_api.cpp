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

TEST(Frame, ParseSsdpReplyToJson) {
    const char *pkt = "HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age = 120\r\nST: urn:x\r\n"
                      "USN: uuid:AB::urn:x\r\nLOCATION: http://10.0.0.1:80/d.xml\r\n\r\n";
    ASSERT_EQ(kvdmc_parse_ssdp(pkt), 0);
    EXPECT_STREQ(kvdmc_last_json(), "{\"packet_kind\":1,\"st\":\"urn:x\",\"usn\":\"uuid:AB::urn:x\","
                                    "\"location\":\"http://10.0.0.1:80/d.xml\",\"max_age\":120}");
    EXPECT_EQ(kvdmc_last_code(), 0);
}

TEST(Frame, ParseSsdpByebyeAndEscaping) {
    ASSERT_EQ(kvdmc_parse_ssdp("NOTIFY * HTTP/1.1\r\nNT: a\"b\\c\r\nNTS: ssdp:byebye\r\nUSN: u\r\n\r\n"), 0);
    EXPECT_STREQ(kvdmc_last_json(),
                 "{\"packet_kind\":3,\"st\":\"a\\\"b\\\\c\",\"usn\":\"u\",\"location\":\"\",\"max_age\":0}");
}

TEST(Frame, ParseSsdpFailuresKeepJson) {
    ASSERT_EQ(kvdmc_parse_ssdp("NOTIFY * HTTP/1.1\r\nNT: keep\r\nNTS: ssdp:byebye\r\n\r\n"), 0);
    std::string before = kvdmc_last_json();

    EXPECT_EQ(kvdmc_parse_ssdp(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "parse_ssdp: null packet");

    EXPECT_EQ(kvdmc_parse_ssdp("M-SEARCH * HTTP/1.1\r\nST: ssdp:all\r\n\r\n"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "parse_ssdp: not an SSDP reply or alive NOTIFY (kind 0)");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_ARG);

    EXPECT_EQ(kvdmc_parse_ssdp("short"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "parse_ssdp: not an SSDP reply or alive NOTIFY (kind 0)");

    EXPECT_EQ(kvdmc_parse_ssdp("HTTP/1.1 200 OK\r\nST: x\r\nUSN: y\r\n\r\n"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "parse_ssdp: not an SSDP reply or alive NOTIFY (kind -1)");

    // A 404 that carries " 200 " elsewhere is still not a search reply.
    EXPECT_EQ(
        kvdmc_parse_ssdp("HTTP/1.1 404 Not Found\r\nX: a 200 b\r\nST: x\r\nUSN: y\r\nLOCATION: z\r\n\r\n"),
        -1);
    EXPECT_STREQ(kvdmc_last_error(), "parse_ssdp: not an SSDP reply or alive NOTIFY (kind 0)");
    EXPECT_EQ(before, kvdmc_last_json());
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

TEST(Config, KeysValidationAndClamping) {
    EXPECT_EQ(kvdmc_config("ssdp_disable", "1"), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "unknown config key");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("SSDP_PORT", "1900"), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config(nullptr, "1"), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("ssdp_port", "12a"), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp_port must be an integer");
    EXPECT_EQ(kvdmc_config("ssdp_port", ""), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("ssdp_port", " -"), KVDMC_E_CONFIG);
    EXPECT_EQ(kvdmc_config("ssdp_port", "70000"), 0);
    EXPECT_EQ(kvdmc_config("ssdp_group", "239.255.255.250 "), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp_group must be an IPv4 literal");
    EXPECT_EQ(kvdmc_config("ssdp_if", ""), KVDMC_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp_if must be an IPv4 literal");
    EXPECT_EQ(kvdmc_config("ssdp_if", "127.0.0.1"), 0);
    EXPECT_EQ(kvdmc_config("ssdp_if", nullptr), 0);
    EXPECT_EQ(kvdmc_config("ssdp_ttl", nullptr), 0);
}
