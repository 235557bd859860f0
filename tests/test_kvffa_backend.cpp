// The DLNA backend through the access layer's API, against a scripted ContentDirectory:
// one Browse window per page, every title a usable name, children by index, title or
// name, locators, and texts that stay the backend's own.
#include <gtest/gtest.h>

#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "helpers/browse_fixture.h"
#include "helpers/docs.h"
#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const char *UDN = "uuid:lib-1";

std::string item(const std::string &id, const std::string &parent, const std::string &title,
                 const std::string &res = "") {
    return "<item id=\"" + docs::xml_escape(id) + "\" parentID=\"" + docs::xml_escape(parent) +
           "\"><dc:title>" + docs::xml_escape(title) +
           "</dc:title><upnp:class>object.item.audioItem</upnp:class>" + res + "</item>";
}

std::string folder(const std::string &id, const std::string &parent, const std::string &title) {
    return "<container id=\"" + id + "\" parentID=\"" + parent + "\" childCount=\"1\"><dc:title>" + title +
           "</dc:title><upnp:class>object.container.storageFolder</upnp:class></container>";
}

class DlnaBackend : public ::testing::Test {
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
        ASSERT_EQ(cdtest::add_server(UDN, "10.0.0.9:8200"), 0) << kvdmc_last_error();
        io = srv.io();
        kvdmc_set_io(&io);
        ASSERT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:lib-1\"}"), KVFFA_OK) << kvffa_last_error();
        kvffa_set_page_size(256);
    }
    void TearDown() override {
        kvffa_close();
        kvdmc_set_io(nullptr);
        EXPECT_EQ(srv.outstanding(), 0);
    }
    std::vector<std::string> names() {
        std::vector<std::string> v;
        for (size_t i = 0; i < kvffa_count(); i++) v.push_back(kvffa_item_name(kvffa_item_at((long)i)));
        return v;
    }
};

} // namespace

TEST(DlnaBackendSetup, RegistrationOpenAndConfiguration) {
    kvffa_reset();
    ASSERT_EQ(kvdmc_kvffa_register(), 0);
    EXPECT_EQ(kvffa_backend_caps(0), 0x11);
    EXPECT_STREQ(kvffa_backend_id(0), "dlna");
    // A second registration is refused; the first one stays.
    EXPECT_EQ(kvdmc_kvffa_register(), KVDMC_E_CAP);
    EXPECT_STREQ(kvdmc_last_error(), "kvffa_register failed");
    EXPECT_EQ(kvffa_backend_count(), 1);
    for (const char *cfg : {"{}", "{\"udn\":\"\"}", "{\"udn\":7}", "{\"UDN\":\"uuid:x\"}"}) {
        SCOPED_TRACE(cfg);
        EXPECT_EQ(kvffa_open("dlna", cfg), KVFFA_E_BAD_CONFIG);
        EXPECT_STREQ(kvffa_last_error(), "config needs udn");
    }
    EXPECT_EQ(kvffa_open("dlna", "[\"udn\"]"), KVFFA_E_BAD_CONFIG);
    // Nesting beyond 64 levels is refused (without recursion), 64 are read.
    for (size_t levels : {63, 64, 1000000}) {
        std::string cfg =
            "{\"udn\":\"uuid:x\",\"x\":" + std::string(levels, '[') + std::string(levels, ']') + "}";
        EXPECT_EQ(kvffa_open("dlna", cfg.c_str()), levels < 64 ? KVFFA_OK : KVFFA_E_BAD_CONFIG) << levels;
    }
    kvffa_close();
    // The server must be known when listing, not when opening.
    ASSERT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:nobody\"}"), KVFFA_OK);
    kvdmc_devices_clear();
    EXPECT_EQ(kvffa_list("0"), KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "unknown device uuid:nobody");
    kvffa_reset();
}

TEST_F(DlnaBackend, EachPageIsOneBrowseWindow) {
    cdtest::fill(srv, "0", 5);
    kvffa_set_page_size(2);
    ASSERT_EQ(kvffa_list("0"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_count(), 2u);
    EXPECT_EQ(kvffa_more(), 1);
    EXPECT_EQ(kvffa_list_next(), 1);
    EXPECT_EQ(kvffa_list_next(), 0);
    EXPECT_EQ(kvffa_count(), 5u);
    auto log = srv.requests();
    ASSERT_EQ(log.size(), 3u);
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(log[i].start, (int)(2 * i));
        EXPECT_EQ(log[i].count, 2);
        EXPECT_EQ(log[i].flag, "BrowseDirectChildren");
    }
    const kvffa_item *t = kvffa_item_at(4);
    EXPECT_STREQ(kvffa_item_name(t), "Track 4");
    EXPECT_STREQ(kvffa_item_path(t), "0$4");
    EXPECT_STREQ(kvffa_item_backend_id(t), "0$4");
    EXPECT_STREQ(kvffa_item_locator(t), "http://10.0.0.9:8200/MediaItems/0$4.mp3");
    EXPECT_EQ(kvffa_item_size(t), 1004);
    EXPECT_EQ(kvffa_item_is_folder(t), 0);
    // The page that reaches the end says so without another request.
    srv.clear_log();
    kvffa_set_page_size(5);
    ASSERT_EQ(kvffa_list("0/"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 5u);
    EXPECT_EQ(kvffa_more(), 0);
    EXPECT_EQ(srv.request_count(), 1u);
}

// A folder far beyond the item table lists completely, with one request per page of at
// most browse_page entries, whether or not the server tells its total.
TEST_F(DlnaBackend, BigFoldersCostOneRequestPerPage) {
    cdtest::fill(srv, "big", 5000);
    struct {
        long page;
        int total; // what the server reports as TotalMatches; 0: it does not say
        size_t requests;
    } cases[] = {{1, 5000, 5000}, {100, 5000, 50}, {256, 5000, 20}, {4096, 5000, 20}, {256, 0, 20}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.page);
        srv.total_override = c.total ? -2 : 0;
        srv.clear_log();
        ASSERT_EQ(kvffa_set_page_size(c.page), KVFFA_OK);
        ASSERT_EQ(kvffa_list_all("big"), KVFFA_OK) << kvffa_last_error();
        EXPECT_EQ(kvffa_count(), 5000u);
        EXPECT_EQ(srv.request_count(), c.requests);
        EXPECT_STREQ(kvffa_item_path(kvffa_item_at(4999)), "big$4999");
    }
    srv.total_override = -2;
}

// A server that claims endless children: the listing ends at the component's browse cap.
TEST_F(DlnaBackend, EndlessFolderStopsAtTheBrowseCap) {
    srv.script = [](const cdtest::request &q, cdtest::reply *r) {
        std::string page;
        for (int i = 0; i < q.count; i++) page += docs::track("e", q.start + i);
        r->body = docs::browse_response(docs::didl(page), q.count, 2147483647, 1);
        return true;
    };
    ASSERT_EQ(kvdmc_config("browse_max_items", "1000"), 0);
    ASSERT_EQ(kvffa_list_all("e"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_count(), 1024u); // the page that reaches the cap is kept whole
    EXPECT_EQ(kvffa_more(), 0);
    kvdmc_config("browse_max_items", nullptr);
}

TEST_F(DlnaBackend, EveryTitleGivesAUsableName) {
    srv.folders["m"] = {item("m1", "m", "AC/DC"),       item("m2", "m", "1/2"), item("m3", "m", ""),
                        item("m4", "m", "."),           item("m5", "m", ".."),  item("m6", "m", "Caf\xE9"),
                        item("m7", "m", "Caf\xC3\xA9"), item("a/b", "m", ""),   folder("m9", "m", "Box")};
    ASSERT_EQ(kvffa_list("m"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_rejected(), 0u);
    EXPECT_EQ(names(), (std::vector<std::string>{"AC\xEF\xBC\x8F"
                                                 "DC",
                                                 "1\xEF\xBC\x8F"
                                                 "2",
                                                 "m3", "m4", "m5", "Caf\xEF\xBF\xBD", "Caf\xC3\xA9",
                                                 "a\xEF\xBC\x8F"
                                                 "b",
                                                 "Box"}));
    // The title keeps the server's text where it is UTF-8.
    EXPECT_STREQ(kvffa_item_title(kvffa_item_at(0)), "AC/DC");
    EXPECT_STREQ(kvffa_item_title(kvffa_item_at(6)), "Caf\xC3\xA9");
    const kvffa_item *box = kvffa_item_at(8);
    EXPECT_EQ(kvffa_item_is_folder(box), 1);
    EXPECT_EQ(kvffa_item_has(box, KVFFA_F_LOCATOR), 0);
    EXPECT_EQ(kvffa_item_has(box, KVFFA_F_SIZE), 0);

    // A child by title, by the name as shown, or by index; lists and locators alike.
    srv.folders["m"][0] = item("m1", "m", "AC/DC", docs::res("http-get:*:audio/mpeg:*", "http://h/acdc.mp3"));
    for (const char *path : {"m/AC/DC",
                             "m/AC\xEF\xBC\x8F"
                             "DC",
                             "m/0"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(kvffa_list(path), KVFFA_OK) << kvffa_last_error();
        ASSERT_EQ(kvffa_count(), 1u);
        EXPECT_STREQ(kvffa_item_path(kvffa_item_at(0)), "m1");
        EXPECT_STREQ(kvffa_locator(path), "http://h/acdc.mp3") << kvffa_last_error();
    }
    EXPECT_EQ(kvffa_list("m/Nothing"), KVFFA_E_NOT_FOUND);
    EXPECT_EQ(kvffa_list("m/99"), KVFFA_E_NOT_FOUND);
    EXPECT_EQ(kvffa_list("/m"), KVFFA_E_NOT_FOUND);
}

TEST_F(DlnaBackend, ChildrenStartingWithDigitsAreNamesUnlessAllDigits) {
    const char *titles[] = {"Intro", "Prelude", "01 - Overture", "2001 A Space Odyssey", "42"};
    for (int i = 0; i < 5; i++)
        srv.folders["A"].push_back(
            item("a" + std::to_string(i), "A", titles[i],
                 docs::res("http-get:*:audio/mpeg:*", ("http://h/a" + std::to_string(i)).c_str())));
    struct {
        const char *path, *id; // null: not found
    } rows[] = {
        {"A/01 - Overture", "a2"},
        {"A/2001 A Space Odyssey", "a3"},
        {"A/1", "a1"},
        {"A/01", "a1"}, // digits alone: an index, leading zeros and all
        {"A/42", nullptr},
        {"A/3 ", nullptr},
        {"A/2001", nullptr},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.path);
        if (!r.id) {
            EXPECT_EQ(kvffa_list(r.path), KVFFA_E_NOT_FOUND);
            EXPECT_EQ(kvffa_locator(r.path), nullptr);
            continue;
        }
        ASSERT_EQ(kvffa_list(r.path), KVFFA_OK) << kvffa_last_error();
        ASSERT_EQ(kvffa_count(), 1u);
        EXPECT_STREQ(kvffa_item_path(kvffa_item_at(0)), r.id);
        EXPECT_EQ(std::string(kvffa_locator(r.path) ? kvffa_locator(r.path) : "-"),
                  "http://h/" + std::string(r.id));
    }
}

TEST_F(DlnaBackend, SizesOnlyWhenTheServerGivesThem) {
    srv.folders["s"] = {item("s1", "s", "Sized", docs::res("http-get:*:a/b:*", "http://h/1", " size=\"0\"")),
                        item("s2", "s", "Unsized", docs::res("http-get:*:a/b:*", "http://h/2"))};
    ASSERT_EQ(kvffa_list("s"), KVFFA_OK);
    EXPECT_EQ(kvffa_item_has(kvffa_item_at(0), KVFFA_F_SIZE), 1);
    EXPECT_EQ(kvffa_item_size(kvffa_item_at(0)), 0);
    EXPECT_EQ(kvffa_item_has(kvffa_item_at(1), KVFFA_F_SIZE), 0);
    EXPECT_EQ(kvffa_item_size(kvffa_item_at(1)), -1);
}

TEST_F(DlnaBackend, LocatorsOfItemsChildrenAndBareObjectIds) {
    srv.folders["v"] = {folder("v0", "v", "Season"),
                        item("v1", "v", "Clip", docs::res("http-get:*:video/mp4:*", "http://h/clip.mp4"))};
    EXPECT_STREQ(kvffa_locator("v/1"), "http://h/clip.mp4");
    EXPECT_EQ(kvffa_locator("v/0"), nullptr);
    EXPECT_EQ(kvffa_last_code(), KVFFA_E_NOT_FOUND);
    EXPECT_STREQ(kvffa_last_error(), "no locator for this path");
    // A bare object id is resolved through its own metadata.
    srv.script = [](const cdtest::request &q, cdtest::reply *r) {
        if (q.flag != "BrowseMetadata") return false;
        std::string body =
            q.object_id == "v1"
                ? item("v1", "v", "Clip", docs::res("http-get:*:video/mp4:*", "http://h/clip.mp4"))
                : folder(q.object_id, "0", "Folder");
        r->body = docs::browse_response(docs::didl(body), 1, 1, 1);
        return true;
    };
    EXPECT_STREQ(kvffa_locator("v1"), "http://h/clip.mp4") << kvffa_last_error();
    EXPECT_EQ(srv.requests().back().flag, "BrowseMetadata");
    EXPECT_EQ(kvffa_locator("v"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "no locator for this path");
    EXPECT_EQ(kvffa_locator(""), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "empty path");
}

TEST_F(DlnaBackend, LongObjectIdsWork) {
    std::string oid = "/srv/" + std::string(700, 'p'), path = "%2Fsrv%2F" + std::string(700, 'p');
    cdtest::fill(srv, oid, 3);
    ASSERT_EQ(kvffa_list(path.c_str()), KVFFA_OK) << kvffa_last_error();
    ASSERT_EQ(kvffa_count(), 3u);
    EXPECT_EQ(std::string(kvffa_item_path(kvffa_item_at(2))), path + "$2");
    EXPECT_EQ(srv.requests().back().object_id, oid);
    std::string too_long(1024, 'x'); // longer than any id a listing carries
    EXPECT_EQ(kvffa_list(too_long.c_str()), KVFFA_E_NOT_FOUND);
    // The bound is on the id, not on its escaped form.
    std::string slashes = docs::repeat("%2F", 1023);
    cdtest::fill(srv, std::string(1023, '/'), 1);
    EXPECT_EQ(kvffa_list(slashes.c_str()), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_list((slashes + "%2F").c_str()), KVFFA_E_NOT_FOUND);
}

// What the backend hands the layer is its own: another browse between the backend's
// answer and the layer's copy cannot change it.
TEST_F(DlnaBackend, PageTextsAreTheBackendsOwn) {
    cdtest::fill(srv, "a", 2);
    cdtest::fill(srv, "b", 2);
    const kvffa_backend *b = kvffa__find("dlna");
    ASSERT_NE(b, nullptr);
    kvffa_item items[4];
    for (kvffa_item &it : items) {
        memset(&it, 0, sizeof it);
        it.struct_size = sizeof it;
    }
    kvffa_page page;
    memset(&page, 0, sizeof page);
    page.struct_size = sizeof page;
    page.items = items;
    page.cap = 4;
    ASSERT_EQ(b->list(b->ctx, "a", &page), KVFFA_OK);
    ASSERT_EQ(page.count, 2u);
    ASSERT_EQ(kvdmc_browse(UDN, "b", 0, 0, 0), 2);
    EXPECT_STREQ(items[1].path, "a$1");
    EXPECT_STREQ(items[1].name, "Track 1");
    EXPECT_STREQ(items[1].locator, "http://10.0.0.9:8200/MediaItems/a$1.mp3");
}

namespace {

// A folder that claims endless children and hands them out one per window.
void endless_folder(cdtest::server &srv, int delay_ms = 0, int cancel_at = -1) {
    srv.script = [delay_ms, cancel_at, &srv](const cdtest::request &q, cdtest::reply *r) {
        if (delay_ms) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        if (cancel_at >= 0 && (int)srv.request_count() >= cancel_at) kvffa_cancel();
        std::string didl = docs::didl(docs::track("e", q.start));
        r->body = docs::browse_response(didl, 1, 2147483647, 1);
        return true;
    };
}

} // namespace

// A child given by name is looked for within the browse cap, the browse time limit and the
// layer's cancel flag; where the look-up stopped is in its text.
TEST_F(DlnaBackend, NameLookupsAreBounded) {
    struct {
        const char *what;
        int max_items, timeout_ms, delay_ms, cancel_at;
        int code;
        const char *text; // part of the failure text
        int most_requests;
    } rows[] = {
        {"cap", 40, 60000, 0, -1, KVFFA_E_NOT_FOUND,
         "no such child among the first 40 children (browse_max_items)", 40},
        {"time", 100000, 1000, 100, -1, KVFFA_E_NOT_FOUND, "children (browse_timeout_ms)", 13},
        {"cancel", 100000, 60000, 0, 5, KVFFA_E_CANCELLED, "cancelled", 6},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(kvdmc_config("browse_max_items", std::to_string(row.max_items).c_str()), 0);
        ASSERT_EQ(kvdmc_config("browse_timeout_ms", std::to_string(row.timeout_ms).c_str()), 0);
        endless_folder(srv, row.delay_ms, row.cancel_at);
        for (int locator = 0; locator < 2; locator++) {
            srv.clear_log();
            bool failed = locator ? kvffa_locator("e/Absent") == nullptr : kvffa_list("e/Absent") == row.code;
            EXPECT_TRUE(failed);
            EXPECT_EQ(kvffa_last_code(), row.code);
            std::string text = kvffa_last_error();
            EXPECT_NE(text.find(row.text), std::string::npos) << text;
            EXPECT_LE(srv.request_count(), (size_t)row.most_requests);
            EXPECT_GE(srv.request_count(), 2u);
        }
    }
    kvdmc_config("browse_max_items", nullptr);
    kvdmc_config("browse_timeout_ms", nullptr);
    // A folder that ends says how many children it had.
    srv.script = nullptr;
    cdtest::fill(srv, "f", 3);
    EXPECT_EQ(kvffa_list("f/Absent"), KVFFA_E_NOT_FOUND);
    EXPECT_STREQ(kvffa_last_error(), "no such child among 3 children");
    EXPECT_STREQ(kvffa_locator("f/Track 2"), "http://10.0.0.9:8200/MediaItems/f$2.mp3");
}

// A listing cut at the browse cap succeeds and says so; a complete one does not.
TEST_F(DlnaBackend, CappedListingSaysSo) {
    cdtest::fill(srv, "c", 10);
    ASSERT_EQ(kvdmc_config("browse_max_items", "4"), 0);
    kvffa_set_page_size(2);
    ASSERT_EQ(kvffa_list_all("c"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 4u);
    EXPECT_EQ(kvffa_more(), 0);
    EXPECT_EQ(kvffa_last_code(), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "listing stopped at 4 entries (browse_max_items)");
    kvdmc_config("browse_max_items", nullptr);
    ASSERT_EQ(kvffa_list_all("c"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 10u);
    EXPECT_STREQ(kvffa_last_error(), "");
}

// An entry whose resource URL is in Latin-1 is listed, its locator percent-encoded.
TEST_F(DlnaBackend, Latin1ResourceUrlsAreKept) {
    srv.folders["l"] = {
        item("l1", "l", "Caf\xE9", docs::res("http-get:*:audio/mpeg:*", "http://h/caf\xE9 1.mp3"))};
    ASSERT_EQ(kvffa_list("l"), KVFFA_OK);
    ASSERT_EQ(kvffa_count(), 1u) << kvffa_last_error();
    EXPECT_STREQ(kvffa_item_locator(kvffa_item_at(0)), "http://h/caf%E9%201.mp3");
    EXPECT_STREQ(kvffa_locator("l/0"), "http://h/caf%E9%201.mp3");
}

// Servers on other stacks use file paths and URLs as object ids: their paths write
// the id's '/' as %2F and its '%' as %25, and every folder below them lists.
TEST_F(DlnaBackend, ObjectIdsWithSlashesAreReachable) {
    struct {
        const char *id, *path;
    } rows[] = {
        {"library://video/", "library:%2F%2Fvideo%2F"},
        {"/srv/media/Big Folder/", "%2Fsrv%2Fmedia%2FBig Folder%2F"},
        {"64$3", "64$3"}, // ids without '/' or '%' are their own path
        {"100%", "100%25"},
        {"a%2Fb/c", "a%252Fb%2Fc"},
    };
    std::vector<std::string> root;
    for (const auto &r : rows) root.push_back(folder(docs::xml_escape(r.id), "0", std::string("F ") + r.id));
    srv.folders["0"] = root;
    ASSERT_EQ(kvffa_list("0"), KVFFA_OK) << kvffa_last_error();
    ASSERT_EQ(kvffa_count(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); i++) {
        const kvffa_item *f = kvffa_item_at((long)i);
        EXPECT_STREQ(kvffa_item_path(f), rows[i].path);
        EXPECT_STREQ(kvffa_item_backend_id(f), rows[i].id); // the id itself, for the host
    }
    for (const auto &r : rows) {
        SCOPED_TRACE(r.id);
        std::string clip = std::string(r.id) + "clip";
        srv.folders[r.id] = {item(clip, r.id, "Clip", docs::res("http-get:*:video/mp4:*", "http://h/c.mp4"))};
        srv.clear_log();
        ASSERT_EQ(kvffa_list(r.path), KVFFA_OK) << kvffa_last_error();
        EXPECT_EQ(srv.requests().back().object_id, r.id);
        ASSERT_EQ(kvffa_count(), 1u);
        std::string clip_path;
        for (char c : clip) clip_path += c == '/' ? "%2F" : c == '%' ? "%25" : std::string(1, c);
        EXPECT_EQ(kvffa_item_path(kvffa_item_at(0)), clip_path);
        EXPECT_STREQ(kvffa_locator((std::string(r.path) + "/0").c_str()), "http://h/c.mp4");
        EXPECT_STREQ(kvffa_locator((std::string(r.path) + "/Clip").c_str()), "http://h/c.mp4");
    }
    // Other '%' sequences, and lower-case escapes, are read as written.
    cdtest::fill(srv, "a%20b", 1);
    ASSERT_EQ(kvffa_list("a%20b"), KVFFA_OK);
    EXPECT_EQ(srv.requests().back().object_id, "a%20b");
    ASSERT_EQ(kvffa_list("library:%2f%2fvideo%2f"), KVFFA_OK);
    EXPECT_EQ(srv.requests().back().object_id, "library://video/");
}
