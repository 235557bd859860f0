// Browse through the public API: paging, the cache, caps, faults and the JSON views,
// against a scripted ContentDirectory that checks every request.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <thread>

#include "helpers/browse_fixture.h"
#include "helpers/docs.h"
#include "kvdmc.h"

using cdtest::reply;
using cdtest::request;

namespace {

const char *UDN = "uuid:srv-1";
const char *CTL = "http://10.0.0.9:8200/ctl/ContentDirectory";

class Browse : public ::testing::Test {
  protected:
    cdtest::server srv;
    quorlin_io io{};

    void SetUp() override {
        kvdmc_config("browse_page", nullptr); // numeric defaults back
        kvdmc_devices_clear();
        kvdmc_cache_clear();
        kvdmc_fake_reset();
        ASSERT_EQ(cdtest::add_server(UDN, "10.0.0.9:8200"), 0) << kvdmc_last_error();
        io = srv.io();
        kvdmc_set_io(&io);
    }
    void TearDown() override { EXPECT_EQ(srv.outstanding(), 0) << "a transport buffer was not released"; }

    std::vector<int> starts() {
        std::vector<int> v;
        for (const request &q : srv.requests()) v.push_back(q.start);
        return v;
    }
};

// A folder of n tracks whose titles end in pad.
void fill_padded(cdtest::server &srv, const std::string &oid, int n, const std::string &pad) {
    std::vector<std::string> &v = srv.folders[oid];
    for (int i = 0; i < n; i++) {
        std::string t = docs::track(oid, i);
        t.insert(t.find("</dc:title>"), pad);
        v.push_back(t);
    }
}

} // namespace

TEST_F(Browse, ArgumentChecksComeBeforeTheLookup) {
    EXPECT_EQ(kvdmc_browse(UDN, "0", 0, -1, 0), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "browse: negative index");
    EXPECT_EQ(kvdmc_browse("uuid:nobody", "0", -1, 0, 0), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "browse: negative index");
    EXPECT_EQ(kvdmc_browse(UDN, nullptr, 0, 0, 0), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "browse: null arg");
    EXPECT_EQ(kvdmc_browse(nullptr, "0", 0, 0, 0), KVDMC_E_ARG);
    EXPECT_EQ(kvdmc_browse("uuid:nobody", "0", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "unknown device uuid:nobody");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UNKNOWN);
    EXPECT_EQ(srv.request_count(), 0u);
}

TEST_F(Browse, PagesOneRequestEachInServerOrder) {
    cdtest::fill(srv, "64$3", 600);
    srv.update_id = 4000000000u;
    ASSERT_EQ(kvdmc_browse("UUID:SRV-1", "64$3", 0, 17, 0), 600) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_last_code(), 0);
    auto log = srv.requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(starts(), (std::vector<int>{0, 256, 512}));
    EXPECT_EQ(log[0].url, CTL);
    EXPECT_EQ(log[0].ct, "text/xml; charset=\"utf-8\"\r\nSOAPACTION: "
                         "\"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"");
    EXPECT_EQ(log[1].body,
              docs::soap_request("Browse", "ContentDirectory:1",
                                 "<ObjectID>64$3</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
                                 "<Filter>*</Filter><StartingIndex>256</StartingIndex><RequestedCount>256"
                                 "</RequestedCount><SortCriteria></SortCriteria>"));
    EXPECT_EQ(kvdmc_item_count(), 600);
    EXPECT_EQ(kvdmc_total_matches(), 600);
    EXPECT_EQ(kvdmc_update_id(), (int)4000000000u);
    for (int i = 0; i < 600; i += 97) {
        std::string id = "64$3$" + std::to_string(i);
        EXPECT_NE(std::string(kvdmc_item_json(i)).find("\"id\":\"" + id + "\""), std::string::npos) << i;
        EXPECT_EQ(std::string(kvdmc_best_res_url(i)), "http://10.0.0.9:8200/MediaItems/" + id + ".mp3");
    }
    // More than one page: nothing was cached.
    ASSERT_EQ(kvdmc_browse(UDN, "64$3", 0, 0, 0), 600);
    EXPECT_EQ(srv.request_count(), 6u);
}

TEST_F(Browse, SinglePageIsCachedUntilItExpires) {
    cdtest::fill(srv, "1", 10);
    ASSERT_EQ(kvdmc_browse(UDN, "1", 0, 0, 0), 10);
    std::string fresh = kvdmc_item_json(3);
    EXPECT_EQ(
        fresh,
        "{\"i\":3,\"id\":\"1$3\",\"parent\":\"1\",\"title\":\"Track 3\",\"class\":"
        "\"object.item.audioItem.musicTrack\",\"folder\":false,\"childcount\":0,\"date\":\"2021-03-04\","
        "\"res\":{\"url\":\"http://10.0.0.9:8200/MediaItems/1$3.mp3\",\"mime\":\"audio/mpeg\",\"size\":"
        "1003,\"duration\":\"0:00:02.000\"},\"subs\":[{\"url\":\"http://10.0.0.9:8200/Captions/1$3.srt\","
        "\"mime\":\"text/srt\"}]}");
    ASSERT_EQ(kvdmc_browse(UDN, "1", 0, 0, 0), 10);
    EXPECT_EQ(srv.request_count(), 1u);
    // A hit gives what the server said.
    EXPECT_EQ(kvdmc_item_json(3), fresh);
    EXPECT_EQ(kvdmc_total_matches(), 10);
    EXPECT_EQ(kvdmc_update_id(), 7);

    // Other starts, and the UDN in another letter case, are separate.
    ASSERT_EQ(kvdmc_browse(UDN, "1", 5, 0, 0), 5);
    ASSERT_EQ(kvdmc_browse(UDN, "1", 5, 0, 0), 5);
    EXPECT_EQ(srv.request_count(), 3u);
    ASSERT_EQ(kvdmc_browse("UUID:SRV-1", "1", 0, 0, 0), 10);
    EXPECT_EQ(srv.request_count(), 4u);

    kvdmc_config("browse_cache_ms", "1");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(kvdmc_browse(UDN, "1", 0, 0, 0), 10);
    EXPECT_EQ(srv.request_count(), 5u);
    // The stale entry went; the fresh result was stored again.
    kvdmc_config("browse_cache_ms", "60000");
    ASSERT_EQ(kvdmc_browse(UDN, "1", 0, 0, 0), 10);
    EXPECT_EQ(srv.request_count(), 5u);
    kvdmc_cache_clear();
    ASSERT_EQ(kvdmc_browse(UDN, "1", 0, 0, 0), 10);
    EXPECT_EQ(srv.request_count(), 6u);
    kvdmc_config("browse_cache_ms", "0");
    ASSERT_EQ(kvdmc_browse(UDN, "1", 0, 0, 0), 10);
    EXPECT_EQ(srv.request_count(), 7u);
}

TEST_F(Browse, EmptyFolderIsCachedToo) {
    srv.folders["empty"] = {};
    ASSERT_EQ(kvdmc_browse(UDN, "empty", 0, 0, 0), 0);
    ASSERT_EQ(kvdmc_browse(UDN, "empty", 0, 0, 0), 0);
    EXPECT_EQ(srv.request_count(), 1u);
    EXPECT_EQ(kvdmc_total_matches(), 0);
}

TEST_F(Browse, NinthEntryPushesOutTheFirst) {
    for (int f = 0; f < 9; f++) cdtest::fill(srv, "f" + std::to_string(f), f);
    for (int f = 0; f < 9; f++) ASSERT_EQ(kvdmc_browse(UDN, ("f" + std::to_string(f)).c_str(), 0, 0, 0), f);
    EXPECT_EQ(srv.request_count(), 9u);
    ASSERT_EQ(kvdmc_browse(UDN, "f1", 0, 0, 0), 1); // still cached
    ASSERT_EQ(kvdmc_browse(UDN, "f0", 0, 0, 0), 0); // empty folder, pushed out
    EXPECT_EQ(srv.request_count(), 10u);
}

TEST_F(Browse, CachedTextTooLongIsNotKept) {
    // About 4.4 KB per child, and at most 50 children per answer (the reader's bound).
    srv.script = [this](const request &q, reply *r) {
        if (q.count <= 50) return false;
        request less = q;
        less.count = 50;
        *r = srv.serve(less);
        return true;
    };
    kvdmc_config("browse_page", "1024");
    std::string pad(4000, 'p');
    fill_padded(srv, "huge", 1000, pad);                                             // over 4 MiB
    for (int f = 0; f < 4; f++) fill_padded(srv, "q" + std::to_string(f), 250, pad); // about 1.1 MB each
    struct {
        const char *oid;
        size_t requests; // in all, after this browse
    } steps[] = {
        {"huge", 20}, {"huge", 40},                         // never kept
        {"q0", 45},   {"q1", 50},   {"q2", 55}, {"q0", 55}, // three fit together
        {"q3", 60},                                         // the fourth pushes out the oldest
        {"q1", 60},   {"q2", 60},   {"q0", 65},
    };
    for (const auto &st : steps) {
        SCOPED_TRACE(st.oid);
        int n = std::string(st.oid) == "huge" ? 1000 : 250;
        ASSERT_EQ(kvdmc_browse(UDN, st.oid, 0, 0, 0), n) << kvdmc_last_error();
        EXPECT_EQ(srv.request_count(), st.requests);
        EXPECT_EQ(std::string(kvdmc_best_res_url(n - 1)), "http://10.0.0.9:8200/MediaItems/" +
                                                              std::string(st.oid) + "$" +
                                                              std::to_string(n - 1) + ".mp3");
    }
}

// A result served from the cache is the one the server sent: the same records, totals
// and update id, so a cast after it describes the media as fully as after a fresh one.
TEST_F(Browse, CachedBrowseGivesWhatTheServerSaid) {
    const char *REN = "uuid:ren-1", *CLIP = "http://10.0.0.9:8200/MediaItems/v$1.mp4";
    srv.folders["v"] = {
        "<container id=\"v$0\" parentID=\"v\" childCount=\"12\"><dc:title>Season 1</dc:title>"
        "<upnp:class>object.container.storageFolder</upnp:class><dc:date>2020-01-02</dc:date></container>",
        "<item id=\"v$1\" parentID=\"v\"><dc:title>Pilot &amp; more</dc:title><upnp:class>"
        "object.item.videoItem.movie</upnp:class><dc:date>2020-01-03</dc:date>" +
            docs::res("http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_HP_HD_AAC;DLNA.ORG_OP=01", CLIP,
                      " size=\"734003200\" duration=\"0:42:10.000\" resolution=\"1920x1080\"") +
            "<sec:CaptionInfoEx "
            "sec:type=\"srt\">http://10.0.0.9:8200/Captions/v$1.srt</sec:CaptionInfoEx></item>",
        docs::track("v", 2)};
    srv.update_id = 41;
    std::string loc = "http://10.0.0.7:49152/desc.xml";
    kvdmc_use_fake();
    ASSERT_EQ(kvdmc_fake_set(loc.c_str(), 200,
                             docs::renderer_description(REN, {{"AVTransport:1", "/avt"}}).c_str()),
              0);
    ASSERT_EQ(kvdmc_fake_ssdp(docs::announce(REN, docs::RENDERER_TYPE, loc).c_str(), "10.0.0.7"), 0);
    kvdmc_set_io(&io);
    ASSERT_EQ(kvdmc_cast_allow(REN), 0);
    srv.script = [](const request &q, reply *r) {
        if (q.action != "SetAVTransportURI") return false;
        r->body = docs::action_response(q.action, "AVTransport:1", "", docs::form::renderer);
        return true;
    };
    struct result {
        int n = 0, total = 0, uid = 0;
        std::vector<std::string> items;
        std::string set_uri; // the request the renderer got
    };
    auto browse_and_cast = [&]() {
        result r;
        r.n = kvdmc_browse(UDN, "v", 0, 0, 0);
        r.total = kvdmc_total_matches();
        r.uid = kvdmc_update_id();
        for (int i = 0; i < r.n; i++) r.items.push_back(kvdmc_item_json(i));
        EXPECT_EQ(kvdmc_cast_set_uri(REN, CLIP, nullptr, nullptr), 0) << kvdmc_last_error();
        r.set_uri = srv.requests().back().body;
        return r;
    };
    result fresh = browse_and_cast(), cached = browse_and_cast();
    kvdmc_cast_clear();
    size_t browses = 0;
    for (const request &q : srv.requests()) browses += q.action == "Browse";
    EXPECT_EQ(browses, 1u);
    ASSERT_EQ(fresh.n, 3);
    EXPECT_EQ(fresh.total, 3);
    EXPECT_EQ(fresh.uid, 41);
    // The page's details are there to lose.
    for (const char *part : {"\"childcount\":12", "\"date\":\"2020-01-02\""})
        EXPECT_NE(fresh.items[0].find(part), std::string::npos) << part;
    for (const char *part :
         {"\"duration\":\"0:42:10.000\"", "\"resolution\":\"1920x1080\"", "Captions/v$1.srt"})
        EXPECT_NE(fresh.items[1].find(part), std::string::npos) << part;
    for (const char *part : {"duration=&quot;0:42:10.000&quot;", "resolution=&quot;1920x1080&quot;"})
        EXPECT_NE(fresh.set_uri.find(part), std::string::npos) << part;
    EXPECT_EQ(cached.n, fresh.n);
    EXPECT_EQ(cached.total, fresh.total);
    EXPECT_EQ(cached.uid, fresh.uid);
    EXPECT_EQ(cached.items, fresh.items);
    EXPECT_EQ(cached.set_uri, fresh.set_uri);
}

// A browse whose later page cannot be read fails: the table never passes for the folder,
// and nothing of it is cached.
TEST_F(Browse, LaterPageThatDoesNotParseFailsTheBrowse) {
    struct {
        const char *why;
        std::string page; // the second page's Result
        int code;
    } rows[] = {
        {"broken off in a tag",
         docs::didl_open() + "<item id=\"x\" parentID=\"p\"><dc:title>a</dc:title></item><item",
         KVDMC_E_PARSE},
        {"quote missing", docs::didl("<item id=\"x\" parentID=\"p><dc:title>a</dc:title></item>"),
         KVDMC_E_PARSE},
        {"text before markup", "&#1;garbled", KVDMC_E_PARSE},
    };
    cdtest::fill(srv, "p", 300);
    cdtest::fill(srv, "before", 5);
    for (const auto &r : rows) {
        SCOPED_TRACE(r.why);
        srv.script = [&r](const request &q, reply *out) {
            if (q.action != "Browse" || q.object_id != "p" || q.start != 256) return false;
            out->body = docs::browse_response(r.page, 44, 300, 7);
            return true;
        };
        kvdmc_cache_clear();
        ASSERT_EQ(kvdmc_browse(UDN, "before", 0, 0, 0), 5);
        srv.clear_log();
        for (int attempt = 0; attempt < 2; attempt++) {
            EXPECT_EQ(kvdmc_browse(UDN, "p", 0, 0, 0), KVDMC_E_UPNP);
            EXPECT_EQ(kvdmc_last_code(), r.code);
            EXPECT_NE(std::string(kvdmc_last_error()).find("didl:"), std::string::npos) << kvdmc_last_error();
            // Never the folder as a success: not all of it, and not its total.
            EXPECT_LT(kvdmc_item_count(), 300);
            EXPECT_NE(kvdmc_total_matches(), 300);
        }
        EXPECT_EQ(starts(), (std::vector<int>{0, 256, 0, 256})); // asked again: nothing was cached
    }
}

TEST_F(Browse, CapsAndUnknownTotals) {
    cdtest::fill(srv, "a", 1000);
    kvdmc_config("browse_max_items", "300");
    EXPECT_EQ(kvdmc_browse(UDN, "a", 0, 0, 0), 512);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CAP);
    EXPECT_EQ(starts(), (std::vector<int>{0, 256}));
    ASSERT_EQ(kvdmc_browse(UDN, "a", 0, 0, 0), 512); // partial results are not cached
    EXPECT_EQ(srv.request_count(), 4u);

    kvdmc_config("browse_max_items", nullptr);
    kvdmc_config("browse_page", "100");
    srv.clear_log();
    srv.total_override = 0;
    cdtest::fill(srv, "u", 250);
    ASSERT_EQ(kvdmc_browse(UDN, "u", 0, 0, 0), 250);
    EXPECT_EQ(starts(), (std::vector<int>{0, 100, 200, 250}));
    EXPECT_EQ(kvdmc_total_matches(), 0);
    EXPECT_EQ(kvdmc_last_code(), 0);

    // More than the table holds.
    srv.total_override = -2;
    kvdmc_config("browse_page", "1024");
    for (int i = 0; i <= 4096; i++)
        srv.folders["huge"].push_back("<item id=\"h" + std::to_string(i) + "\"/>");
    EXPECT_EQ(kvdmc_browse(UDN, "huge", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "DIDL over the item cap");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
    EXPECT_EQ(kvdmc_item_count(), 4096);
}

TEST_F(Browse, FaultsByModeAndStatus) {
    cdtest::fill(srv, "ok", 3);
    // Unknown folders answer 701 with status 500, as real servers do.
    EXPECT_EQ(kvdmc_browse(UDN, "nope", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "UPnP error 701: No such object");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UNKNOWN);

    int status = 200, code = 701;
    srv.script = [&](const request &, reply *r) {
        r->status = status;
        r->body = docs::fault(code, "No such object");
        return true;
    };
    EXPECT_EQ(kvdmc_browse(UDN, "ok", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UNKNOWN);
    EXPECT_EQ(kvdmc_browse(UDN, "ok", 0, 0, 1), KVDMC_E_UPNP);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UPNP);
    code = 720;
    EXPECT_EQ(kvdmc_browse(UDN, "ok", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UPNP);
    status = 403;
    EXPECT_EQ(kvdmc_browse(UDN, "ok", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_EQ(std::string(kvdmc_last_error()), std::string("HTTP 403 from ") + CTL);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_AUTH);

    srv.script = [&](const request &, reply *r) {
        r->status = 500;
        r->body = "<html>busy</html>";
        return true;
    };
    EXPECT_EQ(kvdmc_browse(UDN, "ok", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_NET);
}

TEST_F(Browse, HostileCountsAndFaultCodes) {
    // A server that claims more items than it sends, asked from near the top of the index
    // range: paging stops at the cap instead of wrapping to negative indexes.
    srv.script = [&](const request &, reply *r) {
        r->body = docs::browse_response(docs::didl(docs::track("x", 0)), 10, 0, 1);
        return true;
    };
    EXPECT_EQ(kvdmc_browse(UDN, "x", 2147483642, 0, 0), 1);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CAP);
    for (int start : starts()) EXPECT_GE(start, 0);
    EXPECT_LE(srv.request_count(), 2u);

    // One that claims items on every page but sends none: the first empty page ends the
    // browse, instead of one request per claimed item up to the cap.
    srv.clear_log();
    srv.script = [&](const request &, reply *r) {
        r->body = docs::browse_response(docs::didl_open() + "</DIDL-Lite>", 1, 0, 1);
        return true;
    };
    EXPECT_EQ(kvdmc_browse(UDN, "y", 0, 0, 0), 0);
    EXPECT_EQ(kvdmc_last_code(), 0);
    EXPECT_EQ(srv.request_count(), 1u);

    // A fault code beyond int must not wrap into the "no such object" range.
    srv.script = [&](const request &, reply *r) {
        r->status = 500;
        r->body = docs::fault(701, "x");
        r->body.replace(r->body.find(">701<") + 1, 3, "4294967997");
        return true;
    };
    EXPECT_EQ(kvdmc_browse(UDN, "x", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "UPnP error 4294967997: x");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UPNP);
}

namespace {
// A host transport without free_buf: the texts it hands out are the host's to reclaim.
std::vector<char *> s_kept;
int post_keeping(void *ctx, const char *url, const char *body, const char *ct, char **out_body, int *code,
                 char **out_err) {
    int r = cdtest::server::post_op(ctx, url, body, ct, out_body, code, out_err);
    if (*out_body) s_kept.push_back(*out_body);
    if (*out_err) s_kept.push_back(*out_err);
    return r;
}
} // namespace

TEST_F(Browse, HostRecordWithoutFreeBufDoesNotCrash) {
    cdtest::fill(srv, "ok", 3);
    quorlin_io leaky = srv.io();
    leaky.http_post = post_keeping;
    leaky.free_buf = nullptr;
    kvdmc_set_io(&leaky);
    EXPECT_EQ(kvdmc_browse(UDN, "ok", 0, 0, 0), 3) << kvdmc_last_error();
    for (char *p : s_kept) cdtest::server::release_op(&srv, p);
    s_kept.clear();
}

TEST_F(Browse, MalformedResponses) {
    std::string result;
    srv.script = [&](const request &, reply *r) {
        r->body = result;
        return true;
    };
    // The Result is not DIDL-Lite XML.
    result = docs::browse_response("", 1, 1, 1);
    size_t at = result.find("<Result></Result>");
    result.replace(at, 17, "<Result>&lt;item id=&quot;1&quot;&gt;&lt;&lt;</Result>");
    EXPECT_EQ(kvdmc_browse(UDN, "x", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "didl: xml error near offset 13: malformed tag");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);

    result = "<s:Envelope><s:Body><u:SearchResponse/></s:Body></s:Envelope>";
    EXPECT_EQ(kvdmc_browse(UDN, "x", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "SOAP Browse: no BrowseResponse in the response");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);

    // Counts that are not numbers end the listing after the first page.
    result = docs::browse_response(docs::didl_open() + "<item id=\"1\"/></DIDL-Lite>", 1, 5, 3);
    result.replace(result.find("<NumberReturned>1<"), 18, "<NumberReturned>x<");
    EXPECT_EQ(kvdmc_browse(UDN, "x", 0, 0, 0), 1);
    EXPECT_EQ(srv.request_count(), 3u);
    // A negative count does not walk backwards.
    result.replace(result.find("<NumberReturned>x<"), 18, "<NumberReturned>-5<");
    EXPECT_EQ(kvdmc_browse(UDN, "x", 2, 0, 0), 1);
    EXPECT_EQ(srv.request_count(), 4u);

    // A well-formed first page does not carry a broken second one: the browse fails and
    // nothing of it is cached.
    kvdmc_config("browse_page", "2");
    srv.script = [&](const request &q, reply *r) {
        std::string didl = q.start == 0 ? "<item id=\"1\"/><item id=\"2\"/>" : "<item id=\"3\"><<";
        r->body = docs::browse_response(docs::didl_open() + didl + "</DIDL-Lite>", 2, 4, 1);
        return true;
    };
    for (int attempt = 0; attempt < 2; attempt++) {
        srv.clear_log();
        EXPECT_EQ(kvdmc_browse(UDN, "two", 0, 0, 0), KVDMC_E_UPNP);
        EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
        EXPECT_EQ(starts(), (std::vector<int>{0, 2}));
    }
    kvdmc_config("browse_page", nullptr);
}

// Answers that break off inside an output argument before any of its text (a peer that
// sends garbage, a connection cut mid-body) are failures, not empty folders, and nothing
// of them is cached; a Result cut inside its text is the DIDL reader's to judge.
TEST_F(Browse, ResponsesCutInsideTheResultAreNoFolder) {
    cdtest::fill(srv, "x", 3);
    std::string whole =
        docs::browse_response(docs::didl_open() + docs::track("x", 0) + "</DIDL-Lite>", 1, 1, 1);
    size_t in_result = whole.find("<Result>") + 8;
    const std::string cuts[] = {
        whole.substr(0, in_result),
        whole.substr(0, in_result + 20),
        "<s:Envelope><s:Body><u:BrowseResponse><Result>&lt;DIDL-Lite&gt;&lt;item id=&quot;\x01\xff junk",
        // Garbled into text: a bare '&' is text, so the Result holds words but no markup.
        "<s:Envelope><s:Body><u:BrowseResponse><Result>&#\x07q\xfe",
        "<s:Envelope><s:Body><u:BrowseResponse><Result>&#65;&amp;lt;x",
        docs::browse_response("no markup at all", 0, 0, 1),
    };
    for (const std::string &cut : cuts) {
        SCOPED_TRACE(cut);
        kvdmc_cache_clear();
        srv.script = [&](const request &, reply *r) {
            r->body = cut;
            return true;
        };
        EXPECT_EQ(kvdmc_browse(UDN, "x", 0, 0, 0), KVDMC_E_UPNP);
        EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
        srv.script = nullptr;
        EXPECT_EQ(kvdmc_browse(UDN, "x", 0, 0, 0), 3);
    }
}

TEST_F(Browse, MetadataModeAndEscapedIds) {
    srv.folders["a&b<c>\"d'%20+"] = {docs::track("z", 1)};
    ASSERT_EQ(kvdmc_browse(UDN, "a&b<c>\"d'%20+", 0, 0, 1), 1) << kvdmc_last_error();
    auto log = srv.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].body,
              docs::soap_request("Browse", "ContentDirectory:1",
                                 "<ObjectID>a&amp;b&lt;c&gt;&quot;d&apos;%20+</ObjectID><BrowseFlag>"
                                 "BrowseMetadata</BrowseFlag><Filter>*</Filter><StartingIndex>0"
                                 "</StartingIndex><RequestedCount>1</RequestedCount><SortCriteria>"
                                 "</SortCriteria>"));
    EXPECT_EQ(kvdmc_total_matches(), 1);
    EXPECT_STREQ(kvdmc_item_json(0),
                 "{\"i\":0,\"id\":\"a&b<c>\\\"d'%20+\",\"parent\":\"-1\",\"title\":\"Folder\","
                 "\"class\":\"object.container.storageFolder\",\"folder\":true,"
                 "\"childcount\":1,\"date\":\"\",\"res\":null}");
    ASSERT_EQ(kvdmc_browse(UDN, "a&b<c>\"d'%20+", 0, 0, 0), 1);
    EXPECT_EQ(srv.requests()[1].object_id, "a&b<c>\"d'%20+");
    EXPECT_NE(srv.requests()[1].body.find("<ObjectID>a&amp;b&lt;c&gt;&quot;d&apos;%20+</ObjectID>"),
              std::string::npos);
}

TEST_F(Browse, NewerContentDirectoryOnlyWhenVersionOneIsMissing) {
    ASSERT_EQ(cdtest::add_server("uuid:v3", "10.0.0.7:80", {"ConnectionManager:2", "ContentDirectory:3"}), 0);
    ASSERT_EQ(cdtest::add_server("uuid:both", "10.0.0.8:80", {"ContentDirectory:2", "ContentDirectory:1"}),
              0);
    kvdmc_set_io(&io);
    cdtest::fill(srv, "0", 2);
    ASSERT_EQ(kvdmc_browse("uuid:v3", "0", 0, 0, 0), 2);
    ASSERT_EQ(kvdmc_browse("uuid:both", "0", 0, 0, 0), 2);
    auto log = srv.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].service, "ContentDirectory:3");
    EXPECT_EQ(log[0].url, "http://10.0.0.7:80/ctl/ContentDirectory");
    EXPECT_NE(log[0].body.find("xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:3\""),
              std::string::npos);
    EXPECT_EQ(log[1].service, "ContentDirectory:1");

    ASSERT_EQ(cdtest::add_server("uuid:none", "10.0.0.6:80", {"ConnectionManager:1"}), 0);
    kvdmc_set_io(&io);
    EXPECT_EQ(kvdmc_browse("uuid:none", "0", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "device has no ContentDirectory:1 service");
}

TEST_F(Browse, OversizedPagesAreAskedForInHalves) {
    // About 1.4 KB per item: 256 of them do not fit the reader's bound.
    fill_padded(srv, "fat", 300, std::string(900, 'x'));
    ASSERT_EQ(kvdmc_browse(UDN, "fat", 0, 0, 0), 300) << kvdmc_last_error();
    std::vector<int> counts;
    for (const request &q : srv.requests()) counts.push_back(q.count);
    EXPECT_EQ(counts, (std::vector<int>{256, 128, 128, 128}));
    EXPECT_EQ(starts(), (std::vector<int>{0, 0, 128, 256}));
    EXPECT_STREQ(kvdmc_best_res_url(299), "http://10.0.0.9:8200/MediaItems/fat$299.mp3");

    // A single object too large for the reader fails after asking for one.
    srv.clear_log();
    srv.folders["one"] = {"<item id=\"1\"><dc:title>" + std::string(270000, 'y') + "</dc:title></item>"};
    EXPECT_EQ(kvdmc_browse(UDN, "one", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "xml over 262144 bytes");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
    EXPECT_EQ(srv.requests().back().count, 1);
    EXPECT_EQ(srv.request_count(), 9u);
}

TEST_F(Browse, PagesTheTransportRefusesForTheirSizeAreAskedForInHalves) {
    cdtest::fill(srv, "wide", 150);
    int fits = 64; // the most children an answer may hold before the transport refuses it
    srv.script = [&fits](const request &q, reply *r) {
        if (q.count <= fits) return false;
        r->rc = -1;
        r->err = "response body larger than 8 MiB (8388608 bytes)";
        return true;
    };
    ASSERT_EQ(kvdmc_browse(UDN, "wide", 0, 0, 0), 150) << kvdmc_last_error();
    std::vector<int> counts;
    for (const request &q : srv.requests()) counts.push_back(q.count);
    EXPECT_EQ(counts, (std::vector<int>{256, 128, 64, 64, 64}));
    EXPECT_EQ(starts(), (std::vector<int>{0, 0, 0, 64, 128}));
    EXPECT_STREQ(kvdmc_best_res_url(149), "http://10.0.0.9:8200/MediaItems/wide$149.mp3");

    // A single object over the limit fails as the transport said, after asking for one.
    srv.clear_log();
    kvdmc_cache_clear();
    fits = 0;
    EXPECT_EQ(kvdmc_browse(UDN, "wide", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "transport: response body larger than 8 MiB (8388608 bytes)");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_NET);
    EXPECT_EQ(srv.requests().back().count, 1);
    EXPECT_EQ(srv.request_count(), 9u);
}

// Browses one after the other, of pages longer and shorter than the last: what a page holds
// is only its own, whatever memory it is read into.
TEST_F(Browse, EachPageHoldsOnlyItsOwnText) {
    fill_padded(srv, "big", 600, std::string(200, 'b'));
    cdtest::fill(srv, "small", 300);
    for (int round = 0; round < 2; round++) {
        ASSERT_EQ(kvdmc_browse(UDN, "big", 0, 0, 0), 600) << kvdmc_last_error();
        EXPECT_NE(std::string(kvdmc_item_json(599)).find("Track 599" + std::string(200, 'b') + "\""),
                  std::string::npos)
            << "round " << round;
        EXPECT_STREQ(kvdmc_best_res_url(599), "http://10.0.0.9:8200/MediaItems/big$599.mp3");
        ASSERT_EQ(kvdmc_browse(UDN, "small", 0, 0, 0), 300) << kvdmc_last_error();
        for (int i = 0; i < 300; i += 37) {
            std::string json = kvdmc_item_json(i);
            EXPECT_NE(json.find("\"title\":\"Track " + std::to_string(i) + "\""), std::string::npos) << json;
            EXPECT_EQ(json.find("bbb"), std::string::npos) << json;
        }
        EXPECT_STREQ(kvdmc_best_res_url(299), "http://10.0.0.9:8200/MediaItems/small$299.mp3");
    }
}

TEST_F(Browse, DeviceJsonAndDescriptionParsing) {
    ASSERT_EQ(kvdmc_device_count(), 1);
    std::string js = kvdmc_device_json(0);
    size_t a = js.find("\"expires_ms\":");
    ASSERT_NE(a, std::string::npos);
    long long left = atoll(js.c_str() + a + 13);
    EXPECT_LE(left, 1800000);
    EXPECT_GT(left, 1790000);
    size_t b = js.find(',', a);
    js.replace(a, b - a, "\"expires_ms\":X");
    EXPECT_EQ(js, "{\"udn\":\"uuid:srv-1\",\"kind\":1,\"name\":\"Test Server\",\"manufacturer\":\"Acme\","
                  "\"model\":\"Box 2\",\"location\":\"http://10.0.0.9:8200/rootDesc.xml\",\"device_type\":"
                  "\"urn:schemas-upnp-org:device:MediaServer:1\",\"expires_ms\":X,\"services\":[{\"type\":"
                  "\"urn:schemas-upnp-org:service:ConnectionManager:1\",\"control\":"
                  "\"http://10.0.0.9:8200/ctl/ConnectionManager\"},{\"type\":"
                  "\"urn:schemas-upnp-org:service:ContentDirectory:1\",\"control\":"
                  "\"http://10.0.0.9:8200/ctl/ContentDirectory\"}]}");

    EXPECT_STREQ(kvdmc_device_json(1), "");
    EXPECT_STREQ(kvdmc_last_error(), "device_json: index out of range");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_device_json(-1), "");

    std::string name(100, 'n');
    std::string desc = docs::server_description("uuid:solo", {}, name + "\"\t");
    ASSERT_EQ(kvdmc_parse_description(desc.c_str(), "http://h:1/d.xml"), 0);
    EXPECT_EQ(std::string(kvdmc_last_json()),
              "{\"udn\":\"uuid:solo\",\"kind\":0,\"name\":\"" + name +
                  "\\\"\\t\",\"manufacturer\":\"Acme\",\"model\":\"Box 2\",\"location\":\"http://h:1/d.xml\","
                  "\"device_type\":\"urn:schemas-upnp-org:device:MediaServer:1\",\"expires_ms\":-1,"
                  "\"services\":[]}");
    EXPECT_EQ(kvdmc_last_code(), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);

    std::string no_udn = "<root><device><deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>"
                         "<friendlyName>x</friendlyName></device></root>";
    EXPECT_EQ(kvdmc_parse_description(no_udn.c_str(), ""), KVDMC_E_PARSE);
    EXPECT_STREQ(kvdmc_last_error(), "parse_description: description has no UDN");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
    EXPECT_EQ(kvdmc_parse_description(nullptr, ""), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "parse_description: null arg");
}
