// kvdmc-test: tsan
// Several host threads browsing and reading JSON at once: whole browses never
// leave a table that mixes two folders, and every text handed out is whole.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "upnp/browse.h"
#include "upnp/items.h"
#include "helpers/browse_fixture.h"
#include "base/exports.h"
#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

// True when every item of the table belongs to one folder.
bool table_is_one_folder(std::string *parent) {
    items_guard g;
    const didl_table &t = g_items.items;
    for (int i = 1; i < t.size(); i++)
        if (strcmp(t[i].parent, t[0].parent) != 0) return false;
    if (t.size()) *parent = t[0].parent;
    return true;
}

} // namespace

TEST(BrowseThreads, BrowsesAndReadersAtOnce) {
    kvdmc_config("browse_page", nullptr);
    kvdmc_devices_clear();
    kvdmc_cache_clear();
    ASSERT_EQ(cdtest::add_server("uuid:mt-1", "10.0.0.9:8200"), 0) << kvdmc_last_error();
    cdtest::server srv;
    // Two pages each, so unserialised browses would interleave their pages.
    for (int f = 0; f < 4; f++) cdtest::fill(srv, "f" + std::to_string(f), 300 + f);
    cdtest::fill(srv, "small", 5);
    quorlin_io io = srv.io();
    kvdmc_set_io(&io);

    std::atomic<bool> stop{false};
    std::atomic<int> mixed{0}, bad_json{0}, failures{0};
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++) {
        th.emplace_back([&, t] {
            std::string oid = "f" + std::to_string(t);
            for (int k = 0; k < 15; k++) {
                int n = kvdmc_browse("uuid:mt-1", k % 3 == 0 ? "small" : oid.c_str(), 0, 0, 0);
                if (n != (k % 3 == 0 ? 5 : 300 + t)) failures++;
            }
        });
    }
    th.emplace_back([&] {
        for (int k = 0; k < 20; k++) {
            kvdmc_parse_didl(
                "<DIDL-Lite><item id=\"p\" parentID=\"parsed\"><dc:title>x</dc:title></item></DIDL-Lite>");
            kvdmc_cache_clear();
            std::this_thread::yield();
        }
    });
    for (int r = 0; r < 2; r++) {
        th.emplace_back([&] {
            int rounds = 0;
            while (!stop.load() && rounds++ < 100000) {
                std::string parent;
                if (!table_is_one_folder(&parent)) mixed++;
                int n = kvdmc_item_count();
                if (n <= 0) continue;
                std::string js = kvdmc_item_json(rounds % n);
                // Either whole, or empty when the table shrank meanwhile.
                if (!js.empty() && (js.front() != '{' || js.back() != '}')) bad_json++;
                std::string url = kvdmc_best_res_url(rounds % n);
                if (!url.empty() && url.rfind("http://", 0) != 0) bad_json++;
                kvdmc_device_json(0);
            }
        });
    }
    for (size_t i = 0; i < 5; i++) th[i].join();
    stop = true;
    for (size_t i = 5; i < th.size(); i++) th[i].join();

    EXPECT_EQ(mixed.load(), 0);
    EXPECT_EQ(bad_json.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(srv.outstanding(), 0);
}

// The device table and the item table have locks of their own: a call on one never waits
// for the other, nor for a browse being published and read back.
TEST(BrowseThreads, DeviceAndItemCallsNeverWaitForEachOther) {
    kvdmc_devices_clear();
    ASSERT_EQ(cdtest::add_server("uuid:apart-1", "10.0.0.9:8200"), 0) << kvdmc_last_error();
    struct held {
        const char *what;
        std::function<void()> hold, release;
        std::function<int()> call;
        int want;
    };
    const held cases[] = {
        {"item table held, device count", items_lock, items_unlock, [] { return kvdmc_device_count(); }, 1},
        {"item table held, device lookup", items_lock, items_unlock,
         [] { return kvdmc_find_device("uuid:apart-1"); }, 0},
        {"item table held, device JSON", items_lock, items_unlock,
         [] { return (int)strlen(kvdmc_device_json(0)) > 0; }, 1},
        {"publishing held, device count", browse_serial_lock, browse_serial_unlock,
         [] { return kvdmc_device_count(); }, 1},
        {"library lock held, item count", [] { plat_lock(&g_lock); }, [] { plat_unlock(&g_lock); },
         [] { return kvdmc_item_count() >= 0; }, 1},
    };
    for (const held &c : cases) {
        SCOPED_TRACE(c.what);
        c.hold();
        std::promise<int> done;
        std::future<int> got = done.get_future();
        std::thread other([&] { done.set_value(c.call()); });
        bool in_time = got.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        c.release();
        other.join();
        EXPECT_TRUE(in_time);
        EXPECT_EQ(got.get(), c.want);
    }
}

// While one server holds every request, browses of another server go through: through
// the API, the handler and the access layer, each with the other server's own folder.
// No clock is read: the other server's answers all come back while the first one's
// browse is still held.
TEST(BrowseThreads, HungServerHoldsUpOnlyItsOwnBrowses) {
    kvdmc_config("browse_page", nullptr);
    kvdmc_devices_clear();
    kvdmc_cache_clear();
    ASSERT_EQ(cdtest::add_server("uuid:hung-a", "10.0.0.9:8200"), 0) << kvdmc_last_error();
    ASSERT_EQ(cdtest::add_server("uuid:fine-b", "10.0.0.10:8200"), 0) << kvdmc_last_error();
    cdtest::server srv;
    cdtest::fill(srv, "a", 300);
    cdtest::fill(srv, "b", 7);
    std::mutex mu;
    std::condition_variable cv;
    bool held = false, released = false;
    srv.script = [&](const cdtest::request &q, cdtest::reply *) {
        if (q.url.find("10.0.0.9:") == std::string::npos) return false;
        std::unique_lock<std::mutex> g(mu);
        held = true;
        cv.notify_all();
        cv.wait(g, [&] { return released; });
        return false;
    };
    quorlin_io io = srv.io();
    kvdmc_set_io(&io);
    kvffa_reset();
    ASSERT_EQ(kvdmc_kvffa_register(), 0) << kvdmc_last_error();
    ASSERT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:fine-b\"}"), KVFFA_OK) << kvffa_last_error();

    std::atomic<bool> a_done{false};
    std::atomic<int> a_result{-100};
    std::thread hung([&] {
        a_result = kvdmc_browse("uuid:hung-a", "a", 0, 0, 0);
        a_done = true;
    });
    {
        std::unique_lock<std::mutex> g(mu);
        cv.wait(g, [&] { return held; });
    }

    struct step {
        const char *what;
        std::function<int()> run;
        int want;
    };
    const kvrch_handler *h = kvrch_get();
    static char out[65536];
    std::vector<step> steps = {
        {"api browse", [] { return kvdmc_browse("uuid:fine-b", "b", 0, 0, 0); }, 7},
        {"handler list",
         [&] {
             if (h->list(&io, "{\"UDN\":\"uuid:fine-b\"}", "b", out, (int)sizeof out) != KVRCH_OK) return -1;
             return (int)std::string(out).find("\"path\":\"b$6\"") != -1 ? 7 : -2;
         },
         7},
        {"layer list",
         [] {
             if (kvffa_list("b") != KVFFA_OK) return -1;
             return (int)kvffa_count();
         },
         7},
    };
    for (const step &s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(s.run(), s.want) << kvdmc_last_error();
        EXPECT_FALSE(a_done.load());
    }
    {
        std::lock_guard<std::mutex> g(mu);
        released = true;
    }
    cv.notify_all();
    hung.join();
    EXPECT_EQ(a_result.load(), 300);
    // The table holds the folder published last, whole.
    std::string parent;
    EXPECT_TRUE(table_is_one_folder(&parent));
    EXPECT_EQ(parent, "a");
    kvffa_close();
    kvffa_reset();
    kvdmc_set_io(nullptr);
    EXPECT_EQ(srv.outstanding(), 0);
}
