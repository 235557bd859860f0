// Hostile and broken devices: what a device on the LAN can send must not stall the
// library, take over another device, make the library post elsewhere, hold a browse
// for ever, or get invalid text to the host.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <rapidjson/document.h>

#include "helpers/browse_fixture.h"
#include "helpers/cast_script.h"
#include "base/config.h"
#include "helpers/docs.h"
#include "upnp/discover.h"
#include "base/exports.h"
#include "kvdmc.h"

using namespace docs;

namespace {

const char *LOC_A = "http://10.0.0.2:8200/a.xml";
const char *LOC_B = "http://10.0.0.3:8200/b.xml";
const char *LOC_EVIL = "http://10.0.0.66:80/evil.xml";

bool valid_utf8_json(const char *s) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(s);
    return !d.HasParseError();
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        kvdmc_use_fake();
        kvdmc_fake_reset();
        kvdmc_devices_clear();
        kvdmc_cache_clear();
        kvdmc_config("device_max", nullptr); // numeric defaults back
    }
    void TearDown() override {
        kvdmc_config("device_max", nullptr);
        kvdmc_devices_clear();
        kvdmc_fake_reset();
        kvdmc_set_io(nullptr);
    }
    static int announce(const std::string &usn, const char *loc) {
        return kvdmc_fake_ssdp(alive(usn, loc).c_str(), "10.0.0.1");
    }
    static std::string row_location(const char *udn) {
        int i = kvdmc_find_device(udn);
        if (i < 0) return "";
        plat_guard g(&g_lock);
        return g_dev[i].location;
    }
};

} // namespace

TEST_F(Hostile, FullTableRefusesUnknownDevicesBeforeFetching) {
    ASSERT_EQ(kvdmc_config("device_max", "2"), 0);
    kvdmc_fake_set(LOC_A, 200, description("uuid:a", SERVER_TYPE).c_str());
    kvdmc_fake_set(LOC_B, 200, description("uuid:b", RENDERER_TYPE).c_str());
    ASSERT_EQ(announce("uuid:a", LOC_A), 0);
    ASSERT_EQ(announce("uuid:b", LOC_B), 0);
    for (int i = 0; i < 50; i++) {
        std::string loc = "http://10.0.1." + std::to_string(i) + "/d.xml";
        kvdmc_fake_set(loc.c_str(), 200, description("uuid:n" + std::to_string(i), SERVER_TYPE).c_str());
        EXPECT_EQ(announce("uuid:n" + std::to_string(i), loc.c_str()), KVDMC_E_PARSE);
    }
    EXPECT_STREQ(kvdmc_last_error(), "device cache full (2)");
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 2u) << "only the two admitted devices were fetched";
    EXPECT_EQ(kvdmc_device_count(), 2);
}

TEST_F(Hostile, DeviceAnnouncedUnderAnotherKeyRefreshesWithoutFetching) {
    ASSERT_EQ(kvdmc_config("device_max", "1"), 0);
    kvdmc_fake_set(LOC_A, 200, description("uuid:real", SERVER_TYPE).c_str());
    ASSERT_EQ(announce("uuid:announced::upnp:rootdevice", LOC_A), 0);
    for (int i = 0; i < 5; i++) ASSERT_EQ(announce("uuid:announced::upnp:rootdevice", LOC_A), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC_A), 1u);
    EXPECT_EQ(kvdmc_find_device("uuid:real"), 0);
}

TEST_F(Hostile, ClaimedUdnIsNotTakenOver) {
    kvdmc_fake_set(LOC_A, 200, description("uuid:renderer", RENDERER_TYPE, "Living room").c_str());
    ASSERT_EQ(announce("uuid:renderer", LOC_A), 0);
    // Another device describes itself with the renderer's UDN.
    kvdmc_fake_set(LOC_EVIL, 200, description("uuid:renderer", RENDERER_TYPE, "Impostor").c_str());
    EXPECT_EQ(announce("uuid:impostor", LOC_EVIL), KVDMC_E_PARSE);
    EXPECT_STREQ(kvdmc_last_error(), "UDN uuid:renderer already claimed by another device");
    EXPECT_EQ(row_location("uuid:renderer"), LOC_A);
    EXPECT_EQ(kvdmc_device_count(), 1);
}

// An announcement of a known device's own USN with a new LOCATION moves the row only when
// the device has left its old one: no longer answering there, or answering as another
// device. The old LOCATION is asked each time; the new one only for a real move.
TEST_F(Hostile, SameUsnMovesTheRowOnlyWhenTheDeviceHasLeft) {
    struct {
        const char *old_place; // what the old LOCATION does when asked again
        bool moves;
    } rows[] = {{"serves", false}, {"fails", true}, {"other udn", true}, {"not media", true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.old_place);
        kvdmc_devices_clear();
        kvdmc_fake_reset();
        kvdmc_fake_set(LOC_A, 200, description("uuid:renderer", RENDERER_TYPE, "Living room").c_str());
        ASSERT_EQ(announce("uuid:renderer", LOC_A), 0);
        kvdmc_fake_set(LOC_EVIL, 200, description("uuid:renderer", RENDERER_TYPE, "Impostor").c_str());
        if (!strcmp(row.old_place, "fails")) kvdmc_fake_fail(LOC_A, "connection refused");
        if (!strcmp(row.old_place, "other udn"))
            kvdmc_fake_set(LOC_A, 200, description("uuid:someone-else", RENDERER_TYPE).c_str());
        if (!strcmp(row.old_place, "not media"))
            kvdmc_fake_set(LOC_A, 200, description("uuid:renderer", "urn:x:device:Printer:1").c_str());
        int rc = announce("uuid:renderer", LOC_EVIL);
        EXPECT_EQ(kvdmc_fake_calls(LOC_EVIL), row.moves ? 1u : 0u);
        if (row.moves) {
            EXPECT_EQ(rc, 0) << kvdmc_last_error();
            EXPECT_EQ(row_location("uuid:renderer"), LOC_EVIL);
        } else {
            EXPECT_EQ(rc, KVDMC_E_PARSE);
            EXPECT_EQ(std::string(kvdmc_last_error()),
                      std::string("device uuid:renderer still answers at ") + LOC_A);
            EXPECT_EQ(row_location("uuid:renderer"), LOC_A);
            // Repeating it changes nothing.
            EXPECT_EQ(announce("uuid:renderer", LOC_EVIL), KVDMC_E_PARSE);
            EXPECT_EQ(row_location("uuid:renderer"), LOC_A);
            EXPECT_EQ(kvdmc_fake_calls(LOC_A), 3u);
        }
        EXPECT_EQ(kvdmc_device_count(), 1);
    }
}

namespace {

// A transport whose description fetch blocks until released, like a device that
// accepts the connection and never answers.
struct stalled_io {
    std::mutex mu;
    std::condition_variable cv;
    bool release = false;
    std::atomic<int> gets{0};
    std::string body;

    quorlin_io record() {
        quorlin_io r{};
        r.ctx = this;
        r.http_get = [](void *ctx, const char *, char **out, int *code, char **) {
            stalled_io *s = (stalled_io *)ctx;
            s->gets++;
            std::unique_lock<std::mutex> l(s->mu);
            s->cv.wait_for(l, std::chrono::seconds(20), [s] { return s->release; });
            *out = strdup(s->body.c_str());
            *code = 200;
            return 0;
        };
        r.free_buf = [](void *, void *p) { free(p); };
        return r;
    }
    void open() {
        std::lock_guard<std::mutex> g(mu);
        release = true;
        cv.notify_all();
    }
};

} // namespace

TEST_F(Hostile, StalledDescriptionFetchHoldsUpOnlyItsCaller) {
    stalled_io st;
    st.body = description("uuid:slow", SERVER_TYPE);
    quorlin_io rec = st.record();
    ASSERT_EQ(kvdmc_set_io(&rec), 0);
    std::thread announcer([] { EXPECT_EQ(announce("uuid:slow", LOC_A), 0); });
    for (int i = 0; i < 2000 && st.gets == 0; i++) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(st.gets, 1);
    // The fetch is stalled; the table answers other threads meanwhile, and a repeated
    // announcement of the same device does not start a second fetch.
    EXPECT_EQ(kvdmc_device_count(), 0);
    EXPECT_EQ(kvdmc_find_device("uuid:slow"), -1);
    EXPECT_EQ(announce("uuid:slow", LOC_A), 0);
    EXPECT_EQ(st.gets, 1);
    st.open();
    announcer.join();
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_EQ(st.gets, 1);
}

TEST_F(Hostile, RequestsGoOnlyToTheDevicesHost) {
    struct {
        const char *control;
        bool allowed;
    } cases[] = {
        {"/ctl/cds", true},
        {"http://10.0.0.2:9999/ctl", true},      // another port of the same host
        {"HTTP://10.0.0.2/ctl", true},           // case does not matter
        {"http://x@10.0.0.2/ctl", true},         // user info is not the host
        {"http://127.0.0.1:8080/admin", false},  // a service of the host running the library
        {"http://10.0.0.2@10.9.9.9/ctl", false}, // the host after the user info counts
        {"http://10.0.0.20/ctl", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.control);
        kvdmc_devices_clear();
        kvdmc_fake_reset();
        kvdmc_fake_set(LOC_A, 200,
                       description("uuid:s", SERVER_TYPE, "S", service_xml(CDS_TYPE, c.control)).c_str());
        ASSERT_EQ(announce("uuid:s", LOC_A), 0);
        int r = kvdmc_browse("uuid:s", "0", 0, 0, 0);
        EXPECT_EQ(r, KVDMC_E_UPNP);
        std::string err = kvdmc_last_error();
        if (c.allowed) {
            // The fake transport has no answer there: the request was made.
            EXPECT_EQ(err, "transport: fake: no route for this URL");
        } else {
            EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
            EXPECT_EQ(err, std::string("control URL ") + c.control + " is not on the device's host");
        }
    }
    // The description itself is still shown as written.
    int i = kvdmc_find_device("uuid:s");
    ASSERT_GE(i, 0);
    EXPECT_NE(std::string(kvdmc_device_json(i)).find("http://10.0.0.20/ctl"), std::string::npos);
}

TEST_F(Hostile, EndlessSlowFolderStopsAtTheBrowseDeadline) {
    cdtest::server srv;
    srv.script = [](const cdtest::request &q, cdtest::reply *r) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        std::string didl = docs::didl_open() + docs::track("0", q.start) + "</DIDL-Lite>";
        r->body = docs::browse_response(didl, 1, 2147483647, 1);
        return true;
    };
    ASSERT_EQ(cdtest::add_server("uuid:endless", "10.0.0.9:8200"), 0);
    quorlin_io io = srv.io();
    kvdmc_set_io(&io);
    ASSERT_EQ(kvdmc_config("browse_timeout_ms", "1000"), 0);
    int n = kvdmc_browse("uuid:endless", "0", 0, 0, 0);
    EXPECT_GE(n, 1);
    EXPECT_LT(n, 100);
    EXPECT_EQ(kvdmc_item_count(), n);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CAP);
    EXPECT_STREQ(kvdmc_last_error(), "browse time limit reached");
    EXPECT_EQ(srv.request_count(), (size_t)n);
    // The key is clamped like the others and restored with them.
    EXPECT_EQ(kvdmc_config("browse_timeout_ms", "5"), 0);
    EXPECT_EQ(g_cfg.browse_timeout_ms, 1000);
    EXPECT_EQ(kvdmc_config("browse_timeout_ms", "99999999"), 0);
    EXPECT_EQ(g_cfg.browse_timeout_ms, 600000);
    EXPECT_EQ(kvdmc_config("browse_timeout_ms", nullptr), 0);
    EXPECT_EQ(g_cfg.browse_timeout_ms, 60000);
    EXPECT_EQ(srv.outstanding(), 0);
}

TEST_F(Hostile, SignedRendererTimesAreMalformed) {
    const char *udn = "uuid:rend-sign";
    ASSERT_EQ(kvdmc_fake_set("http://192.0.2.9/d.xml", 200,
                             renderer_description(udn, {{"AVTransport:1", "/avt"}}).c_str()),
              0);
    ASSERT_EQ(
        kvdmc_fake_ssdp(docs::announce(udn, RENDERER_TYPE, "http://192.0.2.9/d.xml").c_str(), "192.0.2.9"),
        0);
    for (auto times : {std::pair<const char *, const char *>{"-1:00:00", "0:10:00"},
                       {"0:00:05", "+0:10:00"},
                       {"0:-5:00", "0:10:00"}}) {
        SCOPED_TRACE(times.first);
        kvdmc_fake_set("http://192.0.2.9:80/avt", 200,
                       cast_script::ok("GetPositionInfo", "AVTransport:1",
                                       std::string("<RelTime>") + times.first + "</RelTime><TrackDuration>" +
                                           times.second + "</TrackDuration>")
                           .body.c_str());
        int pos = 7, dur = 7;
        EXPECT_EQ(kvdmc_cast_position(udn, &pos, &dur), KVDMC_E_PARSE);
        EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
        EXPECT_NE(strstr(kvdmc_last_error(), "bad"), nullptr) << kvdmc_last_error();
    }
}

TEST_F(Hostile, TextsReachTheHostAsValidUtf8) {
    // A name that fills its field up to the middle of a character, and one in Latin-1.
    std::string cut_name = std::string(119, 'n') + "\xE2\x82\xAC";
    kvdmc_fake_set(LOC_A, 200, description("uuid:u1", SERVER_TYPE, cut_name).c_str());
    kvdmc_fake_set(LOC_B, 200, description("uuid:u2", SERVER_TYPE, "Caf\xE9 Stereo").c_str());
    ASSERT_EQ(announce("uuid:u1", LOC_A), 0);
    ASSERT_EQ(announce("uuid:u2", LOC_B), 0);
    std::string j1 = kvdmc_device_json(kvdmc_find_device("uuid:u1"));
    std::string j2 = kvdmc_device_json(kvdmc_find_device("uuid:u2"));
    EXPECT_TRUE(valid_utf8_json(j1.c_str())) << j1;
    EXPECT_NE(j1.find("\"name\":\"" + std::string(119, 'n') + "\""), std::string::npos) << j1;
    EXPECT_TRUE(valid_utf8_json(j2.c_str())) << j2;
    EXPECT_NE(j2.find("Caf\xEF\xBF\xBD Stereo"), std::string::npos) << j2;

    // Items: titles cut to their field and bytes that are no UTF-8.
    std::string didl = "<DIDL-Lite><item id=\"1\" parentID=\"0\"><dc:title>" + std::string(249, 't') +
                       "\xC3\xA9</dc:title></item><item id=\"2\" parentID=\"0\"><dc:title>\xFF\xFE ok "
                       "\xED\xA0\x80</dc:title></item></DIDL-Lite>";
    ASSERT_EQ(kvdmc_parse_didl(didl.c_str()), 0);
    EXPECT_TRUE(valid_utf8_json(kvdmc_last_json())) << kvdmc_last_json();
    for (int i = 0; i < 2; i++) EXPECT_TRUE(valid_utf8_json(kvdmc_item_json(i))) << kvdmc_item_json(i);
}

TEST_F(Hostile, LongObjectIdsAreKeptWholeOrSkipped) {
    std::string id1023(1023, 'i'), parent1023(1023, 'p'), id1024(1024, 'x');
    std::string didl = "<DIDL-Lite><container id=\"" + id1023 + "\" parentID=\"" + parent1023 +
                       "\"><dc:title>Deep</dc:title></container><item id=\"" + id1024 +
                       "\" parentID=\"0\"><dc:title>Too long</dc:title></item><item id=\"ok\" parentID=\"" +
                       id1024 +
                       "\"><dc:title>Parent too long</dc:title></item><item id=\"k\" "
                       "parentID=\"0\"><dc:title>Kept</dc:title></item></DIDL-Lite>";
    ASSERT_EQ(kvdmc_parse_didl(didl.c_str()), 0) << kvdmc_last_error();
    ASSERT_EQ(kvdmc_item_count(), 2);
    std::string j = kvdmc_item_json(0);
    EXPECT_NE(j.find("\"id\":\"" + id1023 + "\""), std::string::npos);
    EXPECT_NE(j.find("\"parent\":\"" + parent1023 + "\""), std::string::npos);
    EXPECT_NE(std::string(kvdmc_item_json(1)).find("\"title\":\"Kept\""), std::string::npos);

    // Browsing such a folder sends its id whole, and its result is cached under it.
    cdtest::server srv;
    std::string oid = "%2Fmedia%2F" + std::string(600, 'd');
    cdtest::fill(srv, oid, 3);
    ASSERT_EQ(cdtest::add_server("uuid:paths", "10.0.0.9:8200"), 0);
    quorlin_io io = srv.io();
    kvdmc_set_io(&io);
    ASSERT_EQ(kvdmc_browse("uuid:paths", oid.c_str(), 0, 0, 0), 3) << kvdmc_last_error();
    ASSERT_EQ(srv.request_count(), 1u);
    EXPECT_EQ(srv.requests()[0].object_id, oid);
    ASSERT_EQ(kvdmc_browse("uuid:paths", oid.c_str(), 0, 0, 0), 3);
    EXPECT_EQ(srv.request_count(), 1u) << "the second browse is served from the cache";
    ASSERT_EQ(kvdmc_browse("uuid:paths", (oid + "x").c_str(), 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_EQ(srv.outstanding(), 0);
}

TEST_F(Hostile, OversizedPagesStopAtTheBrowseDeadline) {
    // Every page of more than one object is too large for the reader, and each answer is
    // slow: the halving goes on only while the browse has time left.
    std::string fat = docs::didl("<item id=\"f\" parentID=\"0\"><dc:title>" + std::string(270000, 'f') +
                                 "</dc:title></item>");
    cdtest::server srv;
    srv.script = [&](const cdtest::request &q, cdtest::reply *r) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        bool fits = q.count <= 1 || (q.start == 0 && q.object_id == "later");
        std::string didl = fits ? docs::didl(docs::track("0", q.start)) : fat;
        r->body = docs::browse_response(didl, 1, 1000, 1);
        return true;
    };
    ASSERT_EQ(cdtest::add_server("uuid:fat", "10.0.0.9:8200"), 0);
    quorlin_io io = srv.io();
    kvdmc_set_io(&io);
    ASSERT_EQ(kvdmc_config("browse_timeout_ms", "1000"), 0);
    // The first page never came: the browse fails.
    EXPECT_EQ(kvdmc_browse("uuid:fat", "0", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "browse time limit reached");
    EXPECT_LE(srv.request_count(), 6u) << "9 requests without the deadline";
    // A later page that never came: what the earlier pages brought stays, as at the cap.
    srv.clear_log();
    EXPECT_EQ(kvdmc_browse("uuid:fat", "later", 0, 0, 0), 1);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CAP);
    EXPECT_STREQ(kvdmc_last_error(), "browse time limit reached");
    EXPECT_LE(srv.request_count(), 6u);
    kvdmc_config("browse_timeout_ms", nullptr);
    EXPECT_EQ(srv.outstanding(), 0);
}

// Resource and subtitle URLs as servers write them (Latin-1 file names, spaces, line
// breaks around the URL) are kept as valid text naming the same resource.
TEST_F(Hostile, ResourceUrlsAreValidText) {
    struct {
        const char *written, *kept;
    } rows[] = {
        {"http://h/caf\xE9 1.mp3", "http://h/caf%E9%201.mp3"},
        {"\n  http://h/a.mp3\r\n ", "http://h/a.mp3"},
        {"http://h/\x01\x7F\xC3\xA9", "http://h/%01%7F%C3%A9"},
        {"http://h/x%20y?a=b&amp;c=%E9", "http://h/x%20y?a=b&c=%E9"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.kept);
        std::string didl = docs::didl("<item id=\"1\" parentID=\"0\"><dc:title>t</dc:title>" +
                                      res("http-get:*:audio/mpeg:*", row.written) +
                                      res("http-get:*:text/srt:*", row.written) + "<sec:CaptionInfoEx>" +
                                      row.written + "</sec:CaptionInfoEx></item>");
        ASSERT_EQ(kvdmc_parse_didl(didl.c_str()), 0) << kvdmc_last_error();
        EXPECT_STREQ(kvdmc_best_res_url(0), row.kept);
        std::string j = kvdmc_item_json(0);
        EXPECT_TRUE(valid_utf8_json(j.c_str())) << j;
        size_t at = 0, n = 0;
        while ((at = j.find(std::string("\"") + row.kept + "\"", at)) != std::string::npos) at++, n++;
        EXPECT_EQ(n, 3u) << j; // the resource and both subtitles
    }
    // A URL too long for its field once encoded is not kept at all (a cut one names another
    // resource): the next resource that fits wins, the subtitle goes.
    std::string longer = "http://h/" + std::string(1010, 'a') + "\xE9\xE9\xE9\xE9\xE9.mp3";
    std::string didl = docs::didl("<item id=\"1\"><dc:title>t</dc:title>" +
                                  res("http-get:*:a/b:*", longer.c_str(), " size=\"9\"") +
                                  res("http-get:*:text/srt:*", longer.c_str()) +
                                  res("http-get:*:a/b:*", "http://h/small.mp3", " size=\"1\"") + "</item>");
    ASSERT_EQ(kvdmc_parse_didl(didl.c_str()), 0);
    EXPECT_STREQ(kvdmc_best_res_url(0), "http://h/small.mp3");
    EXPECT_EQ(std::string(kvdmc_item_json(0)).find("aaaa"), std::string::npos);
}
