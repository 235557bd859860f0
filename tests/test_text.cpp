// The shared text helpers: case-insensitive compares, IPv4, fixed-field copies, the
// integer reader and the UTF-8-safe cut.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/readers/textread.h"
#include "base/text.h"

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
