// kvdmc-test: peers
// Casting a server's track to a real renderer (minidlna and gmediarender in a
// private network built by scripts/sandbox). Run directly, the test re-runs
// itself inside a fresh sandbox; inside one (SANDBOX_UP=1) it does the work.
//
// What the real renderer answers, where it differs from what a renderer could
// be expected to do, is asserted as observed and printed as "observed:" lines.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <rapidjson/document.h>

#include "kvdmc.h"

namespace {

std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

void observed(const std::string &what) {
    printf("observed: %s\n", what.c_str());
    fflush(stdout);
}

// Polls the transport state until it equals want, for at most ms.
int wait_state(const char *udn, int want, int ms) {
    int s = -100;
    for (int waited = 0; waited <= ms; waited += 100) {
        s = kvdmc_cast_state(udn);
        if (s == want) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return s;
}

// Runs a command of the sandbox's client namespace and returns what it printed.
std::string run_out(const std::string &cmd) {
    std::string out;
    FILE *f = popen(cmd.c_str(), "r");
    if (!f) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
    pclose(f);
    return out;
}

// The text of the first <tag>...</tag> in s, XML references of one level decoded.
std::string first_text(const std::string &s, const std::string &tag) {
    size_t a = s.find("<" + tag + ">");
    size_t b = a == std::string::npos ? a : s.find("</" + tag + ">", a);
    if (b == std::string::npos) return "";
    std::string t = s.substr(a + tag.size() + 2, b - a - tag.size() - 2), o;
    static const char *const refs[][2] = {
        {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
    for (size_t i = 0; i < t.size();) {
        bool hit = false;
        for (const auto &r : refs)
            if (t.compare(i, strlen(r[0]), r[0]) == 0) {
                o += r[1];
                i += strlen(r[0]);
                hit = true;
                break;
            }
        if (!hit) o += t[i++];
    }
    return o;
}

// The protocolInfo attribute of the first res element of a DIDL-Lite text.
std::string res_protocol_info(const std::string &didl) {
    size_t r = didl.find("<res ");
    size_t a = r == std::string::npos ? r : didl.find("protocolInfo=\"", r);
    if (a == std::string::npos) return "";
    a += 14;
    return didl.substr(a, didl.find('"', a) - a);
}

// The control URL of a device's service of the given kind, from its device JSON.
std::string control_of(const char *udn, const char *kind) {
    int i = kvdmc_find_device(udn);
    if (i < 0) return "";
    rapidjson::Document d;
    d.Parse(kvdmc_device_json(i));
    if (d.HasParseError() || !d.IsObject() || !d.HasMember("services")) return "";
    for (const auto &s : d["services"].GetArray())
        if (std::string(s["type"].GetString()).find(kind) != std::string::npos)
            return s["control"].GetString();
    return "";
}

bool in_sandbox() {
    return env("SANDBOX_UP") == "1";
}

TEST(CastEndToEnd, RealRendererPlaysAServerTrack) {
    if (!in_sandbox()) {
        // Re-run just this test inside a sandbox of its own.
        std::string self(4096, '\0');
        ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
        ASSERT_GT(n, 0);
        self.resize((size_t)n);
        std::string cmd = std::string(KVDMC_SOURCE_DIR) + "/scripts/sandbox wrap -- " + self +
                          " --gtest_filter=CastEndToEnd.RealRendererPlaysAServerTrack";
        int rc = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(rc));
        ASSERT_EQ(WEXITSTATUS(rc), 0) << "the run inside the sandbox failed (see its output above)";
        return;
    }

    const std::string renderer = env("RENDERER_UDN"), server = env("SERVER_UDN");
    const char *R = renderer.c_str();
    ASSERT_FALSE(renderer.empty());
    ASSERT_EQ(kvdmc_config("ssdp_if", env("CLIENT_IF_ADDR").c_str()), 0) << kvdmc_last_error();
    if (kvdmc_use_curl() != 0) GTEST_SKIP() << "built without the HTTP transport";

    // Discovery: gmediarender answers a search after up to 0.8 s; give it two rounds.
    for (int round = 0; round < 2; round++) {
        int n = kvdmc_discover(3, 2500);
        ASSERT_GE(n, 0) << kvdmc_last_error();
        if (kvdmc_find_device(R) >= 0 && kvdmc_find_device(server.c_str()) >= 0) break;
    }
    ASSERT_GE(kvdmc_find_device(R), 0) << "renderer not discovered";
    ASSERT_GE(kvdmc_find_device(server.c_str()), 0) << "server not discovered";

    // Sink check: the renderer lists audio/mpeg (plain http-get:*:<mime>:* entries).
    EXPECT_EQ(kvdmc_sink_check(R, "http-get:*:audio/mpeg"), 1) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_sink_check(R, "http-get:*:audio/mpe"), 0);
    EXPECT_EQ(kvdmc_sink_check(R, "audio/mpeg"), 0); // entries begin with the protocol
    observed("sink check http-get:*:audio/mpeg -> 1; bare audio/mpeg -> 0");

    // A track of the album whose titles carry & < > ": browse it, else the known URL.
    std::string url, title = "Tom & Jerry <live> \"best\"";
    int nb = kvdmc_browse(server.c_str(), "64$1$1$0", 0, 0, 0);
    if (nb > 0 && kvdmc_best_res_url(0) && *kvdmc_best_res_url(0)) {
        url = kvdmc_best_res_url(0);
        rapidjson::Document d;
        d.Parse(kvdmc_item_json(0));
        if (!d.HasParseError() && d.IsObject() && d.HasMember("title") && d["title"].IsString())
            title = d["title"].GetString();
        observed("browsed item: " + url + " titled '" + title + "'");
    } else {
        url = env("SONG_URL");
        observed("browse gave " + std::to_string(nb) + " (" + kvdmc_last_error() + "); using SONG_URL " +
                 url);
    }
    ASSERT_FALSE(url.empty());

    // State-changing calls are refused until the renderer is allowed.
    EXPECT_EQ(kvdmc_cast_play(R), KVDMC_E_REFUSED);
    ASSERT_EQ(kvdmc_cast_allow(R), 0);

    EXPECT_EQ(kvdmc_cast_state(R), 0) << kvdmc_last_error();
    observed("initial state STOPPED (0), not NO_MEDIA_PRESENT");

    // The renderer sends its faults with HTTP 500; the host gets the UPnP error.
    int r = kvdmc_cast_pause(R);
    observed("Pause while stopped -> " + std::to_string(r) + " '" + kvdmc_last_error() + "'");
    EXPECT_EQ(r, -6);
    EXPECT_EQ(std::string(kvdmc_last_error()).rfind("UPnP error 501: ", 0), 0u);

    ASSERT_EQ(kvdmc_cast_set_uri(R, url.c_str(), "audio/mpeg", title.c_str()), 0) << kvdmc_last_error();

    // What the renderer holds as the media's metadata is the browsed item, with the
    // server's own protocolInfo (its DLNA profile and flags), asked of both peers directly.
    if (nb > 0) {
        std::string soap = "python3 " + std::string(KVDMC_SOURCE_DIR) + "/tests/e2e/upnp_soap.py ";
        std::string browse = run_out(soap + "'" + control_of(server.c_str(), "ContentDirectory") +
                                     "' urn:schemas-upnp-org:service:ContentDirectory:1 Browse "
                                     "'ObjectID=64$1$1$0' BrowseFlag=BrowseDirectChildren Filter='*' "
                                     "StartingIndex=0 RequestedCount=1 SortCriteria=");
        std::string server_pi = res_protocol_info(first_text(browse, "Result"));
        std::string info = run_out(soap + "'" + control_of(R, "AVTransport") +
                                   "' urn:schemas-upnp-org:service:AVTransport:1 GetMediaInfo InstanceID=0");
        std::string meta = first_text(info, "CurrentURIMetaData");
        observed("server protocolInfo " + server_pi + "; renderer's CurrentURIMetaData " + meta);
        EXPECT_NE(server_pi.find("DLNA.ORG_PN="), std::string::npos) << browse;
        EXPECT_EQ(res_protocol_info(meta), server_pi) << info;
        EXPECT_NE(meta.find("<upnp:class>object.item.audioItem.musicTrack</upnp:class>"), std::string::npos);
    }

    ASSERT_EQ(kvdmc_cast_play(R), 0) << kvdmc_last_error();
    EXPECT_EQ(wait_state(R, 2, 5000), 2) << kvdmc_last_error();

    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int pos = -1, dur = -1;
    ASSERT_EQ(kvdmc_cast_position(R, &pos, &dur), 0) << kvdmc_last_error();
    observed("playing: position " + std::to_string(pos) + " s of " + std::to_string(dur) + " s");
    EXPECT_GE(pos, 0);
    EXPECT_LE(pos, 5);
    EXPECT_EQ(dur, 20);

    EXPECT_EQ(kvdmc_cast_volume(R, -1), 100); // gmediarender starts at full volume
    ASSERT_EQ(kvdmc_cast_volume(R, 37), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_cast_volume(R, -1), 37);
    EXPECT_EQ(kvdmc_cast_mute(R, -1), 0);
    ASSERT_EQ(kvdmc_cast_mute(R, 1), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_cast_mute(R, -1), 1);
    ASSERT_EQ(kvdmc_cast_mute(R, 0), 0);
    EXPECT_EQ(kvdmc_cast_mute(R, -1), 0);

    ASSERT_EQ(kvdmc_cast_pause(R), 0) << kvdmc_last_error();
    EXPECT_EQ(wait_state(R, 1, 3000), 1);

    ASSERT_EQ(kvdmc_cast_seek(R, 10), 0) << kvdmc_last_error();
    int after_seek = -1;
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(kvdmc_cast_position(R, &pos, &dur), 0) << kvdmc_last_error();
        after_seek = pos;
        if (pos >= 10) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    observed("after Seek 0:00:10 while paused: position " + std::to_string(after_seek));
    EXPECT_GE(after_seek, 9);
    EXPECT_LE(after_seek, 11);

    ASSERT_EQ(kvdmc_cast_stop(R), 0) << kvdmc_last_error();
    EXPECT_EQ(wait_state(R, 0, 3000), 0);
    ASSERT_EQ(kvdmc_cast_position(R, &pos, &dur), 0);
    observed("after Stop: position " + std::to_string(pos) + " of " + std::to_string(dur) +
             " (the renderer keeps the position)");

    // Out-of-range values that the library does not filter on reads.
    r = kvdmc_cast_volume(R, 101);
    EXPECT_EQ(r, -1);
    kvdmc_cast_clear();
    EXPECT_EQ(kvdmc_cast_stop(R), KVDMC_E_REFUSED);
}

} // namespace
