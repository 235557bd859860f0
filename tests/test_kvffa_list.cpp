// Listing of the access layer against backends that misbehave: overruns,
// lies about count, cursor games, codes outside the taxonomy, cancellation
// from inside list, and allocation failures at every step.
#include "helpers/kvffa_helpers.h"

namespace {
// A folder of n entries "e0".."e<n-1>" under /d, served page by page with the
// offset as cursor; short pages when `short_by` is set.
struct folder_backend : test_backend {
    std::vector<std::string> names, paths;
    size_t short_by = 0;
    bool more_on_last = false; // only learns at the end that nothing follows
    explicit folder_backend(size_t n, const char *name = "f") : test_backend(name) {
        for (size_t i = 0; i < n; i++) {
            names.push_back("e" + std::to_string(i));
            paths.push_back("/d/e" + std::to_string(i));
        }
        list = [this](const char *, kvffa_page *page) {
            size_t off = page->cursor ? strtoul(page->cursor, nullptr, 10) : 0;
            size_t take = page->cap > short_by ? page->cap - short_by : 1;
            while (page->count < take && off < names.size()) {
                put_entry(page, names[off].c_str(), paths[off].c_str());
                off++;
            }
            static thread_local std::string cur;
            cur = std::to_string(off);
            page->more = off < names.size() || (more_on_last && page->count > 0);
            page->next_cursor = cur.c_str();
            return KVFFA_OK;
        };
    }
};
} // namespace

TEST_F(Kvffa, PagesArriveInOrder) {
    folder_backend f(3);
    ASSERT_EQ(f.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_set_page_size(1), KVFFA_OK);
    EXPECT_EQ(kvffa_list("/d"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 1u);
    EXPECT_EQ(kvffa_more(), 1);
    EXPECT_EQ(kvffa_list_next(), 1);
    EXPECT_EQ(kvffa_list_next(), 0);
    EXPECT_EQ(kvffa_list_next(), 0); // nothing to continue
    EXPECT_EQ(names(), (std::vector<std::string>{"e0", "e1", "e2"}));
    EXPECT_EQ(f.cursors, (std::vector<std::string>{"(null)", "1", "2"}));

    f.more_on_last = true;
    f.cursors.clear();
    EXPECT_EQ(kvffa_list_all("/d"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 3u);
    EXPECT_EQ(f.cursors.size(), 4u); // the last page came back empty
    EXPECT_EQ(kvffa_item_at(-1), nullptr);
    EXPECT_EQ(kvffa_item_at(3), nullptr);
    EXPECT_STREQ(kvffa_item_path(kvffa_item_at(2)), "/d/e2");
}

TEST_F(Kvffa, EntriesStayPutWhileTheTableGrows) {
    folder_backend f(1000);
    f.short_by = 3; // odd page sizes cross block boundaries at odd places
    ASSERT_EQ(f.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_set_page_size(10), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/d"), KVFFA_OK);
    const kvffa_item *first = kvffa_item_at(0);
    while (kvffa_list_next() > 0) {
    }
    ASSERT_EQ(kvffa_count(), 1000u);
    EXPECT_EQ(kvffa_item_at(0), first);
    EXPECT_STREQ(kvffa_item_name(first), "e0");
    for (long i = 0; i < 1000; i++) ASSERT_EQ(kvffa_item_name(kvffa_item_at(i)), "e" + std::to_string(i));
}

TEST_F(Kvffa, BackendContractViolationsFailThePage) {
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_set_page_size(4), KVFFA_OK);
    struct {
        std::function<int(const char *, kvffa_page *)> list;
        const char *message;
    } cases[] = {
        {[](const char *, kvffa_page *p) {
             for (int i = 0; i < 5; i++) put_entry(p, "a", "/a");
             return KVFFA_OK;
         },
         "backend wrote past cap 4"},
        {[](const char *, kvffa_page *p) {
             p->items[p->cap + 15].name = "late"; // the last guard
             return KVFFA_OK;
         },
         "backend wrote past cap 4"},
        {[](const char *, kvffa_page *p) {
             p->count = p->cap + 1;
             return KVFFA_OK;
         },
         "backend returned 5 entries for cap 4"},
        {[](const char *, kvffa_page *p) {
             p->more = 1;
             p->next_cursor = "";
             return KVFFA_OK;
         },
         "backend set more without next_cursor"},
        {[](const char *, kvffa_page *p) {
             p->more = 7;
             return KVFFA_OK;
         },
         "backend set more without next_cursor"},
        {[](const char *, kvffa_page *) { return 99; }, "backend list returned out-of-taxonomy code 99"},
        {[](const char *, kvffa_page *) { return -3; }, "backend list returned out-of-taxonomy code -3"},
        {[](const char *, kvffa_page *) { return KVFFA_E_ACCESS; }, "list '/x': access"},
        {[](const char *, kvffa_page *) { return KVFFA_E_CANCELLED; }, "cancelled (backend)"},
        {[](const char *, kvffa_page *p) {
             kvffa_cancel(); // raised from inside the backend's call
             put_entry(p, "a", "/a");
             return KVFFA_OK;
         },
         "cancelled during page"},
    };
    for (auto &c : cases) {
        // A good first page, then the faulty one: the listing stays as it was.
        t.list = [](const char *, kvffa_page *p) {
            put_entry(p, "good", "/x/good");
            p->more = 1;
            p->next_cursor = "c1";
            return KVFFA_OK;
        };
        ASSERT_EQ(kvffa_list("/x"), KVFFA_OK);
        t.list = c.list;
        int rc = kvffa_list_next();
        EXPECT_LT(rc, 0) << c.message;
        EXPECT_STREQ(kvffa_last_error(), c.message);
        EXPECT_EQ(kvffa_last_code(), -rc);
        EXPECT_EQ(kvffa_count(), 1u);
        EXPECT_EQ(kvffa_more(), 1);
        EXPECT_EQ(kvffa_rejected(), 0u);
    }
    // The same faults on a first page leave nothing to continue.
    t.list = [](const char *, kvffa_page *p) {
        p->count = 9;
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_list("/x"), KVFFA_E_TRANSPORT);
    EXPECT_EQ(kvffa_more(), 0);
    EXPECT_EQ(kvffa_list_next(), 0);
}

TEST_F(Kvffa, CursorsAreHandedBackExactly) {
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    int page = 0;
    std::string next;
    t.list = [&](const char *, kvffa_page *p) {
        page++;
        // A cursor text that changes after the call must not matter: the layer copied it.
        next = page == 1 ? "opaque \xE2\x82\xAC/?&" : "";
        p->next_cursor = next.c_str();
        p->more = page == 1;
        if (page == 2) p->next_cursor = "left over"; // ignored when more is clear
        put_entry(p, page == 1 ? "one" : "two", page == 1 ? "/one" : "/two");
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_list_all("/"), KVFFA_OK);
    next = "scribbled";
    EXPECT_EQ(t.cursors, (std::vector<std::string>{"(null)", "opaque \xE2\x82\xAC/?&"}));
    EXPECT_EQ(kvffa_count(), 2u);
    EXPECT_EQ(kvffa_more(), 0);

    // A page whose items pointer or cap the backend rewrote is still checked
    // against what the layer handed out.
    t.list = [](const char *, kvffa_page *p) {
        static kvffa_item own[2];
        put_entry(p, "real", "/real");
        p->items = own;
        p->cap = 1000;
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"real"}));
}

TEST_F(Kvffa, RejectedEntriesWarnWithoutFailing) {
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    t.list = [](const char *, kvffa_page *p) {
        put_entry(p, "ok", "/music/ok");
        put_entry(p, "self", "/music/");
        put_entry(p, "..", "/music/..");
        put_entry(p, "also", "/music/also", 1);
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_list("/music"), KVFFA_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"ok", "also"}));
    EXPECT_EQ(kvffa_rejected(), 2u);
    EXPECT_STREQ(kvffa_last_error(), "rejected entry: name is '.' or '..' (cycle)");
    EXPECT_EQ(kvffa_last_code(), 0);
    EXPECT_EQ(kvffa_item_is_folder(kvffa_item_at(1)), 1);
}

TEST_F(Kvffa, CancellationBetweenAndInsidePages) {
    folder_backend f(10);
    ASSERT_EQ(f.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_set_page_size(2), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/d"), KVFFA_OK);
    kvffa_cancel();
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_CANCELLED);
    EXPECT_STREQ(kvffa_last_error(), "cancelled");
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_CANCELLED); // stays cancelled
    EXPECT_EQ(f.lists, 1);
    EXPECT_EQ(kvffa_list_all("/d"), KVFFA_OK); // a new listing starts afresh
    EXPECT_EQ(kvffa_count(), 10u);

    // A backend polling the flag it is handed.
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    t.list = [](const char *, kvffa_page *p) {
        if (__atomic_load_n(p->cancel, __ATOMIC_RELAXED)) return KVFFA_E_CANCELLED;
        put_entry(p, "a", "/a");
        p->more = 1;
        p->next_cursor = "n";
        kvffa_cancel();
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_list_all("/"), KVFFA_E_CANCELLED);
    EXPECT_STREQ(kvffa_last_error(), "cancelled during page");
    EXPECT_EQ(kvffa_count(), 0u);
}

TEST_F(Kvffa, CancelWhileTakingEntriesRollsThePageBack) {
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    int page = 0;
    // Texts this long need fresh storage while the second page is taken; the
    // allocation hook raises the cancel flag right then.
    const std::string c_name(3000, 'c'), c_path = "/" + std::string(3000, 'c');
    t.list = [&](const char *, kvffa_page *p) {
        page++;
        put_entry(p, page == 1 ? "a" : c_name.c_str(), page == 1 ? "/a" : c_path.c_str());
        put_entry(p, "..", "/bad"); // rejected
        put_entry(p, page == 1 ? "b" : "d", page == 1 ? "/b" : "/d");
        p->more = 1;
        p->next_cursor = "2";
        return KVFFA_OK;
    };
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    ASSERT_EQ(kvffa_count(), 2u);
    ASSERT_EQ(kvffa_rejected(), 1u);
    {
        alloc_fail f(-1, 2); // the page, the cursor copy, then storage for the long path
        EXPECT_EQ(kvffa_list_next(), -KVFFA_E_CANCELLED);
    }
    EXPECT_STREQ(kvffa_last_error(), "cancelled during copy");
    EXPECT_EQ(kvffa_count(), 2u);
    EXPECT_EQ(kvffa_rejected(), 1u);
    EXPECT_EQ(kvffa_more(), 1);
    EXPECT_EQ(t.cursors.back(), "2");
}

TEST_F(Kvffa, OutOfMemoryWhileTakingEntriesRollsThePageBack) {
    // A retry after running out of memory must not deliver entries twice.
    folder_backend f(200);
    ASSERT_EQ(f.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_set_page_size(100), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/d"), KVFFA_OK);
    ASSERT_EQ(kvffa_count(), 100u);
    {
        alloc_fail fail(1); // the page; then the table's next block, at entry 128
        EXPECT_EQ(kvffa_list_next(), -KVFFA_E_OOM);
    }
    EXPECT_STREQ(kvffa_last_error(), "out of memory copying entries");
    EXPECT_EQ(kvffa_count(), 100u);
    EXPECT_EQ(kvffa_more(), 1);
    EXPECT_EQ(kvffa_list_next(), 0); // the same page again, now whole
    ASSERT_EQ(kvffa_count(), 200u);
    for (long i = 0; i < 200; i++) ASSERT_EQ(kvffa_item_name(kvffa_item_at(i)), "e" + std::to_string(i));
}

TEST_F(Kvffa, ListingRunsOutOfMemoryAtEveryStep) {
    folder_backend f(150);
    ASSERT_EQ(f.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_set_page_size(70), KVFFA_OK);
    f.list = [inner = f.list](const char *path, kvffa_page *p) {
        int rc = inner(path, p);
        if (p->count > 1) {
            p->items[1].name = "."; // one rejected entry per page
            p->items[2].fields = KVFFA_F_TITLE | KVFFA_F_ID | KVFFA_F_LOCATOR;
            p->items[2].title = p->items[2].backend_id = p->items[2].locator = "x";
        }
        return rc;
    };
    int runs =
        walk_allocation_failures([] {}, [] { return kvffa_list_all("/d"); },
                                 [](int) {
                                     // Whole pages only, rejections counted with their page.
                                     EXPECT_EQ(kvffa_count() % 69, 0u) << kvffa_count();
                                     EXPECT_EQ(kvffa_rejected(), kvffa_count() / 69);
                                     std::string e = kvffa_last_error();
                                     EXPECT_TRUE(e == "out of memory" || e == "out of memory (page of 70)" ||
                                                 e == "out of memory copying entries")
                                         << e;
                                 });
    EXPECT_GT(runs, 5);
    EXPECT_EQ(kvffa_count(), 147u);
    EXPECT_EQ(kvffa_rejected(), 3u);
    EXPECT_STREQ(kvffa_item_locator(kvffa_item_at(1)), "x");
}

TEST_F(Kvffa, ListingArgumentsAndState) {
    EXPECT_EQ(kvffa_list("/"), KVFFA_E_NOT_OPEN);
    EXPECT_STREQ(kvffa_last_error(), "no open backend");
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_NOT_OPEN);
    EXPECT_EQ(kvffa_list_all("/"), KVFFA_E_NOT_OPEN);

    test_backend t("t");
    std::string seen;
    t.list = [&](const char *path, kvffa_page *) {
        seen = path;
        return KVFFA_OK;
    };
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    EXPECT_EQ(kvffa_list_next(), 0); // no listing yet
    EXPECT_EQ(kvffa_list(nullptr), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "path is NULL");
    std::string p4096(4096, 'p'), p4097(4097, 'p');
    EXPECT_EQ(kvffa_list(p4097.c_str()), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "path too long");
    EXPECT_EQ(kvffa_list(p4096.c_str()), KVFFA_OK);
    EXPECT_EQ(seen, p4096);
    EXPECT_STREQ(kvffa_last_error(), "");

    ASSERT_EQ(kvffa_decode("[]"), KVFFA_OK);
    EXPECT_EQ(kvffa_list_next(), 0); // a decoded list has nothing to continue
    kvffa_close();
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_NOT_OPEN);
}

TEST_F(Kvffa, BackendThatReentersTheLayerCannotCorruptIt) {
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    int page = 0;
    t.list = [&](const char *, kvffa_page *p) {
        if (++page == 2) kvffa_decode("[{\"name\":\"z\",\"path\":\"/z\"}]");
        put_entry(p, "a", "/a");
        p->more = 1;
        p->next_cursor = "n";
        return KVFFA_OK;
    };
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "backend restarted the listing from inside list");
    EXPECT_EQ(names(), (std::vector<std::string>{"z"}));
}
