// Text builder, escapers and the shared text helpers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "util.h"

namespace {
int g_fail_allocs = 0;
void *failing_realloc(void *p, size_t n) {
    if (g_fail_allocs > 0) {
        g_fail_allocs--;
        return nullptr;
    }
    return realloc(p, n);
}
struct alloc_hook {
    alloc_hook() { g_sb_realloc = failing_realloc; }
    ~alloc_hook() {
        g_sb_realloc = realloc;
        g_fail_allocs = 0;
    }
};
} // namespace

TEST(Sbuf, GrowthSteps) {
    sbuf_scoped b;
    EXPECT_STREQ(b.str(), "");
    std::string s255(255, 'a');
    sb_puts(&b, s255.c_str());
    EXPECT_EQ(b.b.cap, 256u);
    sb_putc(&b, 'b');
    EXPECT_EQ(b.b.cap, 512u);
    EXPECT_EQ(b.b.n, 256u);
    EXPECT_EQ(b.str()[256], 0);

    sbuf c;
    sb_init(&c);
    std::string s300(300, 'x');
    sb_putn(&c, s300.data(), 300);
    EXPECT_EQ(c.cap, 512u);
    sb_free(&c);
    sb_free(&c); // harmless twice
    EXPECT_EQ(c.p, nullptr);
}

TEST(Sbuf, BinaryAndNull) {
    sbuf_scoped b;
    sb_putn(&b, "a\0b", 3);
    EXPECT_EQ(b.b.n, 3u);
    EXPECT_EQ(memcmp(b.str(), "a\0b", 4), 0);
    sb_puts(&b, nullptr);
    sb_xml(&b, nullptr);
    EXPECT_EQ(b.b.n, 3u);
}

TEST(Sbuf, PrintfAroundScratchSize) {
    for (int len : {0, 1, 511, 512, 513, 5000}) {
        sbuf_scoped b;
        sb_putc(&b, '>');
        sb_printf(&b, "%s|%d", std::string((size_t)(len > 2 ? len - 2 : 0), 'q').c_str(), 7);
        std::string want = ">" + std::string((size_t)(len > 2 ? len - 2 : 0), 'q') + "|7";
        EXPECT_EQ(std::string(b.str()), want) << len;
        EXPECT_EQ(b.b.n, want.size());
    }
}

TEST(Sbuf, OutOfMemoryLatchesUntilReset) {
    alloc_hook h;
    sbuf_scoped b;
    sb_puts(&b, "abc");
    g_fail_allocs = 1;
    sb_puts(&b, std::string(400, 'z').c_str()); // needs a bigger block: fails
    EXPECT_EQ(b.b.oom, 1);
    sb_puts(&b, "d"); // fits, but the latch drops it
    sb_printf(&b, "%d", 5);
    EXPECT_STREQ(b.str(), "abc");
    sb_reset(&b);
    EXPECT_EQ(b.b.oom, 0);
    sb_puts(&b, "ok");
    EXPECT_STREQ(b.str(), "ok");
}

TEST(Escape, Xml) {
    sbuf_scoped b;
    sb_xml(&b, "a<b>&\"'");
    EXPECT_STREQ(b.str(), "a&lt;b&gt;&amp;&quot;&apos;");
    sb_reset(&b);
    sb_xml(&b, "x\x01y\x0bz\t\n\r\x7f\xc3\xa9");
    EXPECT_STREQ(b.str(), "xyz\t\n\r\x7f\xc3\xa9");
}

TEST(Escape, Json) {
    sbuf_scoped b;
    sb_json_str(&b, nullptr);
    EXPECT_STREQ(b.str(), "\"\"");
    sb_reset(&b);
    sb_json_str(&b, "q\"\\/\b\f\n\r\t\x1f\x01\xc3\xa9");
    EXPECT_STREQ(b.str(), "\"q\\\"\\\\/\\b\\f\\n\\r\\t\\u001f\\u0001\xc3\xa9\"");
    sb_reset(&b);
    sb_json_str_u(&b, "\b\f\n");
    EXPECT_STREQ(b.str(), "\"\\u0008\\u000c\\n\"");
}

TEST(Text, CaseInsensitivePrefixAndWhole) {
    EXPECT_EQ(str_nieq("NoTiFy * HTTP/1.1", "NOTIFY ", 7), 1);
    EXPECT_EQ(str_nieq("ssdp:alive2", "ssdp:alive", 11), 0);
    EXPECT_EQ(str_nieq("SSDP:ALIVE", "ssdp:alive", 11), 1);
    EXPECT_EQ(str_nieq("ab", "abc", 3), 0);
}

TEST(Text, Ipv4Strict) {
    uint32_t a = 0xdeadbeef;
    EXPECT_EQ(parse_ipv4("192.168.1.10", &a), 0);
    EXPECT_EQ(memcmp(&a, "\xc0\xa8\x01\x0a", 4), 0);
    EXPECT_EQ(parse_ipv4("01.002.3.4", &a), 0);
    EXPECT_EQ(memcmp(&a, "\x01\x02\x03\x04", 4), 0);
    uint32_t keep = 0x11223344;
    for (const char *bad : {"1.2.3.4.", "1.2.3", "1..2.3", " 1.2.3.4", "1.2.3.4 ", "1.2.3.256", "1.2.3.0004",
                            "", "a.b.c.d", "+1.2.3.4", "0x1.2.3.4", "1.2.3.4.5"}) {
        EXPECT_EQ(parse_ipv4(bad, &keep), -1) << bad;
    }
    EXPECT_EQ(keep, 0x11223344u);
    EXPECT_EQ(parse_ipv4(nullptr, nullptr), -1);
    EXPECT_EQ(parse_ipv4("0.0.0.0", nullptr), 0);
}

TEST(Text, FixedFieldCopies) {
    char f[5];
    str_copy(f, sizeof f, "abcdefg");
    EXPECT_STREQ(f, "abcd");
    str_copy(f, sizeof f, nullptr);
    EXPECT_STREQ(f, "");
    str_fmt(f, sizeof f, "%d-%d", 12, 345);
    EXPECT_STREQ(f, "12-3");
}
