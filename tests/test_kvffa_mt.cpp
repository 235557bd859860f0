// Cancelling a listing of the access layer from another thread: the one
// cross-thread use the layer allows.
// kvdmc-test: tsan
#include <atomic>
#include <chrono>
#include <thread>

#include "helpers/kvffa_helpers.h"

TEST_F(Kvffa, CancelFromAnotherThreadReachesAPollingBackend) {
    test_backend t("t");
    std::atomic<bool> waiting{false};
    t.list = [&](const char *, kvffa_page *p) {
        if (p->cursor) {
            waiting = true;
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!__atomic_load_n(p->cancel, __ATOMIC_RELAXED) && std::chrono::steady_clock::now() < until)
                std::this_thread::yield();
            return __atomic_load_n(p->cancel, __ATOMIC_RELAXED) ? (int)KVFFA_E_CANCELLED
                                                                : (int)KVFFA_E_TRANSPORT;
        }
        put_entry(p, "a", "/a");
        p->more = 1;
        p->next_cursor = "1";
        return (int)KVFFA_OK;
    };
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    std::thread canceller([&] {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!waiting && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        kvffa_cancel();
    });
    int rc = kvffa_list_all("/");
    canceller.join();
    EXPECT_EQ(rc, KVFFA_E_CANCELLED);
    EXPECT_STREQ(kvffa_last_error(), "cancelled (backend)");
    EXPECT_EQ(kvffa_count(), 1u);
    EXPECT_EQ(kvffa_more(), 1);
}

TEST_F(Kvffa, CancelAtAnyMomentLeavesWholePages) {
    fake(R"({"name":"","generate":[{"path":"/big","count":20000}]})");
    ASSERT_EQ(kvffa_set_page_size(50), KVFFA_OK);
    int cancelled = 0;
    for (int round = 0; round < 24; round++) {
        std::atomic<bool> started{false};
        std::thread canceller([&, round] {
            while (!started) std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::microseconds(round * 150));
            kvffa_cancel();
        });
        started = true;
        int rc = kvffa_list_all("/big");
        canceller.join();
        if (rc == KVFFA_OK) {
            EXPECT_EQ(kvffa_count(), 20000u);
            continue;
        }
        cancelled++;
        ASSERT_EQ(rc, KVFFA_E_CANCELLED);
        std::string e = kvffa_last_error();
        EXPECT_TRUE(e == "cancelled" || e == "cancelled (backend)" || e == "cancelled during page" ||
                    e == "cancelled during copy")
            << e;
        EXPECT_EQ(kvffa_count() % 50, 0u) << e;
        for (size_t i = 0; i < kvffa_count(); i += 997)
            ASSERT_EQ(kvffa_item_name(kvffa_item_at((long)i)),
                      "f" + std::string(6 - std::to_string(i).size(), '0') + std::to_string(i) + ".bin");
        const int more = kvffa_more(); // a listing cancelled on its first page has nothing to continue
        EXPECT_EQ(kvffa_list_next(), more ? -KVFFA_E_CANCELLED : 0);
    }
    EXPECT_GT(cancelled, 0);
}
