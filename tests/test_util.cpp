// Text builder, escapers and the shared text helpers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/readers/textread.h"
#include "base/escape.h"
#include "base/sbuf.h"
#include "base/text.h"

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

TEST(Sbuf, LimitRefusesAndReleasesWhatFits) {
    sbuf_scoped b;
    sb_init_limit(&b.b, 10);
    sb_puts(&b, "0123456789");
    EXPECT_EQ(b.b.over, 0);
    EXPECT_LE(b.b.cap, 11u) << "growth stops at the limit";
    sb_putc(&b, 'x');
    EXPECT_EQ(b.b.over, 1);
    EXPECT_EQ(b.b.oom, 0);
    EXPECT_STREQ(b.str(), "0123456789") << "nothing beyond the limit is kept";
    sb_reset(&b);
    sb_puts(&b, "ab");
    char *p = sb_release(&b.b);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "ab");
    free(p);
    EXPECT_EQ(b.b.n, 0u);
    // An empty builder still hands out a text the receiver can free.
    p = sb_release(&b.b);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p, "");
    free(p);
}

TEST(Text, IntegerReaderSaturatesAndReportsNoDigits) {
    struct {
        const char *in;
        int64_t max;
        unsigned flags;
        bool ok;
        int64_t v;
        size_t used;
    } cases[] = {
        {"42", 100, INT_BLANKS | INT_SIGN, true, 42, 2},
        {" \t-7x", 100, INT_BLANKS | INT_SIGN, true, -7, 4},
        {"+8", 100, INT_BLANKS | INT_SIGN, true, 8, 2},
        {"123456789012345678901234567890", INT64_MAX, INT_BLANKS | INT_SIGN, true, INT64_MAX, 30},
        {"-99999999999999999999999", INT32_MAX, INT_BLANKS | INT_SIGN, true, -INT32_MAX, 24},
        {"101", 100, 0, true, 100, 3},
        {" 5", 100, INT_SIGN, false, 0, 0},
        {"-5", 100, INT_BLANKS, false, 0, 0},
        {"-", 100, INT_BLANKS | INT_SIGN, false, 0, 0},
        {"", 100, INT_BLANKS | INT_SIGN, false, 0, 0},
        {"abc", 100, INT_BLANKS | INT_SIGN, false, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        const char *p = c.in;
        int64_t v = 99;
        EXPECT_EQ(read_int(&p, nullptr, c.max, &v, c.flags), c.ok);
        EXPECT_EQ(v, c.v);
        EXPECT_EQ((size_t)(p - c.in), c.used);
    }
    // A bounded read stops at the end even where the text goes on.
    const char *digits = "12345";
    const char *p = digits;
    int64_t v = 0;
    EXPECT_TRUE(read_int(&p, digits + 3, 1000, &v));
    EXPECT_EQ(v, 123);
    EXPECT_EQ(leading_int("  -3 apples", 10), -3);
    EXPECT_EQ(leading_int(nullptr, 10), 0);
}

TEST(Text, Utf8CutNeverSplitsACharacter) {
    const char *euro = "a\xE2\x82\xAC"
                       "b"; // a, 3-byte euro sign, b
    EXPECT_EQ(utf8_cut(euro, 5, 9), 5u);
    EXPECT_EQ(utf8_cut(euro, 5, 4), 4u);
    EXPECT_EQ(utf8_cut(euro, 5, 3), 1u);
    EXPECT_EQ(utf8_cut(euro, 5, 2), 1u);
    EXPECT_EQ(utf8_cut(euro, 5, 1), 1u);
    EXPECT_EQ(utf8_cut(euro, 5, 0), 0u);
    const char *emoji = "\xF0\x9F\x8E\xB5"; // 4 bytes
    EXPECT_EQ(utf8_cut(emoji, 4, 3), 0u);
    // Stray continuation bytes are not UTF-8: cut where they fall.
    const char *stray = "\x80\x80\x80\x80\x80";
    EXPECT_EQ(utf8_cut(stray, 5, 4), 4u);
    // Fixed fields use the same cut.
    char field[5];
    str_copy(field, sizeof field, euro);
    EXPECT_STREQ(field, "a\xE2\x82\xAC");
    str_copy(field, 4, euro);
    EXPECT_STREQ(field, "a");
}

TEST(Sbuf, Integers) {
    sbuf_scoped b;
    for (int64_t v : {INT64_C(0), INT64_C(-1), INT64_C(1001), INT64_MAX, INT64_MIN}) {
        sb_reset(&b.b);
        sb_i64(&b.b, v);
        EXPECT_EQ(std::string(b.str()), std::to_string(v));
    }
}
