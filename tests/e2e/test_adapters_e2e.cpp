// kvdmc-test: peers
// The host's two ways into a real media server (minidlna in the sandbox of
// scripts/sandbox): the access layer with the DLNA backend, and the source handler.
// Both list the 600-track folder whole, give a track's URL, and that URL plays on the
// real renderer (gmediarender).
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <rapidjson/document.h>

#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const char *BIG = "64$0"; // Browse Folders / Big

std::string env(const char *k) {
    const char *v = getenv(k);
    return v ? v : "";
}

} // namespace

TEST(AdaptersE2E, LayerAndHandlerListTheBigFolderAndPlayATrack) {
    if (env("SANDBOX_UP") != "1")
        GTEST_SKIP() << "needs the sandbox: scripts/sandbox wrap -- build/test_adapters_e2e";
    const std::string server = env("SERVER_UDN"), renderer = env("RENDERER_UDN");
    ASSERT_EQ(kvdmc_config("ssdp_if", env("CLIENT_IF_ADDR").c_str()), 0);
    if (kvdmc_use_curl() != 0) GTEST_SKIP() << "built without the HTTP transport";
    for (int round = 0; round < 2; round++) {
        ASSERT_GE(kvdmc_discover(3, 2500), 0) << kvdmc_last_error();
        if (kvdmc_find_device(server.c_str()) >= 0 && kvdmc_find_device(renderer.c_str()) >= 0) break;
    }
    ASSERT_GE(kvdmc_find_device(server.c_str()), 0) << "server not discovered";
    ASSERT_GE(kvdmc_find_device(renderer.c_str()), 0) << "renderer not discovered";
    int big = atoi(env("BIG_COUNT").c_str());

    // The access layer, 100 entries a page.
    ASSERT_EQ(kvdmc_kvffa_register(), 0) << kvdmc_last_error();
    std::string cfg = "{\"udn\":\"" + server + "\"}";
    ASSERT_EQ(kvffa_open("dlna", cfg.c_str()), KVFFA_OK) << kvffa_last_error();
    ASSERT_EQ(kvffa_set_page_size(100), KVFFA_OK);
    ASSERT_EQ(kvffa_list(BIG), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_count(), 100u);
    EXPECT_EQ(kvffa_more(), 1);
    ASSERT_EQ(kvffa_list_all(BIG), KVFFA_OK) << kvffa_last_error();
    ASSERT_EQ((int)kvffa_count(), big);
    EXPECT_EQ(kvffa_rejected(), 0u);
    const kvffa_item *first = kvffa_item_at(0), *last = kvffa_item_at(big - 1);
    EXPECT_STREQ(kvffa_item_name(first), "Big Track 001");
    EXPECT_STREQ(kvffa_item_name(last), "Big Track 600");
    EXPECT_TRUE(kvffa_item_has(first, KVFFA_F_SIZE | KVFFA_F_LOCATOR | KVFFA_F_ID));
    const std::string track_path = kvffa_item_path(kvffa_item_at(41));
    const std::string track_url = kvffa_item_locator(kvffa_item_at(41));
    // The same URL through the locator: by the track's own id, by index and by name.
    const char *loc = kvffa_locator(track_path.c_str());
    ASSERT_NE(loc, nullptr) << kvffa_last_error();
    EXPECT_EQ(track_url, loc);
    loc = kvffa_locator((std::string(BIG) + "/41").c_str());
    ASSERT_NE(loc, nullptr) << kvffa_last_error();
    EXPECT_EQ(track_url, loc);
    loc = kvffa_locator((std::string(BIG) + "/Big Track 042").c_str());
    ASSERT_NE(loc, nullptr) << kvffa_last_error();
    EXPECT_EQ(track_url, loc);
    kvffa_close();

    // The source handler, with the built-in transport as the host's.
    const kvrch_handler *h = kvrch_get();
    std::string settings = "{\"UDN\":\"" + server + "\"}";
    std::vector<char> out(1 << 20);
    ASSERT_EQ(h->list(nullptr, settings.c_str(), BIG, out.data(), (int)out.size()), KVRCH_OK)
        << kvdmc_last_error();
    rapidjson::Document d;
    d.Parse(out.data());
    ASSERT_FALSE(d.HasParseError());
    ASSERT_EQ((int)d.Size(), big);
    EXPECT_STREQ(d[41]["path"].GetString(), track_path.c_str());
    std::string entry = "{\"id\":\"" + track_path + "\"}";
    char url[2048];
    ASSERT_EQ(h->stream_url(nullptr, settings.c_str(), entry.c_str(), url, sizeof url), KVRCH_OK);
    EXPECT_EQ(std::string(url), "{\"url\":\"" + track_url + "\"}");

    // The track plays on the renderer.
    const char *R = renderer.c_str();
    ASSERT_EQ(kvdmc_cast_allow(R), 0);
    ASSERT_EQ(kvdmc_cast_set_uri(R, track_url.c_str(), "audio/mpeg", "Big Track 042"), 0)
        << kvdmc_last_error();
    ASSERT_EQ(kvdmc_cast_play(R), 0) << kvdmc_last_error();
    int state = -100;
    for (int i = 0; i < 50 && state != 2; i++) {
        state = kvdmc_cast_state(R);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(state, 2) << "the renderer did not start playing";
    EXPECT_EQ(kvdmc_cast_stop(R), 0);
}
