// The host's source handler, through the public header only: settings, listings as
// JSON, stream URLs, buffers too small, transports per thread, answers that always
// describe the folder asked for.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "helpers/browse_fixture.h"
#include "helpers/docs.h"
#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const char *UDN = "uuid:hsrv";
const char *SETTINGS = "{\"UDN\":\"uuid:hsrv\"}";

class Handler : public ::testing::Test {
  protected:
    const kvrch_handler *h = kvrch_get();
    cdtest::server srv;
    quorlin_io io{};
    char out[65536];

    void SetUp() override {
        kvdmc_config("browse_page", nullptr);
        kvdmc_devices_clear();
        kvdmc_cache_clear();
        kvdmc_fake_reset();
        ASSERT_EQ(cdtest::add_server(UDN, "10.0.0.9:8200"), 0) << kvdmc_last_error();
        io = srv.io();
    }
    void TearDown() override { EXPECT_EQ(srv.outstanding(), 0); }
    int list(const char *settings, const char *folder, int cap = (int)sizeof(Handler::out)) {
        return h->list(&io, settings, folder, out, cap);
    }
};

rapidjson::Document parse(const char *json) {
    rapidjson::Document d;
    d.Parse<rapidjson::kParseValidateEncodingFlag>(json);
    EXPECT_FALSE(d.HasParseError()) << json;
    return d;
}

} // namespace

TEST_F(Handler, RecordAndSettings) {
    EXPECT_EQ(kvdmc_kvrch(), h);
    EXPECT_STREQ(h->runtime_type, "DLNA");
    EXPECT_EQ(h->caps, 0x23u);
    ASSERT_EQ(h->validate(nullptr, "{\"UDN\":\"uuid:a\",\"x\":1}", out, sizeof out), KVRCH_OK);
    EXPECT_STREQ(out, "{\"RuntimeType\":\"DLNA\",\"UDN\":\"uuid:a\"}");
    EXPECT_EQ(h->validate(nullptr, SETTINGS, nullptr, 0), KVRCH_OK);
    char small[10] = "junk";
    EXPECT_EQ(h->validate(nullptr, SETTINGS, small, sizeof small), KVRCH_E_BUFFER);
    EXPECT_STREQ(small, "");
    EXPECT_STREQ(kvdmc_last_error(), "output buffer too small");
    EXPECT_EQ(h->validate(nullptr, "{\"udn\":\"uuid:a\"}", out, sizeof out), KVRCH_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "DLNA settings need UDN");
    EXPECT_EQ(h->validate(nullptr, "[1]", out, sizeof out), KVRCH_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "settings_json is not a JSON object");
    EXPECT_EQ(h->validate(nullptr, "{\"UDN\":\"uuid:a\"} x", out, sizeof out), KVRCH_E_CONFIG);
    // A text that ends inside a UTF-8 sequence is refused without reading past its end.
    const std::string cut = "{\"UDN\":\"uuid:a\xF4";
    EXPECT_EQ(h->validate(nullptr, cut.c_str(), out, sizeof out), KVRCH_E_CONFIG);
    EXPECT_EQ(h->validate(nullptr, "{\"UDN\":\"caf\xE9\"}", out, sizeof out), KVRCH_E_CONFIG);
    EXPECT_EQ(h->download(&io, SETTINGS, "{}", out, sizeof out), KVRCH_E_NOTSUPPORTED);
    EXPECT_STREQ(kvdmc_last_error(), "DLNA sources do not download");
}

TEST_F(Handler, ListsTheFolderAskedFor) {
    cdtest::fill(srv, "0", 2);
    srv.folders["64"] = {"<container id=\"64$0\" parentID=\"64\"><dc:title>Box</dc:title>"
                         "<upnp:class>object.container</upnp:class></container>",
                         "<item id=\"64$1\" parentID=\"64\"><dc:title>Caf\xE9 \xFF</dc:title><res "
                         "protocolInfo=\"http-get:*:audio/mpeg:*\">http://h/1.mp3</res></item>"};
    srv.folders["empty"] = {};
    ASSERT_EQ(list(SETTINGS, ""), KVRCH_OK) << kvdmc_last_error();
    EXPECT_EQ(srv.requests().back().object_id, "0");
    rapidjson::Document d = parse(out);
    ASSERT_TRUE(d.IsArray());
    ASSERT_EQ(d.Size(), 2u);
    EXPECT_STREQ(d[1]["name"].GetString(), "Track 1");
    EXPECT_EQ(d[1]["size"].GetInt(), 1001);
    EXPECT_STREQ(d[1]["locator"].GetString(), "http://10.0.0.9:8200/MediaItems/0$1.mp3");

    // The settings' folder, and a folder_id over it.
    ASSERT_EQ(list("{\"UDN\":\"uuid:hsrv\",\"ObjectID\":\"empty\"}", nullptr), KVRCH_OK);
    EXPECT_STREQ(out, "[]");
    ASSERT_EQ(list("{\"UDN\":\"uuid:hsrv\",\"ObjectID\":\"empty\"}", "64"), KVRCH_OK);
    // A container has no size and no locator; a title that is not UTF-8 reads as U+FFFD,
    // and a resource without a size attribute has none.
    EXPECT_STREQ(
        out,
        "[{\"name\":\"Box\",\"path\":\"64$0\",\"folder\":true,\"size\":-1,\"backend_id\":\"64$0\","
        "\"locator\":\"\"},{\"name\":\"Caf\xEF\xBF\xBD \xEF\xBF\xBD\",\"path\":\"64$1\",\"folder\":false,"
        "\"size\":-1,\"backend_id\":\"64$1\",\"locator\":\"http://h/1.mp3\"}]");
    parse(out);

    // An entry of the listing gives its stream URL, found by id, backend_id or path.
    ASSERT_EQ(h->stream_url(&io, SETTINGS, "{\"id\":\"\",\"path\":\"64$1\"}", out, sizeof out), KVRCH_OK);
    EXPECT_STREQ(out, "{\"url\":\"http://h/1.mp3\"}");
    EXPECT_EQ(h->stream_url(&io, SETTINGS, "{\"id\":\"64$0\"}", out, sizeof out), KVRCH_E_NOTFOUND);
    EXPECT_STREQ(kvdmc_last_error(), "entry id not in the last listing (browse first)");
    char small[8];
    EXPECT_EQ(h->stream_url(&io, SETTINGS, "{\"backend_id\":\"64$1\"}", small, sizeof small), KVRCH_E_BUFFER);
    EXPECT_EQ(h->stream_url(&io, SETTINGS, "not json", out, sizeof out), KVRCH_E_CONFIG);
    // After a listing of another folder the entry is gone.
    ASSERT_EQ(list(SETTINGS, "0"), KVRCH_OK);
    EXPECT_EQ(h->stream_url(&io, SETTINGS, "{\"id\":\"64$1\"}", out, sizeof out), KVRCH_E_NOTFOUND);
}

TEST_F(Handler, BuffersAndFailures) {
    cdtest::fill(srv, "0", 3);
    ASSERT_EQ(list(SETTINGS, "0"), KVRCH_OK);
    size_t need = strlen(out) + 1;
    char exact[4096];
    ASSERT_EQ(h->list(&io, SETTINGS, "0", exact, (int)need), KVRCH_OK);
    EXPECT_EQ(h->list(&io, SETTINGS, "0", exact, (int)need - 1), KVRCH_E_BUFFER);
    EXPECT_STREQ(exact, "");
    EXPECT_EQ(std::string(kvdmc_last_error()),
              "output buffer too small: need " + std::to_string(need) + " bytes");
    // No buffer at all: the host learns the size it needs.
    EXPECT_EQ(h->list(&io, SETTINGS, "0", nullptr, 0), KVRCH_E_BUFFER);
    EXPECT_EQ(std::string(kvdmc_last_error()),
              "output buffer too small: need " + std::to_string(need) + " bytes");

    EXPECT_EQ(list("{}", "0"), KVRCH_E_CONFIG);
    EXPECT_STREQ(kvdmc_last_error(), "DLNA settings need UDN");
    EXPECT_EQ(list("{\"UDN\":\"uuid:nobody\"}", "0"), KVRCH_E_NOTFOUND);
    EXPECT_STREQ(kvdmc_last_error(), "unknown device uuid:nobody");
    EXPECT_EQ(list(SETTINGS, "no-such-folder"), KVRCH_E_NOTFOUND); // 701 from the server
    kvdmc_cache_clear();                                           // the folder must be asked for again
    srv.script = [](const cdtest::request &, cdtest::reply *r) {
        r->status = 401;
        return true;
    };
    EXPECT_EQ(list(SETTINGS, "0"), KVRCH_E_AUTH);
    srv.script = [](const cdtest::request &, cdtest::reply *r) {
        r->body = "<s:Envelope><s:Body><nothing/></s:Body></s:Envelope>";
        return true;
    };
    EXPECT_EQ(list(SETTINGS, "0"), KVRCH_E_PROTOCOL);
    srv.script = [](const cdtest::request &, cdtest::reply *r) {
        r->rc = -1;
        r->err = "connection refused";
        return true;
    };
    EXPECT_EQ(list(SETTINGS, "0"), KVRCH_E_NETWORK);
    EXPECT_STREQ(kvdmc_last_error(), "transport: connection refused");
}

// Two host threads list with transports of their own, while a third browses another
// folder through the library's own transport: each answer describes its own server's
// folder, complete.
TEST_F(Handler, ThreadsKeepTheirTransportAndTheirFolder) {
    cdtest::server other;
    cdtest::fill(srv, "0", 40);
    cdtest::fill(other, "0", 7);
    cdtest::fill(srv, "x", 300);
    quorlin_io other_io = other.io();
    kvdmc_set_io(&io);
    // Both servers go by the same UDN: the cache, keyed by UDN, would mix them up.
    ASSERT_EQ(kvdmc_config("browse_cache_ms", "0"), 0);
    std::atomic<int> bad{0};
    auto lister = [&](const quorlin_io *tio, int want) {
        std::vector<char> buf(1 << 16);
        for (int i = 0; i < 150; i++) {
            if (h->list(tio, SETTINGS, "0", buf.data(), (int)buf.size()) != KVRCH_OK) {
                bad++;
                continue;
            }
            rapidjson::Document d;
            d.Parse(buf.data());
            if (d.HasParseError() || !d.IsArray() || (int)d.Size() != want)
                bad++;
            else
                for (auto &e : d.GetArray())
                    if (strncmp(e["path"].GetString(), "0$", 2) != 0) bad++;
        }
    };
    std::thread a(lister, &io, 40), b(lister, &other_io, 7);
    std::thread c([&] {
        for (int i = 0; i < 150; i++) {
            kvdmc_cache_clear();
            if (kvdmc_browse(UDN, "x", 0, 0, 0) != 300) bad++;
        }
    });
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(bad.load(), 0);
    kvdmc_set_io(nullptr);
    kvdmc_config("browse_cache_ms", nullptr);
    EXPECT_EQ(other.outstanding(), 0);
}

// Host JSON nests at most 64 levels; deeper text is a configuration error, never a deep
// recursion (a million levels would overflow any thread's stack).
TEST_F(Handler, DeepJsonIsAConfigurationError) {
    auto nested = [](size_t levels) { return std::string(levels, '[') + std::string(levels, ']'); };
    struct {
        size_t levels; // arrays inside the root object
        bool ok;
    } rows[] = {{63, true}, {64, false}, {1000000, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.levels);
        std::string settings = "{\"UDN\":\"uuid:hsrv\",\"x\":" + nested(row.levels) + "}";
        std::string entry = "{\"id\":\"0$1\",\"x\":" + nested(row.levels) + "}";
        EXPECT_EQ(h->validate(nullptr, settings.c_str(), out, sizeof out),
                  row.ok ? KVRCH_OK : KVRCH_E_CONFIG);
        if (!row.ok) {
            EXPECT_STREQ(kvdmc_last_error(), "settings_json is not a JSON object");
        }
        EXPECT_EQ(list(settings.c_str(), "0") == KVRCH_E_CONFIG, !row.ok);
        EXPECT_EQ(h->stream_url(&io, SETTINGS, entry.c_str(), out, sizeof out) == KVRCH_E_CONFIG, !row.ok);
    }
}

// A surrogate on its own, written as an escape, decodes to bytes that are not UTF-8: such
// a text is refused like raw bytes that are not UTF-8, in values and in keys; a pair reads.
TEST_F(Handler, LoneSurrogatesAreAConfigurationError) {
    struct {
        const char *settings;
        bool ok;
    } rows[] = {{"{\"UDN\":\"uuid:hsrv\",\"x\":\"\\ud83c\\udfb5\"}", true},
                {"{\"UDN\":\"uuid:hsrv\",\"x\":\"a\\udc00\"}", false},
                {"{\"UDN\":\"uuid:hsrv\",\"x\\udfff\":1}", false},
                {"{\"UDN\":\"uuid:hsrv\",\"x\":[\"\\udbff\\udfff\",\"\\udd00\"]}", false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.settings);
        EXPECT_EQ(h->validate(nullptr, row.settings, out, sizeof out), row.ok ? KVRCH_OK : KVRCH_E_CONFIG);
        EXPECT_EQ(list(row.settings, "0") == KVRCH_E_CONFIG, !row.ok);
    }
    std::string entry = "{\"id\":\"x\\udc00\"}";
    EXPECT_EQ(h->stream_url(&io, SETTINGS, entry.c_str(), out, sizeof out), KVRCH_E_CONFIG);
    kvffa_reset();
    ASSERT_EQ(kvdmc_kvffa_register(), 0);
    EXPECT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:x\\udc00\"}"), KVFFA_E_BAD_CONFIG);
    kvffa_reset();
}

// A resource URL in Latin-1 with a space is handed out percent-encoded, the same in the
// listing and as the stream URL.
TEST_F(Handler, Latin1ResourceUrlsAreHandedOutEncoded) {
    srv.folders["l"] = {"<item id=\"l1\" parentID=\"l\"><dc:title>Caf\xE9</dc:title>" +
                        docs::res("http-get:*:audio/mpeg:*", "http://10.0.0.9:8200/caf\xE9 1.mp3") +
                        "</item>"};
    ASSERT_EQ(list(SETTINGS, "l"), KVRCH_OK) << kvdmc_last_error();
    rapidjson::Document d = parse(out);
    ASSERT_TRUE(d.IsArray() && d.Size() == 1);
    EXPECT_STREQ(d[0]["locator"].GetString(), "http://10.0.0.9:8200/caf%E9%201.mp3");
    EXPECT_STREQ(d[0]["name"].GetString(), "Caf\xEF\xBF\xBD");
    ASSERT_EQ(h->stream_url(&io, SETTINGS, "{\"id\":\"l1\"}", out, sizeof out), KVRCH_OK);
    EXPECT_STREQ(out, "{\"url\":\"http://10.0.0.9:8200/caf%E9%201.mp3\"}");
}
