// Shared by the tests of the file/folder access layer: a backend scripted by
// lambdas, allocation failure on demand, and a fixture that starts each test
// from a clean layer.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include "kvffa/kvffa.h"
#include "kvffa/kvffa_test.h"

// A backend whose operations are lambdas; ctx points at the object.
struct test_backend {
    std::string id;
    uint32_t caps = 0;
    std::function<int(const char *)> open = [](const char *) { return KVFFA_OK; };
    std::function<int(const char *, kvffa_page *)> list = [](const char *, kvffa_page *) { return KVFFA_OK; };
    std::function<int(const char *, kvffa_item *)> stat;
    std::function<int(const char *, char *, size_t)> locator = [](const char *, char *, size_t) {
        return KVFFA_E_NOT_FOUND;
    };
    int opens = 0, closes = 0, lists = 0;
    std::string last_config;
    std::vector<std::string> cursors; // what each list() call was handed; "(null)" for none

    explicit test_backend(std::string name, uint32_t capabilities = 0)
        : id(std::move(name)), caps(capabilities) {}
    // The layer must not call into a backend that is gone.
    ~test_backend() {
        const kvffa_backend *b = kvffa__find(id.c_str());
        if (b && b->ctx == this) kvffa__unregister(id.c_str());
    }
    test_backend(const test_backend &) = delete;
    test_backend &operator=(const test_backend &) = delete;

    kvffa_backend record() {
        kvffa_backend b;
        memset(&b, 0, sizeof b);
        b.struct_size = sizeof b;
        b.id = id.c_str();
        b.capabilities = caps;
        b.ctx = this;
        b.open = [](void *c, const char *cfg) {
            auto *t = static_cast<test_backend *>(c);
            t->opens++;
            t->last_config = cfg ? cfg : "(null)";
            return t->open(cfg);
        };
        b.list = [](void *c, const char *path, kvffa_page *page) {
            auto *t = static_cast<test_backend *>(c);
            t->lists++;
            t->cursors.push_back(page->cursor ? page->cursor : "(null)");
            return t->list(path, page);
        };
        b.stat = [](void *c, const char *path, kvffa_item *it) {
            auto *t = static_cast<test_backend *>(c);
            return t->stat ? t->stat(path, it) : KVFFA_E_UNSUPPORTED;
        };
        b.locator = [](void *c, const char *path, char *out, size_t n) {
            return static_cast<test_backend *>(c)->locator(path, out, n);
        };
        b.close = [](void *c) { static_cast<test_backend *>(c)->closes++; };
        return b;
    }
    int reg() {
        kvffa_backend b = record();
        return kvffa_register(&b);
    }
    int reg_open(const char *config = nullptr) {
        int rc = reg();
        return rc != KVFFA_OK ? rc : kvffa_open(id.c_str(), config);
    }
};

// Fills page entries from a vector of (name, path) pairs; paths are kept alive by the caller.
inline void put_entry(kvffa_page *page, const char *name, const char *path, int folder = 0) {
    kvffa_item &it = page->items[page->count++];
    it.name = name;
    it.path = path;
    it.is_folder = folder;
}

// Allocation failure on demand: the first `allow` allocations succeed, every
// later one fails; optionally the layer's cancel flag is raised at allocation
// number `cancel_at` instead.
struct alloc_fail {
    static inline long allow = -1, cancel_at = -1, seen = 0;
    static int hook(size_t) {
        long n = seen++;
        if (n == cancel_at) kvffa_cancel();
        return allow >= 0 && n >= allow;
    }
    explicit alloc_fail(long allowed, long cancel_at_alloc = -1) {
        allow = allowed;
        cancel_at = cancel_at_alloc;
        seen = 0;
        kvffa__test_alloc_hook(hook);
    }
    ~alloc_fail() {
        kvffa__test_alloc_hook(nullptr);
        allow = cancel_at = -1;
    }
    alloc_fail(const alloc_fail &) = delete;
    alloc_fail &operator=(const alloc_fail &) = delete;
};

// Runs op with 0, 1, 2, ... allocations allowed until it succeeds; `after_failure`
// checks the state each failed run left behind. Returns the number of runs.
inline int walk_allocation_failures(const std::function<void()> &setup, const std::function<int()> &op,
                                    const std::function<void(int rc)> &after_failure, int limit = 10000) {
    for (int k = 0; k < limit; k++) {
        setup();
        int rc;
        {
            alloc_fail f(k);
            rc = op();
        }
        if (rc == KVFFA_OK) return k + 1;
        EXPECT_EQ(rc, KVFFA_E_OOM) << "allowed " << k;
        after_failure(rc);
    }
    ADD_FAILURE() << "never succeeded";
    return limit;
}

// Every test starts from an empty layer and an unconfigured fake.
class Kvffa : public ::testing::Test {
  protected:
    void SetUp() override { clean(); }
    void TearDown() override { clean(); }
    static void clean() {
        kvffa__test_alloc_hook(nullptr);
        kvffa_reset();
        kvffa_fake_set_fault(0, 0);
        kvffa_fake_set_caps(0x0F);
        kvffa_fake_load_tree("{\"name\":\"\",\"children\":[]}");
        kvffa__clear_error();
    }
    // Loads a fake tree, registers and opens the fake.
    static void fake(const char *tree, const char *config = nullptr) {
        ASSERT_EQ(kvffa_fake_load_tree(tree), KVFFA_OK) << kvffa_last_error();
        ASSERT_EQ(kvffa_fake_register(), KVFFA_OK) << kvffa_last_error();
        ASSERT_EQ(kvffa_open("fake", config), KVFFA_OK) << kvffa_last_error();
    }
    static std::vector<std::string> names() {
        std::vector<std::string> v;
        for (size_t i = 0; i < kvffa_count(); i++) v.push_back(kvffa_item_name(kvffa_item_at((long)i)));
        return v;
    }
};
