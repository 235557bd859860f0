// Servers as people own them: one that hands out its first page whatever StartingIndex
// says, and one that refuses large pages. Through kvdmc_browse, the source handler and
// the file/folder access layer, against a scripted ContentDirectory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "helpers/browse_fixture.h"
#include "helpers/docs.h"
#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const char *UDN = "uuid:srv-quirks";

class BrowseQuirks : public ::testing::Test {
  protected:
    cdtest::server srv;
    quorlin_io io{};

    static void SetUpTestSuite() {
        kvffa_reset();
        ASSERT_EQ(kvdmc_kvffa_register(), 0) << kvdmc_last_error();
    }
    static void TearDownTestSuite() { kvffa_reset(); }

    void SetUp() override {
        kvdmc_config("browse_page", nullptr);
        kvdmc_devices_clear();
        kvdmc_cache_clear();
        kvdmc_fake_reset();
        place();
    }
    void TearDown() override {
        kvdmc_set_io(nullptr);
        EXPECT_EQ(srv.outstanding(), 0);
    }
    void place() {
        ASSERT_EQ(cdtest::add_server(UDN, "10.0.0.9:8200"), 0) << kvdmc_last_error();
        io = srv.io();
        kvdmc_set_io(&io);
    }
    std::vector<int> field(int cdtest::request::*f) {
        std::vector<int> v;
        for (const auto &q : srv.requests()) v.push_back(q.*f);
        return v;
    }
};

// A folder of n tracks whose server answers every index at or beyond `from` with its
// first page.
void repeating(cdtest::server &srv, int n, int from) {
    cdtest::fill(srv, "f", n);
    srv.script = [&srv, n, from](const cdtest::request &q, cdtest::reply *r) {
        if (q.action != "Browse" || q.flag != "BrowseDirectChildren" || q.start < from) return false;
        int e = q.count <= 0 || q.count > n ? n : q.count;
        std::string didl = docs::didl_open();
        for (int i = 0; i < e; i++) didl += srv.folders["f"][(size_t)i];
        r->body = docs::browse_response(didl + "</DIDL-Lite>", e, n, srv.update_id, srv.service);
        return true;
    };
}

} // namespace

// Paging stops at the first page that repeats the first one; nothing repeated is handed
// out, and the result is partial with the index it happened at.
TEST_F(BrowseQuirks, RepeatedFirstPageEndsTheListing) {
    struct {
        const char *what;
        int n, from; // from: the first index the server answers with its first page; 0 never
        int items;
        std::vector<int> starts;
        const char *err; // null: complete
    } rows[] = {
        {"well behaved", 600, 0, 600, {0, 256, 512}, nullptr},
        {"ignores StartingIndex", 1000, 1, 256, {0, 256}, "server repeated page at index 256"},
        {"repeats from the third page", 1000, 512, 512, {0, 256, 512}, "server repeated page at index 512"},
        {"one page only", 200, 1, 200, {0}, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        kvdmc_cache_clear();
        srv.clear_log();
        srv.script = nullptr;
        if (row.from)
            repeating(srv, row.n, row.from);
        else
            cdtest::fill(srv, "f", row.n);
        int got = kvdmc_browse(UDN, "f", 0, 0, 0);
        EXPECT_EQ(got, row.items) << kvdmc_last_error();
        EXPECT_EQ(kvdmc_item_count(), row.items);
        EXPECT_EQ(field(&cdtest::request::start), row.starts);
        if (row.err) {
            EXPECT_STREQ(kvdmc_last_error(), row.err);
            EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CAP);
        } else {
            EXPECT_EQ(kvdmc_last_code(), 0);
        }
        // Every object once.
        std::string last = kvdmc_best_res_url(row.items - 1);
        EXPECT_EQ(last, "http://10.0.0.9:8200/MediaItems/f$" + std::to_string(row.items - 1) + ".mp3");
    }

    // The source handler lists the same way.
    kvdmc_config("browse_page", "16");
    kvdmc_cache_clear(); // the single-page folder of the last row is cached under the same id
    srv.script = nullptr;
    repeating(srv, 100, 1);
    static char out[65536];
    const kvrch_handler *h = kvrch_get();
    ASSERT_EQ(h->list(&io, "{\"UDN\":\"uuid:srv-quirks\"}", "f", out, (int)sizeof out), KVRCH_OK)
        << kvdmc_last_error();
    EXPECT_EQ(kvdmc_item_count(), 16);

    // The access layer reads one window per page: the window that repeats the first ends
    // the listing, marked.
    ASSERT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:srv-quirks\"}"), KVFFA_OK) << kvffa_last_error();
    for (long page : {16L, 5L}) {
        SCOPED_TRACE(page);
        srv.script = nullptr;
        repeating(srv, 100, 1);
        kvffa_set_page_size(page);
        ASSERT_EQ(kvffa_list_all("f"), KVFFA_OK) << kvffa_last_error();
        EXPECT_EQ(kvffa_count(), (size_t)page);
        EXPECT_EQ(kvffa_more(), 0);
        EXPECT_STREQ(kvffa_last_error(), ("server repeated page at index " + std::to_string(page)).c_str());
    }
    // A child by index of the folder just listed is not taken from the repeated page; a
    // look-up by name between listings leaves the listing's memory as it was.
    EXPECT_NE(kvffa_locator("f/Track 3"), nullptr) << kvffa_last_error();
    EXPECT_EQ(kvffa_locator("f/50"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "server repeated page at index 50");
    EXPECT_NE(kvffa_locator("f/0"), nullptr) << kvffa_last_error();
    // A well-behaved folder lists whole.
    srv.script = nullptr;
    cdtest::fill(srv, "f", 40);
    kvffa_set_page_size(16);
    ASSERT_EQ(kvffa_list_all("f"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_count(), 40u);
    kvffa_close();
}

// Browse refused for its size is asked again with half the count, down to 16; the size
// that worked is the server's page size from then on, until its row is forgotten.
TEST_F(BrowseQuirks, RefusedPageSizesAreHalvedAndKept) {
    cdtest::fill(srv, "f", 300);
    int code = 720, limit = 100;
    srv.script = [&](const cdtest::request &q, cdtest::reply *r) {
        if (q.count <= limit) return false;
        r->status = 500;
        r->body = docs::fault(code, "Cannot process the request");
        return true;
    };
    struct {
        const char *what;
        int code, limit;
        int rc;
        std::vector<int> counts, next;
    } rows[] = {
        {"720 above 100", 720, 100, 300, {256, 128, 64, 64, 64, 64, 64}, {64, 64, 64, 64, 64}},
        {"501 above 100", 501, 100, 300, {256, 128, 64, 64, 64, 64, 64}, {64, 64, 64, 64, 64}},
        {"402 above 200", 402, 200, 300, {256, 128, 128, 128}, {128, 128, 128}},
        {"refused down to 16", 720, 10, KVDMC_E_UPNP, {256, 128, 64, 32, 16}, {256, 128, 64, 32, 16}},
        {"no such object is not about size", 701, 100, KVDMC_E_UPNP, {256}, {256}},
        {"well behaved", 720, 1000, 300, {256, 256}, {256, 256}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        kvdmc_forget(UDN);
        place();
        code = row.code;
        limit = row.limit;
        for (int pass = 0; pass < 2; pass++) {
            kvdmc_cache_clear();
            srv.clear_log();
            EXPECT_EQ(kvdmc_browse(UDN, "f", 0, 0, 0), row.rc) << kvdmc_last_error();
            EXPECT_EQ(field(&cdtest::request::count), pass ? row.next : row.counts);
        }
    }

    // A window of the access layer asks for the size learned, never more than browse_page.
    kvdmc_forget(UDN);
    place();
    code = 720;
    limit = 100;
    ASSERT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:srv-quirks\"}"), KVFFA_OK) << kvffa_last_error();
    kvffa_set_page_size(256);
    srv.clear_log();
    ASSERT_EQ(kvffa_list_all("f"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_count(), 300u);
    std::vector<int> counts = field(&cdtest::request::count);
    ASSERT_GE(counts.size(), 3u);
    EXPECT_EQ(std::vector<int>(counts.begin(), counts.begin() + 3), (std::vector<int>{256, 128, 64}));
    for (size_t i = 3; i < counts.size(); i++) EXPECT_EQ(counts[i], 64);
    kvdmc_config("browse_page", "32");
    srv.clear_log();
    ASSERT_EQ(kvffa_list_all("f"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(field(&cdtest::request::count)[0], 32);
    kvffa_close();
}
