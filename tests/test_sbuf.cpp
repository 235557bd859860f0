// The text builder: growth, limits, out of memory.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/escape.h"
#include "base/sbuf.h"

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

TEST(Sbuf, Integers) {
    sbuf_scoped b;
    for (int64_t v : {INT64_C(0), INT64_C(-1), INT64_C(1001), INT64_MAX, INT64_MIN}) {
        sb_reset(&b.b);
        sb_i64(&b.b, v);
        EXPECT_EQ(std::string(b.str()), std::to_string(v));
    }
}
