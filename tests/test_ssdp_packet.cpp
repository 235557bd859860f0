// SSDP packets: classifying a datagram, reading its headers, and the exported parse of one.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "kvdmc.h"
#include "parse/ssdp_packet.h"

namespace {
int parse(const std::string &s, ssdp_reply *r) {
    return ssdp_parse_packet(s.c_str(), s.size(), r);
}
const char *REPLY =
    "HTTP/1.1 200 OK\r\n"
    "CACHE-CONTROL: max-age=900\r\n"
    "st: urn:schemas-upnp-org:device:MediaServer:1\r\n"
    "Usn: uuid:4d696e69-444c-164e-9d41-b827eb96c6c2::urn:schemas-upnp-org:device:MediaServer:1\r\n"
    "LOCATION:   http://10.0.0.2:8200/rootDesc.xml \r\n"
    "SERVER: Debian/12 DLNADOC/1.50 UPnP/1.0 MiniDLNA/1.3.0\r\n\r\n";
} // namespace

TEST(SsdpParse, ReplyHeadersAnyCaseAndTrimmed) {
    ssdp_reply r;
    ASSERT_EQ(parse(REPLY, &r), SSDP_REPLY);
    EXPECT_STREQ(r.st, "urn:schemas-upnp-org:device:MediaServer:1");
    EXPECT_STREQ(r.usn,
                 "uuid:4d696e69-444c-164e-9d41-b827eb96c6c2::urn:schemas-upnp-org:device:MediaServer:1");
    EXPECT_STREQ(r.location, "http://10.0.0.2:8200/rootDesc.xml");
    EXPECT_EQ(r.max_age_s, 900);
}

TEST(SsdpParse, StatusLineMustSay200) {
    ssdp_reply r;
    std::string not_found = std::string(REPLY).replace(9, 6, "404 OK");
    EXPECT_EQ(parse(not_found, &r), SSDP_IGNORE);
    // " 200 " in a header must not turn a 404 into a search reply.
    EXPECT_EQ(
        parse("HTTP/1.1 404 Not Found\r\nX-Note: got 200 of them\r\nST: a\r\nUSN: b\r\nLOCATION: c\r\n\r\n",
              &r),
        SSDP_IGNORE);
    EXPECT_EQ(parse("HTTP/1.1 2000 OK\r\nST: a\r\nUSN: b\r\nLOCATION: c\r\n\r\n", &r), SSDP_IGNORE);
    EXPECT_EQ(parse("HTTP/1.0 200\r\nST: a\r\nUSN: b\r\nLOCATION: c\r\n\r\n", &r), SSDP_REPLY);
    EXPECT_EQ(parse("http/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION: c\r\n\r\n", &r), SSDP_REPLY);
}

TEST(SsdpParse, UnusableReplies) {
    ssdp_reply r;
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nST : a\r\nUSN: b\r\nLOCATION: c\r\n\r\n", &r), SSDP_UNUSABLE);
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION:\r\n\r\n", &r), SSDP_UNUSABLE);
    EXPECT_EQ(r.st[0], 0); // nothing half-filled
    std::string loc511(511, 'l'), loc512(512, 'l');
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION: " + loc511 + "\r\n\r\n", &r),
              SSDP_REPLY);
    EXPECT_EQ(strlen(r.location), 511u);
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION: " + loc512 + "\r\n\r\n", &r),
              SSDP_UNUSABLE);
    EXPECT_EQ(
        parse("HTTP/1.1 200 OK\r\nST: " + std::string(160, 's') + "\r\nUSN: b\r\nLOCATION: c\r\n\r\n", &r),
        SSDP_UNUSABLE);
}

TEST(SsdpParse, MaxAge) {
    ssdp_reply r;
    auto age = [&](const char *cc) {
        std::string p = std::string("HTTP/1.1 200 OK\r\n") + cc + "ST: a\r\nUSN: b\r\nLOCATION: c\r\n\r\n";
        EXPECT_EQ(parse(p, &r), SSDP_REPLY);
        return r.max_age_s;
    };
    EXPECT_EQ(age(""), 1800);
    EXPECT_EQ(age("Cache-Control: max-age=30\r\n"), 1800);
    EXPECT_EQ(age("Cache-Control: max-age=100000\r\n"), 1800);
    EXPECT_EQ(age("Cache-Control: max-age = 120\r\n"), 120);
    EXPECT_EQ(age("Cache-Control: no-cache\r\n"), 1800);
    EXPECT_EQ(age("Cache-Control: max-age=60\r\n"), 60);
    EXPECT_EQ(age("Cache-Control: max-age=86400\r\n"), 86400);
    EXPECT_EQ(age("Cache-Control: max-age=99999999999999999999\r\n"), 1800);
    EXPECT_EQ(age(("Cache-Control: max-age=" + std::string(40, ' ') + "120\r\n").c_str()), 120);
    EXPECT_EQ(age(("Cache-Control: max-age=" + std::string(40, '0') + "120\r\n").c_str()), 120);
    EXPECT_EQ(age("Cache-Control: max-age=-120\r\n"), 1800);
    EXPECT_EQ(age("Cache-Control: max-age=+120, private\r\n"), 120);
}

TEST(SsdpParse, Notify) {
    ssdp_reply r;
    EXPECT_EQ(parse("NOTIFY * HTTP/1.1\r\nNT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nUSN: "
                    "uuid:x::upnp:rootdevice\r\n\r\n",
                    &r),
              SSDP_ALIVE);
    EXPECT_STREQ(r.location, "");
    EXPECT_EQ(r.max_age_s, 1800);
    EXPECT_EQ(parse("NoTiFy * HTTP/1.1\r\nNT: t\r\nNTS: SSDP:BYEBYE\r\nUSN: u\r\nLOCATION: l\r\n"
                    "CACHE-CONTROL: max-age=100\r\n\r\n",
                    &r),
              SSDP_BYEBYE);
    EXPECT_STREQ(r.st, "t");
    EXPECT_STREQ(r.usn, "u");
    EXPECT_STREQ(r.location, "");
    EXPECT_EQ(r.max_age_s, 0);
    EXPECT_EQ(parse("NOTIFY * HTTP/1.1\r\nNT: t\r\nNTS: ssdp:update\r\n\r\n", &r), SSDP_IGNORE);
    EXPECT_EQ(parse("NOTIFY * HTTP/1.1\r\nNT: t\r\nNTS: ssdp:alive2\r\n\r\n", &r), SSDP_IGNORE);
    EXPECT_EQ(parse("NOTIFY * HTTP/1.1\r\nNTS: ssdp:alive\r\n\r\n", &r), SSDP_IGNORE);
    // Optional headers that are too long are left out, not cut.
    EXPECT_EQ(parse("NOTIFY * HTTP/1.1\r\nNT: t\r\nNTS: ssdp:alive\r\nUSN: " + std::string(240, 'u') +
                        "\r\nLOCATION: http://h/\r\n\r\n",
                    &r),
              SSDP_ALIVE);
    EXPECT_STREQ(r.usn, "");
    EXPECT_STREQ(r.location, "http://h/");
}

TEST(SsdpParse, SizeBoundsAndOthers) {
    ssdp_reply r;
    std::string base = "NOTIFY * HTTP/1.1\r\nNT: t\r\nNTS: ssdp:alive\r\nX: ";
    std::string at4096 = base + std::string(4096 - base.size() - 2, 'p') + "\r\n";
    ASSERT_EQ(at4096.size(), 4096u);
    EXPECT_EQ(parse(at4096, &r), SSDP_ALIVE);
    EXPECT_EQ(parse(at4096 + "x", &r), SSDP_IGNORE);
    EXPECT_EQ(parse("M-SEARCH * HTTP/1.1\r\nST: ssdp:all\r\n\r\n", &r), SSDP_IGNORE);
    EXPECT_EQ(parse("HTTP/1.", &r), SSDP_IGNORE);
    EXPECT_EQ(ssdp_parse_packet(nullptr, 10, &r), SSDP_IGNORE);
    // A last line without LF still counts.
    EXPECT_EQ(parse("HTTP/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION: c", &r), SSDP_REPLY);
    EXPECT_STREQ(r.location, "c");
    // A NUL inside a datagram ends it: the LOCATION behind it is not taken as empty-but-present.
    std::string nul("HTTP/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION:\0 http://x/\r\n\r\n", 49);
    EXPECT_EQ(ssdp_parse_packet(nul.data(), nul.size(), &r), SSDP_UNUSABLE);
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
