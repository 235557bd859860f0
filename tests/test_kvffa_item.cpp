// Items of the access layer: result codes and the last error, the strict
// UTF-8 check, the validation rules and the accessors, and the header's
// record layouts.
#include <stddef.h>
#include <stdint.h>

#include "helpers/kvffa_helpers.h"

extern "C" int kvffa_c99_header_ok(void);

#if UINTPTR_MAX > 0xFFFFFFFFu
static_assert(sizeof(kvffa_item) == 72 && sizeof(kvffa_page) == 64 && sizeof(kvffa_backend) == 72);
static_assert(offsetof(kvffa_item, name) == 8 && offsetof(kvffa_item, is_folder) == 24 &&
              offsetof(kvffa_item, size) == 32 && offsetof(kvffa_item, locator) == 64);
static_assert(offsetof(kvffa_page, cursor) == 8 && offsetof(kvffa_page, more) == 40 &&
              offsetof(kvffa_page, cancel) == 56);
static_assert(offsetof(kvffa_backend, capabilities) == 16 && offsetof(kvffa_backend, open) == 32 &&
              offsetof(kvffa_backend, close) == 64);
#endif

namespace {
kvffa_item item(const char *name, const char *path) {
    kvffa_item it;
    memset(&it, 0, sizeof it);
    it.struct_size = sizeof it;
    it.name = name;
    it.path = path;
    it.size = -1;
    it.mtime_ms = -1;
    return it;
}

std::string why(const kvffa_item *it, const char *listed = nullptr, int stat_mode = 0) {
    const char *w = "(unset)";
    return kvffa__validate(it, listed, stat_mode, &w) ? "ok" : w;
}
} // namespace

TEST_F(Kvffa, HeaderIsC99AndVersioned) {
    EXPECT_EQ(kvffa_c99_header_ok(), 1);
    EXPECT_STREQ(kvffa_version(), "1.0.0");
}

TEST_F(Kvffa, CodeNamesIgnoreTheSign) {
    const char *names[] = {"ok",          "no_backend", "not_open",   "not_found",   "access", "transport",
                           "unsupported", "cancelled",  "bad_config", "invalid_arg", "oom"};
    for (int i = 0; i <= 10; i++) {
        EXPECT_STREQ(kvffa_strerror(i), names[i]);
        EXPECT_STREQ(kvffa_strerror(-i), names[i]);
    }
    EXPECT_STREQ(kvffa_strerror(11), "unknown");
    EXPECT_STREQ(kvffa_strerror(INT32_MIN), "unknown");
    EXPECT_STREQ(kvffa_strerror(INT32_MAX), "unknown");
}

TEST_F(Kvffa, LastErrorRecordsCutsAndClears) {
    EXPECT_EQ(kvffa__fail(KVFFA_E_ACCESS, "no %s at %d", "entry", 7), KVFFA_E_ACCESS);
    EXPECT_STREQ(kvffa_last_error(), "no entry at 7");
    EXPECT_EQ(kvffa_last_code(), KVFFA_E_ACCESS);
    // The last text may be an argument of the next one.
    kvffa__fail(KVFFA_E_TRANSPORT, "wrapped: %s", kvffa_last_error());
    EXPECT_STREQ(kvffa_last_error(), "wrapped: no entry at 7");

    std::string big(2000, 'x');
    kvffa__fail(KVFFA_E_OOM, "%s", big.c_str());
    EXPECT_EQ(strlen(kvffa_last_error()), 1023u);
    EXPECT_EQ(kvffa_last_code(), KVFFA_E_OOM);
    // A cut never ends inside a UTF-8 sequence.
    std::string euro = std::string(1022, 'a') + "\xE2\x82\xAC";
    kvffa__fail(1, "%s", euro.c_str());
    EXPECT_EQ(strlen(kvffa_last_error()), 1022u);
    EXPECT_EQ(kvffa__utf8_valid(kvffa_last_error()), 1);

    kvffa__clear_error();
    EXPECT_STREQ(kvffa_last_error(), "");
    EXPECT_EQ(kvffa_last_code(), 0);
}

TEST_F(Kvffa, Utf8WellFormedness) {
    struct {
        const char *text;
        int ok;
    } cases[] = {
        {"", 1},
        {"plain ascii", 1},
        {"\xC2\x80 \xDF\xBF", 1},
        {"\xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80", 1},
        {"\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF", 1},
        {"\xC0\xAF", 0},         // overlong '/'
        {"\xC1\xBF", 0},         // overlong
        {"\xE0\x9F\xBF", 0},     // overlong three bytes
        {"\xED\xA0\x80", 0},     // UTF-16 surrogate
        {"\xF0\x8F\xBF\xBF", 0}, // overlong four bytes
        {"\xF4\x90\x80\x80", 0}, // above U+10FFFF
        {"\xF5\x80\x80\x80", 0},
        {"\x80", 0},
        {"a\xE2\x82", 0}, // cut short by the end
        {"a\xC3", 0},
        {"\xC3\x28", 0},
        {"\xFF", 0},
    };
    for (auto &c : cases) EXPECT_EQ(kvffa__utf8_valid(c.text), c.ok) << c.text;
    EXPECT_EQ(kvffa__utf8_valid(nullptr), 0);
}

TEST_F(Kvffa, ValidationRulesInOrder) {
    EXPECT_EQ(why(nullptr), "null item");
    kvffa_item it = item(nullptr, "/a");
    EXPECT_EQ(why(&it), "name is NULL");
    it = item("", "/a");
    EXPECT_EQ(why(&it), "empty name");
    EXPECT_EQ(why(&it, nullptr, 1), "ok"); // a root in a stat result
    for (const char *dots : {".", ".."}) {
        it = item(dots, "/a");
        EXPECT_EQ(why(&it), "name is '.' or '..' (cycle)");
    }
    for (const char *fine : {".hidden", "..."}) {
        it = item(fine, "/a");
        EXPECT_EQ(why(&it), "ok");
    }
    it = item("a/b", "/a");
    EXPECT_EQ(why(&it), "name contains '/'");
    it = item("x\xE2\x82", "/a");
    EXPECT_EQ(why(&it), "name is not valid UTF-8");
    it = item("a", "");
    EXPECT_EQ(why(&it), "path is empty");
    it = item("a", nullptr);
    EXPECT_EQ(why(&it), "path is empty");
    it = item("a", "/\xFF");
    EXPECT_EQ(why(&it), "path is not valid UTF-8");

    // Self-loops, trailing slashes ignored on both sides, case kept.
    it = item("music", "/music/");
    EXPECT_EQ(why(&it, "/music"), "path equals the listed folder (self-loop)");
    EXPECT_EQ(why(&it, "/music//"), "path equals the listed folder (self-loop)");
    EXPECT_EQ(why(&it, "/music", 1), "ok");
    it = item("Music", "/Music");
    EXPECT_EQ(why(&it, "/music"), "ok");
    it = item("root", "/");
    EXPECT_EQ(why(&it, "/"), "path equals the listed folder (self-loop)");

    it = item("a", "/a");
    for (int bad : {2, -1}) {
        it.is_folder = bad;
        EXPECT_EQ(why(&it), "is_folder not 0/1");
    }
    it.is_folder = 1;
    EXPECT_EQ(why(&it), "ok");
}

TEST_F(Kvffa, ValidationOfOptionalFields) {
    kvffa_item it = item("a", "/a");
    EXPECT_EQ(why(&it), "ok"); // size -1 without its bit
    it.fields = KVFFA_F_SIZE;
    EXPECT_EQ(why(&it), "F_SIZE with negative size");
    it.size = 0;
    EXPECT_EQ(why(&it), "ok");
    it.fields = KVFFA_F_MTIME;
    EXPECT_EQ(why(&it), "F_MTIME with negative mtime");

    it = item("a", "/a");
    it.fields = KVFFA_F_YEAR;
    for (int y : {1800, 9999}) {
        it.year = y;
        EXPECT_EQ(why(&it), "ok");
    }
    for (int y : {1799, 10000, 0}) {
        it.year = y;
        EXPECT_EQ(why(&it), "F_YEAR outside 1800..9999");
    }
    it.fields = 0;
    EXPECT_EQ(why(&it), "ok"); // any year without the bit

    struct {
        uint32_t bit;
        const char *kvffa_item::*field;
        const char *null_why, *utf8_why;
    } texts[] = {
        {KVFFA_F_TITLE, &kvffa_item::title, "F_TITLE with NULL title", "title is not valid UTF-8"},
        {KVFFA_F_ID, &kvffa_item::backend_id, "F_ID with NULL id", "id is not valid UTF-8"},
        {KVFFA_F_LOCATOR, &kvffa_item::locator, "F_LOCATOR with NULL locator", "locator is not valid UTF-8"},
    };
    for (auto &t : texts) {
        it = item("a", "/a");
        it.*t.field = "\xED\xA0\x80";
        EXPECT_EQ(why(&it), "ok"); // not looked at without the bit
        it.fields = t.bit;
        EXPECT_EQ(why(&it), t.utf8_why);
        it.*t.field = "\xC0\xAF";
        EXPECT_EQ(why(&it), t.utf8_why);
        it.*t.field = nullptr;
        EXPECT_EQ(why(&it), t.null_why);
        it.*t.field = "fine";
        EXPECT_EQ(why(&it), "ok");
    }

    // Reasons go through why only when asked for; struct_size is not checked.
    it = item("a", "/a");
    it.struct_size = 3;
    EXPECT_EQ(kvffa__validate(&it, nullptr, 0, nullptr), 1);
    it.is_folder = 5;
    EXPECT_EQ(kvffa__validate(&it, nullptr, 0, nullptr), 0);
}

TEST_F(Kvffa, ValidateItemRecordsTheReason) {
    kvffa_item it = item("a", "/x");
    EXPECT_EQ(kvffa_validate_item(&it, "/x"), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "item rejected: path equals the listed folder (self-loop)");
    kvffa__clear_error();
    EXPECT_EQ(kvffa_validate_item(&it, "/"), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "");
}

TEST_F(Kvffa, AccessorsHonourPresenceBits) {
    EXPECT_STREQ(kvffa_item_name(nullptr), "");
    EXPECT_STREQ(kvffa_item_path(nullptr), "");
    EXPECT_STREQ(kvffa_item_title(nullptr), "");
    EXPECT_EQ(kvffa_item_is_folder(nullptr), 0);
    EXPECT_EQ(kvffa_item_size(nullptr), -1);
    EXPECT_EQ(kvffa_item_mtime_ms(nullptr), -1);
    EXPECT_EQ(kvffa_item_year(nullptr), 0);
    EXPECT_EQ(kvffa_item_fields(nullptr), 0u);
    EXPECT_EQ(kvffa_item_has(nullptr, KVFFA_F_SIZE), 0);

    kvffa_item it = item(nullptr, nullptr);
    it.size = 5;
    it.mtime_ms = 6;
    it.year = 2001;
    it.title = "t";
    it.backend_id = "i";
    it.locator = "l";
    EXPECT_STREQ(kvffa_item_name(&it), "");
    EXPECT_EQ(kvffa_item_size(&it), -1);
    EXPECT_EQ(kvffa_item_mtime_ms(&it), -1);
    EXPECT_EQ(kvffa_item_year(&it), 0);
    EXPECT_STREQ(kvffa_item_title(&it), "");
    EXPECT_STREQ(kvffa_item_backend_id(&it), "");
    EXPECT_STREQ(kvffa_item_locator(&it), "");

    it.fields = 0x3F;
    EXPECT_EQ(kvffa_item_size(&it), 5);
    EXPECT_EQ(kvffa_item_mtime_ms(&it), 6);
    EXPECT_EQ(kvffa_item_year(&it), 2001);
    EXPECT_STREQ(kvffa_item_title(&it), "t");
    EXPECT_STREQ(kvffa_item_backend_id(&it), "i");
    EXPECT_STREQ(kvffa_item_locator(&it), "l");
    it.title = nullptr;
    EXPECT_STREQ(kvffa_item_title(&it), "");

    it.fields = KVFFA_F_SIZE;
    EXPECT_EQ(kvffa_item_has(&it, 0), 0);
    EXPECT_EQ(kvffa_item_has(&it, KVFFA_F_SIZE), 1);
    EXPECT_EQ(kvffa_item_has(&it, KVFFA_F_SIZE | KVFFA_F_MTIME), 0);
    it.fields |= KVFFA_F_MTIME;
    EXPECT_EQ(kvffa_item_has(&it, KVFFA_F_SIZE | KVFFA_F_MTIME), 1);
}

TEST_F(Kvffa, CopiesKeepOnlyFlaggedFields) {
    // The fake hands titles over with their bit cleared when titles are off.
    ASSERT_EQ(kvffa_fake_set_caps(0x0B), KVFFA_OK);
    fake(
        R"({"name":"","children":[{"name":"a","title":"T","year":1999,"id":"7","size":3,"mtime_ms":9,"folder":false}]})");
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    const kvffa_item *it = kvffa_item_at(0);
    ASSERT_NE(it, nullptr);
    EXPECT_EQ(it->struct_size, sizeof(kvffa_item));
    EXPECT_EQ(it->fields, (uint32_t)(KVFFA_F_SIZE | KVFFA_F_MTIME | KVFFA_F_ID));
    EXPECT_EQ(it->title, nullptr);
    EXPECT_STREQ(kvffa_item_title(it), "");
    EXPECT_EQ(it->year, 0);
    EXPECT_STREQ(it->backend_id, "7");
    EXPECT_EQ(it->size, 3);
    EXPECT_EQ(it->mtime_ms, 9);
}

TEST_F(Kvffa, StrdupCopiesOrFails) {
    EXPECT_EQ(kvffa__strdup(nullptr), nullptr);
    char *c = kvffa__strdup("abc");
    ASSERT_NE(c, nullptr);
    EXPECT_STREQ(c, "abc");
    free(c);
    alloc_fail f(0);
    EXPECT_EQ(kvffa__strdup("abc"), nullptr);
}
