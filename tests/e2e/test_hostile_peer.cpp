// kvdmc-test: netns
// Hostile peers on loopback, inside this test's own network namespace, reached
// through the built-in HTTP transport and live SSDP: a description URL that never
// answers, a flood of distinct devices, and a server that claims an endless folder
// and answers slowly. The timings are printed ("hostile:" lines), never asserted.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/helpers/docs.h"
#include "kvdmc.h"
#include "tests/helpers/mini_http.h"

using clk = std::chrono::steady_clock;

namespace {

double ms_since(clk::time_point t0) {
    return std::chrono::duration<double, std::milli>(clk::now() - t0).count();
}

// Multicasts SSDP datagrams on loopback, as a device on the LAN would.
void multicast(const std::vector<std::string> &packets) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    in_addr lo{};
    lo.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(1900);
    inet_pton(AF_INET, "239.255.255.250", &to.sin_addr);
    for (const std::string &p : packets) sendto(s, p.data(), p.size(), 0, (sockaddr *)&to, sizeof to);
    close(s);
}

class HostilePeer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kvdmc_use_curl() != 0) GTEST_SKIP() << "built without the HTTP transport";
        kvdmc_config("ssdp_port", nullptr); // numeric defaults back, fake mode off
        kvdmc_devices_clear();
        kvdmc_cache_clear();
    }
    void TearDown() override {
        kvdmc_config("ssdp_port", nullptr);
        kvdmc_devices_clear();
    }
};

} // namespace

TEST_F(HostilePeer, DescriptionThatNeverAnswersStallsNoOtherThread) {
    mini_http peer([](const mini_request &) {
        mini_reply r;
        r.mode = mini_reply::SILENT; // accepts, reads, never answers
        return r;
    });
    std::vector<std::string> notifies;
    for (int i = 0; i < 100; i++)
        notifies.push_back(docs::alive("uuid:never-" + std::to_string(i), peer.url("/never.xml")));

    std::atomic<bool> done{false};
    int found = -99;
    auto t0 = clk::now();
    std::thread search([&] {
        found = kvdmc_discover(3, 2000);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the search has joined the group
    multicast(notifies);

    // Another thread of the host keeps using the table while the search waits on the peer.
    std::vector<double> lat;
    for (int i = 0; i < 200000 && !done; i++) {
        auto t = clk::now();
        EXPECT_EQ(kvdmc_device_count(), 0);
        lat.push_back(ms_since(t));
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    search.join();
    double search_ms = ms_since(t0);
    EXPECT_EQ(found, 0);
    ASSERT_FALSE(lat.empty());
    std::sort(lat.begin(), lat.end());
    printf("hostile: kvdmc_device_count during a stalled description fetch: %zu calls, median %.3f ms, "
           "p99 %.3f ms, max %.3f ms; the 2 s search returned after %.0f ms (%zu fetches started)\n",
           lat.size(), lat[lat.size() / 2], lat[lat.size() * 99 / 100], lat.back(), search_ms,
           peer.requests().size());
    EXPECT_GE(peer.requests().size(), 1u);
}

TEST_F(HostilePeer, FloodOfDevicesIsFetchedOnlyWhileThereIsRoom) {
    std::atomic<int> fetches{0};
    mini_http peer([&](const mini_request &q) {
        fetches++;
        std::string n = q.path.substr(3, q.path.find('.') - 3); // "/d/<n>.xml"
        mini_reply r;
        r.raw = mini_response(200, "OK", docs::description("uuid:flood-" + n, docs::SERVER_TYPE));
        return r;
    });
    ASSERT_EQ(kvdmc_config("device_max", "64"), 0);
    auto t0 = clk::now();
    int refused = 0;
    for (int i = 0; i < 2000; i++) {
        std::string loc = peer.url("/d/" + std::to_string(i) + ".xml");
        if (kvdmc_fake_ssdp(docs::alive("uuid:flood-" + std::to_string(i), loc).c_str(), "127.0.0.1") != 0)
            refused++;
    }
    double ms = ms_since(t0);
    printf("hostile: 2000 distinct announcements, device_max 64: %d description fetches, %d refused, "
           "%.0f ms\n",
           fetches.load(), refused, ms);
    EXPECT_EQ(fetches.load(), 64);
    EXPECT_EQ(refused, 2000 - 64);
    EXPECT_EQ(kvdmc_device_count(), 64);
}

TEST_F(HostilePeer, EndlessSlowFolderEndsAtTheBrowseDeadline) {
    std::atomic<int> pages{0};
    mini_http peer([&](const mini_request &q) {
        mini_reply r;
        if (q.method == "GET") {
            r.raw = mini_response(200, "OK", docs::description("uuid:endless", docs::SERVER_TYPE));
            return r;
        }
        pages++;
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        int start = atoi(docs::tag_text(q.body, "StartingIndex").c_str());
        std::string didl = docs::didl_open() + docs::track("0", start) + "</DIDL-Lite>";
        r.raw = mini_response(200, "OK", docs::browse_response(didl, 1, 2147483647, 1));
        return r;
    });
    ASSERT_EQ(kvdmc_fake_ssdp(docs::alive("uuid:endless", peer.url("/d.xml")).c_str(), "127.0.0.1"), 0)
        << kvdmc_last_error();
    ASSERT_EQ(kvdmc_config("browse_timeout_ms", "2000"), 0);
    auto t0 = clk::now();
    int n = kvdmc_browse("uuid:endless", "0", 0, 0, 0);
    double ms = ms_since(t0);
    printf("hostile: browse of a folder claiming 2147483647 children, one per 400 ms page, "
           "browse_timeout_ms 2000: %.0f ms, %d items, %d requests\n",
           ms, n, pages.load());
    EXPECT_GE(n, 1);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CAP);
    EXPECT_STREQ(kvdmc_last_error(), "browse time limit reached");
    kvdmc_config("browse_timeout_ms", nullptr);
}

// A host on the LAN reuses a renderer's own USN with a LOCATION of its own. The table asks
// the renderer's LOCATION first: while the renderer answers there as itself, the
// announcement is refused and the impostor is never even fetched; once the renderer is
// gone, the same announcement is a move and is followed.
TEST_F(HostilePeer, SameUsnAnnouncementDoesNotRedirectALiveRenderer) {
    const std::string udn = "uuid:hp-renderer";
    std::atomic<int> evil_gets{0};
    mini_http evil([&](const mini_request &) {
        evil_gets++;
        mini_reply r;
        r.raw = mini_response(200, "OK", docs::description(udn, docs::RENDERER_TYPE, "Impostor"));
        return r;
    });
    std::string evil_loc = evil.url("/d.xml");
    std::string real_loc;
    {
        std::atomic<int> real_gets{0};
        mini_http real([&](const mini_request &) {
            real_gets++;
            mini_reply r;
            r.raw = mini_response(200, "OK", docs::description(udn, docs::RENDERER_TYPE, "Living room"));
            return r;
        });
        real_loc = real.url("/d.xml");
        ASSERT_EQ(kvdmc_fake_ssdp(docs::alive(udn, real_loc).c_str(), "127.0.0.1"), 0) << kvdmc_last_error();
        auto t0 = clk::now();
        EXPECT_EQ(kvdmc_fake_ssdp(docs::alive(udn, evil_loc).c_str(), "127.0.0.1"), KVDMC_E_PARSE);
        double refuse_ms = ms_since(t0);
        EXPECT_EQ(std::string(kvdmc_last_error()), "device " + udn + " still answers at " + real_loc);
        EXPECT_EQ(real_gets.load(), 2);
        EXPECT_EQ(evil_gets.load(), 0);
        printf("hostile: same-USN announcement with a new LOCATION while the renderer answers: refused "
               "after %.1f ms (one fetch of the old LOCATION)\n",
               refuse_ms);
    } // the renderer leaves the network: nothing listens at its port any more
    int i = kvdmc_find_device(udn.c_str());
    ASSERT_GE(i, 0);
    EXPECT_NE(std::string(kvdmc_device_json(i)).find(real_loc), std::string::npos);
    auto t0 = clk::now();
    EXPECT_EQ(kvdmc_fake_ssdp(docs::alive(udn, evil_loc).c_str(), "127.0.0.1"), 0) << kvdmc_last_error();
    double move_ms = ms_since(t0);
    EXPECT_EQ(evil_gets.load(), 1);
    i = kvdmc_find_device(udn.c_str());
    ASSERT_GE(i, 0);
    EXPECT_NE(std::string(kvdmc_device_json(i)).find(evil_loc), std::string::npos);
    printf("hostile: the same announcement after the renderer left: followed after %.1f ms\n", move_ms);
}
