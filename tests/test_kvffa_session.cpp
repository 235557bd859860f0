// Registry and session of the access layer: what a backend record must be to
// get in, one open backend at a time with open/close paired, the
// configuration check, page size, reset, and running out of memory.
#include "helpers/kvffa_helpers.h"

TEST_F(Kvffa, RegistrationChecksInOrder) {
    EXPECT_EQ(kvffa_register(nullptr), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "register: NULL backend");

    test_backend t("ok");
    kvffa_backend b = t.record();
    b.struct_size = sizeof b - 1;
    b.id = "-bad"; // the size is checked first
    EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG);
    EXPECT_EQ(std::string(kvffa_last_error()), "register: struct_size " + std::to_string(sizeof b - 1) +
                                                   " < v1 size " + std::to_string(sizeof b));

    b = t.record();
    std::string id32(32, 'z'), id33(33, 'z');
    for (const char *bad : {"", "-a", "A", "a_b", "a b", id33.c_str()}) {
        b.id = bad;
        EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG) << bad;
        EXPECT_STREQ(kvffa_last_error(), "register: id must match [a-z0-9][a-z0-9-]{0,31}");
    }
    b.id = nullptr;
    EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG);
    EXPECT_EQ(kvffa_backend_count(), 0);

    for (int missing = 0; missing < 4; missing++) {
        b = t.record();
        if (missing == 0) b.open = nullptr;
        if (missing == 1) b.list = nullptr;
        if (missing == 2) b.locator = nullptr;
        if (missing == 3) b.close = nullptr;
        EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG);
        EXPECT_STREQ(kvffa_last_error(), "register 'ok': open/list/locator/close required");
    }
    b = t.record();
    b.capabilities = 0x23;
    EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "register 'ok': unknown capability bits 0x20");
    b.capabilities = KVFFA_CAP_STAT;
    b.stat = nullptr;
    EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "register 'ok': CAP_STAT without stat()");
    EXPECT_EQ(kvffa_backend_count(), 0);

    for (const char *good : {"a", "0", "a-", id32.c_str()}) {
        b = t.record();
        b.id = good;
        b.capabilities = 0x1D;
        EXPECT_EQ(kvffa_register(&b), KVFFA_OK) << good << ": " << kvffa_last_error();
    }
    EXPECT_EQ(kvffa_backend_count(), 4);
    EXPECT_STREQ(kvffa_backend_id(3), id32.c_str());
    EXPECT_EQ(kvffa_backend_caps(0), 0x1D);
    EXPECT_STREQ(kvffa_backend_id(-1), "");
    EXPECT_STREQ(kvffa_backend_id(4), "");
    EXPECT_EQ(kvffa_backend_caps(64), -1);
}

TEST_F(Kvffa, RegistryKeepsItsOwnCopies) {
    // The caller's record and id text need not outlive registration; a longer
    // record of a later version is cut to the known fields.
    struct longer {
        kvffa_backend b;
        void *extra;
    } rec;
    test_backend t("x");
    rec.b = t.record();
    rec.b.struct_size = sizeof rec;
    rec.b.stat = [](void *, const char *, kvffa_item *) -> int {
        return KVFFA_OK;
    }; // ignored without CAP_STAT
    char id[8] = "temp";
    rec.b.id = id;
    ASSERT_EQ(kvffa_register(&rec.b), KVFFA_OK);
    memset(id, 'q', 4);
    const kvffa_backend *found = kvffa__find("temp");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->struct_size, sizeof(kvffa_backend));
    EXPECT_STREQ(found->id, "temp");
    EXPECT_EQ(found->stat, nullptr);
    EXPECT_EQ(kvffa__find(nullptr), nullptr);
    EXPECT_EQ(kvffa__find("Temp"), nullptr);

    EXPECT_EQ(kvffa_register(&rec.b), KVFFA_OK); // now "qqqq"
    rec.b.id = "temp";
    EXPECT_EQ(kvffa_register(&rec.b), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "register: id 'temp' already registered");
}

TEST_F(Kvffa, RegistryHoldsSixtyFour) {
    test_backend t("x");
    std::vector<std::string> ids;
    for (int i = 0; i < 65; i++) ids.push_back("b" + std::to_string(i));
    kvffa_backend b = t.record();
    for (int i = 0; i < 64; i++) {
        b.id = ids[i].c_str();
        ASSERT_EQ(kvffa_register(&b), KVFFA_OK);
    }
    b.id = ids[64].c_str();
    EXPECT_EQ(kvffa_register(&b), KVFFA_E_OOM);
    EXPECT_STREQ(kvffa_last_error(), "register: registry full (64)");
    b.id = ids[3].c_str(); // a duplicate is reported as such also when full
    EXPECT_EQ(kvffa_register(&b), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "register: id 'b3' already registered");

    EXPECT_EQ(kvffa__unregister("b10"), 0);
    EXPECT_EQ(kvffa__unregister("b10"), 1);
    EXPECT_EQ(kvffa__unregister(nullptr), 1);
    EXPECT_STREQ(kvffa_backend_id(10), "b11"); // order kept
    b.id = ids[64].c_str();
    EXPECT_EQ(kvffa_register(&b), KVFFA_OK);
    EXPECT_STREQ(kvffa_backend_id(63), "b64");
}

TEST_F(Kvffa, OpenAndClosePairUp) {
    test_backend a("a"), b("b"), c("c");
    ASSERT_EQ(a.reg(), KVFFA_OK);
    ASSERT_EQ(b.reg(), KVFFA_OK);
    ASSERT_EQ(c.reg(), KVFFA_OK);

    ASSERT_EQ(kvffa_open("c", nullptr), KVFFA_OK);
    EXPECT_EQ(c.last_config, "{}");
    // Unregistering an earlier row keeps the same backend open.
    EXPECT_EQ(kvffa__unregister("a"), 0);
    b.list = [](const char *, kvffa_page *) { return KVFFA_E_ACCESS; };
    c.list = [](const char *, kvffa_page *page) {
        put_entry(page, "x", "/x");
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(c.lists, 1);

    // Opening another closes the first, whatever the outcome.
    EXPECT_EQ(kvffa_open("zzz", "{}"), KVFFA_E_NO_BACKEND);
    EXPECT_STREQ(kvffa_last_error(), "no backend 'zzz'");
    EXPECT_EQ(c.closes, 1);
    EXPECT_EQ(kvffa_count(), 0u); // the listing went with the session
    EXPECT_EQ(kvffa_list("/"), KVFFA_E_NOT_OPEN);
    EXPECT_EQ(kvffa_open(nullptr, "{}"), KVFFA_E_NO_BACKEND);
    EXPECT_STREQ(kvffa_last_error(), "no backend '(null)'");

    ASSERT_EQ(kvffa_open("c", "{\"k\":[1,2]}"), KVFFA_OK);
    EXPECT_EQ(c.last_config, "{\"k\":[1,2]}");
    EXPECT_EQ(kvffa__unregister("c"), 0); // the open one: closed exactly once more
    EXPECT_EQ(c.closes, 2);
    EXPECT_EQ(kvffa_list("/"), KVFFA_E_NOT_OPEN);
    kvffa_close(); // nothing open: no further close
    EXPECT_EQ(c.closes, 2);

    // A failed open is never closed.
    b.open = [](const char *) { return KVFFA_E_ACCESS; };
    EXPECT_EQ(kvffa_open("b", "{}"), KVFFA_E_ACCESS);
    EXPECT_STREQ(kvffa_last_error(), "open 'b': access");
    kvffa_close();
    EXPECT_EQ(b.closes, 0);
    EXPECT_EQ(b.opens, 1);
}

TEST_F(Kvffa, ConfigurationMustBeAStrictJsonObject) {
    test_backend t("t");
    ASSERT_EQ(t.reg(), KVFFA_OK);
    for (const char *bad : {"[]", "not json", "", "{} x", "{\"a\":1,}", "{/*c*/}", "{\"a\":\"\xFF\"}",
                            "\"{}\"", "{\"a\":NaN}", "{\"a\":01}", "{\"a\":\"\xF4\"}"}) {
        EXPECT_EQ(kvffa_open("t", bad), KVFFA_E_BAD_CONFIG) << bad;
        EXPECT_STREQ(kvffa_last_error(), "config must be a JSON object");
    }
    EXPECT_EQ(t.opens, 0);
    // Nesting far deeper than any call stack would allow is only a parse.
    std::string deep = "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
    EXPECT_EQ(kvffa_open("t", deep.c_str()), KVFFA_OK);
    EXPECT_EQ(kvffa_open("t", " {\"\xC3\xA9\":null} "), KVFFA_OK);
    EXPECT_EQ(t.opens, 2);
}

TEST_F(Kvffa, BackendResultsAreMappedAndWorded) {
    test_backend t("t");
    ASSERT_EQ(t.reg(), KVFFA_OK);
    int result = 42;
    t.open = [&](const char *) { return result; };
    EXPECT_EQ(kvffa_open("t", "{}"), KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "backend open returned out-of-taxonomy code 42");
    result = -1;
    EXPECT_EQ(kvffa_open("t", "{}"), KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "backend open returned out-of-taxonomy code -1");

    // A backend's own text with the same code stays.
    t.open = [](const char *) { return kvffa__fail(KVFFA_E_BAD_CONFIG, "config needs udn"); };
    EXPECT_EQ(kvffa_open("t", "{}"), KVFFA_E_BAD_CONFIG);
    EXPECT_STREQ(kvffa_last_error(), "config needs udn");
    // A text with another code does not.
    t.open = [](const char *) {
        kvffa__fail(KVFFA_E_ACCESS, "mine");
        return KVFFA_E_BAD_CONFIG;
    };
    EXPECT_EQ(kvffa_open("t", "{}"), KVFFA_E_BAD_CONFIG);
    EXPECT_STREQ(kvffa_last_error(), "open 't': bad_config");
    // Nor does an older failure that merely carries the same code.
    kvffa__fail(KVFFA_E_NOT_FOUND, "stat '/old': not_found");
    t.open = [](const char *) { return KVFFA_E_NOT_FOUND; };
    EXPECT_EQ(kvffa_open("t", "{}"), KVFFA_E_NOT_FOUND);
    EXPECT_STREQ(kvffa_last_error(), "open 't': not_found");

    // Success clears.
    t.open = [](const char *) { return KVFFA_OK; };
    EXPECT_EQ(kvffa_open("t", "{}"), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "");
    EXPECT_EQ(kvffa_last_code(), 0);
}

TEST_F(Kvffa, PageSizeAndReset) {
    EXPECT_EQ(kvffa_set_page_size(0), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "page size must be 1..65536");
    EXPECT_EQ(kvffa_set_page_size(65537), KVFFA_E_INVALID_ARG);
    EXPECT_EQ(kvffa_set_page_size(-5), KVFFA_E_INVALID_ARG);
    EXPECT_EQ(kvffa_set_page_size(65536), KVFFA_OK);
    EXPECT_EQ(kvffa_set_page_size(1), KVFFA_OK);

    test_backend t("t");
    size_t seen_cap = 0;
    t.list = [&](const char *, kvffa_page *page) {
        seen_cap = page->cap;
        return KVFFA_OK;
    };
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    EXPECT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(seen_cap, 1u);
    kvffa__set_result_owned(strdup("{\"owned\":1}"));

    kvffa_reset();
    EXPECT_EQ(t.closes, 1);
    EXPECT_EQ(kvffa_backend_count(), 0);
    EXPECT_STREQ(kvffa_result_json(),
                 "{\"backend\":\"\",\"path\":\"\",\"count\":0,\"more\":false,\"rejected\":0,"
                 "\"items\":[]}");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    EXPECT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(seen_cap, 256u);
}

TEST_F(Kvffa, RegistrationAndOpenRunOutOfMemoryCleanly) {
    test_backend t("t");
    walk_allocation_failures([] { kvffa_reset(); }, [&] { return t.reg(); },
                             [](int) {
                                 EXPECT_EQ(kvffa_backend_count(), 0);
                                 EXPECT_STREQ(kvffa_last_error(), "out of memory");
                             });
    EXPECT_EQ(kvffa_backend_count(), 1);

    // Checking the configuration needs memory too; the backend is not opened without it.
    std::string cfg = "{\"a\":" + std::string(5000, '[') + std::string(5000, ']') + "}";
    int runs = walk_allocation_failures([] {}, [&] { return kvffa_open("t", cfg.c_str()); },
                                        [&](int) {
                                            EXPECT_STREQ(kvffa_last_error(), "out of memory");
                                            EXPECT_EQ(t.opens, 0);
                                        });
    EXPECT_GT(runs, 1);
    EXPECT_EQ(t.opens, 1);
}
