// Stat, locator and path join of the access layer: what a backend answers is
// checked before it is handed on, and a caller's shorter record gets only the
// fields it holds.
#include "helpers/kvffa_helpers.h"

namespace {
int stat_root(const char *, kvffa_item *it) {
    it->name = "";
    it->path = "/";
    it->is_folder = 1;
    it->fields = KVFFA_F_TITLE | KVFFA_F_SIZE;
    it->title = "Root";
    it->size = 12;
    return KVFFA_OK;
}
} // namespace

TEST_F(Kvffa, StatChecksAndHoldsTheResult) {
    test_backend t("t", KVFFA_CAP_STAT);
    t.stat = stat_root;
    EXPECT_EQ(kvffa_get("/", nullptr), KVFFA_E_NOT_OPEN);
    EXPECT_STREQ(kvffa_last_error(), "no open backend");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    EXPECT_EQ(kvffa_get(nullptr, nullptr), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "path is NULL");

    kvffa__fail(KVFFA_E_ACCESS, "earlier");
    ASSERT_EQ(kvffa_get("/", nullptr), KVFFA_OK); // a root may have an empty name
    EXPECT_STREQ(kvffa_last_error(), "");
    const kvffa_item *got = kvffa_got();
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got->path, "/");
    EXPECT_STREQ(kvffa_item_title(got), "Root");
    EXPECT_EQ(kvffa_item_size(got), 12);

    t.stat = [](const char *, kvffa_item *it) {
        stat_root(nullptr, it);
        it->is_folder = 2;
        return KVFFA_OK;
    };
    EXPECT_EQ(kvffa_get("/", nullptr), KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "stat returned an invalid item: is_folder not 0/1");
    EXPECT_EQ(kvffa_got(), nullptr); // the previous result went first

    t.stat = [](const char *, kvffa_item *) { return KVFFA_E_NOT_FOUND; };
    EXPECT_EQ(kvffa_get("/gone", nullptr), KVFFA_E_NOT_FOUND);
    EXPECT_STREQ(kvffa_last_error(), "stat '/gone': not_found");
    t.stat = [](const char *, kvffa_item *) { return 11; };
    EXPECT_EQ(kvffa_get("/gone", nullptr), KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "backend stat returned out-of-taxonomy code 11");

    // Without the capability the layer never calls stat.
    test_backend n("n");
    n.stat = stat_root;
    ASSERT_EQ(n.reg_open(), KVFFA_OK);
    EXPECT_EQ(kvffa_get("/", nullptr), KVFFA_E_UNSUPPORTED);
    EXPECT_STREQ(kvffa_last_error(), "backend 'n' cannot stat");
}

TEST_F(Kvffa, StatFillsTheCallersRecordBySize) {
    test_backend t("t", KVFFA_CAP_STAT);
    t.stat = stat_root;
    ASSERT_EQ(t.reg_open(), KVFFA_OK);

    kvffa_item out;
    memset(&out, 0, sizeof out);
    ASSERT_EQ(kvffa_get("/", &out), KVFFA_OK);
    EXPECT_EQ(out.struct_size, sizeof out);
    EXPECT_EQ(out.title, kvffa_got()->title); // refers to the layer's copy
    EXPECT_EQ(out.size, 12);

    // An old producer's record holding struct_size, fields and name only.
    const uint32_t short_size = offsetof(kvffa_item, path);
    memset(&out, 0xAB, sizeof out);
    out.struct_size = short_size;
    ASSERT_EQ(kvffa_get("/", &out), KVFFA_OK);
    EXPECT_EQ(out.struct_size, short_size);
    EXPECT_EQ(out.fields, (uint32_t)(KVFFA_F_TITLE | KVFFA_F_SIZE));
    EXPECT_STREQ(out.name, "");
    unsigned char tail[sizeof out - short_size];
    memset(tail, 0xAB, sizeof tail);
    EXPECT_EQ(memcmp(reinterpret_cast<char *>(&out) + short_size, tail, sizeof tail), 0);

    // A size ending inside a pointer: that field is left alone, never half-copied.
    memset(&out, 0xAB, sizeof out);
    out.struct_size = short_size + 3;
    ASSERT_EQ(kvffa_get("/", &out), KVFFA_OK);
    EXPECT_EQ(out.struct_size, short_size + 3);
    EXPECT_STREQ(out.name, "");
    memset(tail, 0xAB, sizeof tail);
    EXPECT_EQ(memcmp(reinterpret_cast<char *>(&out) + short_size, tail, sizeof tail), 0);

    // A larger size of a later version gets the whole known record.
    memset(&out, 0, sizeof out);
    out.struct_size = 4096;
    ASSERT_EQ(kvffa_get("/", &out), KVFFA_OK);
    EXPECT_EQ(out.struct_size, sizeof out);

    // A failure leaves the record untouched.
    t.stat = [](const char *, kvffa_item *) { return KVFFA_E_ACCESS; };
    memset(&out, 0x11, sizeof out);
    EXPECT_EQ(kvffa_get("/", &out), KVFFA_E_ACCESS);
    unsigned char same[sizeof out];
    memset(same, 0x11, sizeof same);
    EXPECT_EQ(memcmp(&out, same, sizeof out), 0);
}

TEST_F(Kvffa, StatRunsOutOfMemoryCleanly) {
    test_backend t("t", KVFFA_CAP_STAT);
    t.stat = stat_root;
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    walk_allocation_failures([] {}, [] { return kvffa_get("/", nullptr); },
                             [](int) {
                                 EXPECT_EQ(kvffa_got(), nullptr);
                                 EXPECT_STREQ(kvffa_last_error(), "out of memory");
                             });
    EXPECT_STREQ(kvffa_item_title(kvffa_got()), "Root");
}

TEST_F(Kvffa, LocatorMustBeNonEmptyUtf8) {
    EXPECT_EQ(kvffa_locator("/a"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "no open backend");
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    EXPECT_EQ(kvffa_locator(nullptr), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "path is NULL");

    size_t given = 0;
    t.locator = [&](const char *path, char *out, size_t n) {
        given = n;
        snprintf(out, n, "http://h/%s", path);
        return KVFFA_OK;
    };
    const char *l = kvffa_locator("a.mp3");
    ASSERT_NE(l, nullptr);
    EXPECT_STREQ(l, "http://h/a.mp3");
    EXPECT_EQ(given, 8192u);

    t.locator = [](const char *, char *out, size_t n) {
        memset(out, 'u', n); // no terminator at all
        return KVFFA_OK;
    };
    l = kvffa_locator("a");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(strlen(l), 8191u);

    for (const char *bad : {"", "\xC3\x28"}) {
        t.locator = [bad](const char *, char *out, size_t) {
            strcpy(out, bad);
            return KVFFA_OK;
        };
        EXPECT_EQ(kvffa_locator("a"), nullptr);
        EXPECT_STREQ(kvffa_last_error(), "backend returned an empty or non-UTF-8 locator");
        EXPECT_EQ(kvffa_last_code(), KVFFA_E_TRANSPORT);
    }
    t.locator = [](const char *, char *out, size_t) {
        strcpy(out, "partial");
        return KVFFA_E_NOT_FOUND;
    };
    EXPECT_EQ(kvffa_locator("/x"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "locator '/x': not_found");
}

TEST_F(Kvffa, PathJoin) {
    struct {
        const char *parent, *name, *joined;
    } ok[] = {
        {"/", "a", "/a"},
        {"", "a", "/a"},
        {"///", "a", "/a"},
        {"/music//", "x", "/music/x"},
        {"music", "x", "music/x"},
        {"/a", ".x", "/a/.x"},
        {"/\xC3\xA9", "\xE2\x82\xAC", "/\xC3\xA9/\xE2\x82\xAC"},
    };
    kvffa__fail(KVFFA_E_ACCESS, "kept");
    for (auto &c : ok) {
        const char *j = kvffa_path_join(c.parent, c.name);
        ASSERT_NE(j, nullptr) << c.parent << " + " << c.name;
        EXPECT_STREQ(j, c.joined);
    }
    EXPECT_STREQ(kvffa_last_error(), "kept"); // success leaves the last error alone

    EXPECT_EQ(kvffa_path_join(nullptr, "a"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "join: NULL argument");
    EXPECT_EQ(kvffa_path_join("/", nullptr), nullptr);
    for (const char *bad : {"", ".", "..", "a/b", "/"}) {
        EXPECT_EQ(kvffa_path_join("/p", bad), nullptr) << bad;
        EXPECT_STREQ(kvffa_last_error(), "join: name must be one segment, not '.', '..' or empty");
        EXPECT_EQ(kvffa_last_code(), KVFFA_E_INVALID_ARG);
    }
    EXPECT_EQ(kvffa_path_join("/p", "\xFF"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "join: not valid UTF-8");
    EXPECT_EQ(kvffa_path_join("/\xFF", "a"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "join: not valid UTF-8");

    std::string parent(4094, 'p');
    const char *j = kvffa_path_join((parent + "//").c_str(), "n");
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(strlen(j), 4096u);
    EXPECT_EQ(kvffa_path_join(parent.c_str(), "nn"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "join: result longer than 4096");
}
