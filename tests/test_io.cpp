// Transport selection and the fake transport.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include "upnp/discover.h"
#include "helpers/docs.h"
#include "base/exports.h"
#include "base/config.h"
#include "http/io.h"
#include "http/io_curl.h"
#include "http/io_fake.h"
#include "kvdmc.h"

namespace {

int get_a(void *, const char *, char **, int *, char **) {
    return 1;
}
int get_b(void *, const char *, char **, int *, char **) {
    return 2;
}
void free_plain(void *, void *p) {
    free(p);
}

// One GET through the current transport, every handed-out text released.
struct answer {
    int rc;
    int code;
    std::string body, err;
    bool has_body, has_err;
};

answer get(const char *url) {
    const quorlin_io *io = io_current();
    char *b = nullptr, *e = nullptr;
    answer a{};
    a.rc = io->http_get(io->ctx, url, &b, &a.code, &e);
    a.has_body = b != nullptr;
    a.has_err = e != nullptr;
    if (b) a.body = b, io->free_buf(io->ctx, b);
    if (e) a.err = e, io->free_buf(io->ctx, e);
    return a;
}

answer post(const char *url, const char *body) {
    const quorlin_io *io = io_current();
    char *b = nullptr, *e = nullptr;
    answer a{};
    a.rc = io->http_post(io->ctx, url, body, "text/xml", &b, &a.code, &e);
    a.has_body = b != nullptr;
    a.has_err = e != nullptr;
    if (b) a.body = b, io->free_buf(io->ctx, b);
    if (e) a.err = e, io->free_buf(io->ctx, e);
    return a;
}

} // namespace

// ---------------------------------------------------------------- selection

// Must stay first: it looks at the state before any selection.
TEST(Selection, NothingSelectedFallsBackToTheBuiltIn) {
    EXPECT_EQ(io_current(), io_curl());
    int rc = kvdmc_use_curl();
    if (io_curl()) {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(io_current(), io_curl());
    } else {
        EXPECT_EQ(rc, -11);
        EXPECT_EQ(io_current(), nullptr);
    }
    kvdmc_set_io(nullptr);
}

TEST(Selection, SetIoCopiesTheRecordAndOverrideWins) {
    int ctx_a = 0, ctx_b = 0;
    quorlin_io host{&ctx_a, get_a, nullptr, free_plain};
    ASSERT_EQ(kvdmc_set_io(&host), 0);
    host.ctx = &ctx_b; // the host changes its own record afterwards
    host.http_get = get_b;
    const quorlin_io *cur = io_current();
    ASSERT_NE(cur, nullptr);
    EXPECT_EQ(cur->ctx, &ctx_a);
    EXPECT_EQ(cur->http_get, get_a);

    // -11 without a built-in transport leaves the selection in place.
    if (!io_curl()) {
        EXPECT_EQ(kvdmc_use_curl(), KVDMC_E_NOCURL);
        EXPECT_EQ(io_current()->ctx, &ctx_a);
    }

    io_override(&host);
    EXPECT_EQ(io_current(), &host);
    io_override_clear();
    EXPECT_EQ(io_current()->http_get, get_a);

    ASSERT_EQ(kvdmc_set_io(nullptr), 0);
    EXPECT_EQ(io_current(), io_curl());
}

TEST(Selection, FakeModeOutlivesAnotherSelection) {
    ASSERT_EQ(kvdmc_use_fake(), 0);
    EXPECT_EQ(io_current(), io_fake());
    EXPECT_TRUE(discover_live_off());
    quorlin_io host{nullptr, get_a, nullptr, free_plain};
    kvdmc_set_io(&host);
    EXPECT_TRUE(discover_live_off());
    ASSERT_EQ(kvdmc_config("ssdp_ttl", nullptr), 0); // restoring the numeric defaults clears it
    EXPECT_FALSE(discover_live_off());
    kvdmc_set_io(nullptr);
}

// A reader never sees a record half-written by a concurrent kvdmc_set_io.
TEST(Selection, ConcurrentSelectionHandsOutWholeRecords) {
    int ctx_a = 0, ctx_b = 0;
    quorlin_io a{&ctx_a, get_a, nullptr, free_plain};
    quorlin_io b{&ctx_b, get_b, nullptr, free_plain};
    kvdmc_set_io(&a);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 2000 && !stop; i++) kvdmc_set_io(i % 2 ? &a : &b);
    });
    int torn = 0;
    for (int i = 0; i < 2000; i++) {
        const quorlin_io *io = io_current();
        quorlin_io seen = *io;
        if ((seen.ctx == &ctx_a) != (seen.http_get == get_a)) torn++;
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
    kvdmc_set_io(nullptr);
}

// ---------------------------------------------------------------- fake routes

namespace {
class Fake : public ::testing::Test {
  protected:
    void SetUp() override {
        kvdmc_use_fake();
        kvdmc_fake_reset();
    }
    void TearDown() override { kvdmc_fake_reset(); }
};
} // namespace

TEST_F(Fake, RoutesAnswerAsLastConfigured) {
    ASSERT_EQ(kvdmc_fake_fail("http://h/a", "down"), 0);
    ASSERT_EQ(kvdmc_fake_set("http://h/a", 404, "missing"), 0);
    answer a = get("http://h/a");
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.code, 404); // the fake never judges the status
    EXPECT_EQ(a.body, "missing");
    EXPECT_FALSE(a.has_err);

    ASSERT_EQ(kvdmc_fake_fail("http://h/a", "down"), 0);
    a = get("http://h/a");
    EXPECT_EQ(a.rc, -1);
    EXPECT_EQ(a.err, "down");
    EXPECT_FALSE(a.has_body);
    EXPECT_EQ(a.code, 0);
    EXPECT_EQ(kvdmc_fake_calls("http://h/a"), 2u); // failure rows count, reconfiguring keeps the count

    ASSERT_EQ(kvdmc_fake_fail("http://h/b", nullptr), 0);
    EXPECT_EQ(get("http://h/b").err, "fake: transport failure");
    EXPECT_EQ(get("http://h/b").err, "fake: transport failure");

    answer none = get("http://h/A"); // URLs compare case-sensitively
    EXPECT_EQ(none.rc, -1);
    EXPECT_EQ(none.err, "fake: no route for this URL");
    EXPECT_EQ(none.code, 0);
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 4u);
    EXPECT_EQ(kvdmc_fake_calls("http://h/none"), 0u);

    int code = 5;
    char *b = (char *)"x", *e = nullptr;
    EXPECT_EQ(fake_route(nullptr, &code, &b, &e), KVDMC_E_ARG);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(e, "fake: no route for this URL");
    free(e);

    // Many routes: earlier rows stay reachable as the table grows.
    for (int i = 0; i < 40; i++)
        ASSERT_EQ(kvdmc_fake_set(("http://h/n" + std::to_string(i)).c_str(), 200, std::to_string(i).c_str()),
                  0);
    EXPECT_EQ(get("http://h/n0").body, "0");
    EXPECT_EQ(get("http://h/n39").body, "39");
}

TEST_F(Fake, PostRoutesThenGetFallback) {
    const char *url = "http://h/ctl";
    ASSERT_EQ(kvdmc_fake_set(url, 200, "get-answer"), 0);
    ASSERT_EQ(fake_set_post(url, "Browse", 200, "browse-1"), 0);
    ASSERT_EQ(fake_set_post(url, "ObjectID", 500, "object"), 0);
    ASSERT_EQ(fake_set_post(url, "Browse", 201, "browse-2"), 0); // same pair: replaced in place

    answer a = post(url, "<u:Browse><ObjectID>0</ObjectID></u:Browse>");
    EXPECT_EQ(a.body, "browse-2"); // the earlier-configured row wins
    EXPECT_EQ(a.code, 201);
    EXPECT_EQ(post(url, "<ObjectID/>").code, 500);
    EXPECT_EQ(post(url, "<browse/>").body, "get-answer"); // case-sensitive substring
    EXPECT_EQ(post(url, nullptr).body, "get-answer");
    EXPECT_EQ(post("http://h/other", "Browse").err, "fake: no route for this URL");
    get(url);
    EXPECT_EQ(kvdmc_fake_calls(url), 3u); // GET-route answers only
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 5u);
}

TEST_F(Fake, NullArgumentsAndSentRecord) {
    EXPECT_EQ(kvdmc_fake_set(nullptr, 200, "b"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "fake_set: null arg");
    EXPECT_EQ(kvdmc_fake_set("u", 200, nullptr), KVDMC_E_ARG);
    EXPECT_EQ(kvdmc_fake_fail(nullptr, "e"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "fake_fail: null arg");
    EXPECT_EQ(fake_set_post("u", nullptr, 200, "r"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "fake_set_post: null arg");
    EXPECT_EQ(kvdmc_fake_calls("u"), 0u); // nothing was created
    EXPECT_EQ(kvdmc_fake_ssdp(nullptr, nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "fake_ssdp: null packet");
    EXPECT_EQ(kvdmc_fake_ssdp("M-SEARCH * HTTP/1.1\r\nST: ssdp:all\r\n\r\n", nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "fake_ssdp: not a reply or alive NOTIFY (0)");
    EXPECT_EQ(kvdmc_fake_ssdp("HTTP/1.1 200 OK\r\nST: x\r\n\r\n", nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "fake_ssdp: not a reply or alive NOTIFY (-1)");
    EXPECT_EQ(kvdmc_fake_ssdp_sent(0), nullptr);
    EXPECT_EQ(kvdmc_fake_ssdp_sent(-1), nullptr);
}

TEST_F(Fake, ResetClearsRoutesButKeepsModeAndDevices) {
    using namespace docs;
    kvdmc_devices_clear();
    ASSERT_EQ(kvdmc_fake_set("http://h/d.xml", 200, description("uuid:r", SERVER_TYPE).c_str()), 0);
    ASSERT_EQ(kvdmc_fake_ssdp(alive("uuid:r", "http://h/d.xml").c_str(), "10.0.0.9"), 0);
    ASSERT_EQ(fake_set_post("http://h/p", "x", 200, "y"), 0);
    kvdmc_fake_reset();
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 0u);
    EXPECT_EQ(get("http://h/d.xml").err, "fake: no route for this URL");
    EXPECT_EQ(post("http://h/p", "x").err, "fake: no route for this URL");
    EXPECT_EQ(io_current(), io_fake());
    EXPECT_TRUE(discover_live_off());
    EXPECT_EQ(kvdmc_device_count(), 1);

    // An alive NOTIFY whose LOCATION has no route reports the fetch failure.
    EXPECT_EQ(kvdmc_fake_ssdp(alive("uuid:s", "http://h/none.xml").c_str(), nullptr), KVDMC_E_PARSE);
    EXPECT_STREQ(kvdmc_last_error(), "description fetch failed: fake: no route for this URL");
    kvdmc_devices_clear();
}
