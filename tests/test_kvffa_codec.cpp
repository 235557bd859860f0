// JSON codec of the access layer: decoding strict JSON into the listing under
// the listing's validation, rendering the current result, and reading the
// rendering back into the same entries.
#include <stdio.h>

#include "helpers/kvffa_helpers.h"

namespace {
const char *EMPTY_LISTING =
    R"({"backend":"decoded","path":"","count":0,"more":false,"rejected":0,"items":[]})";
}

TEST_F(Kvffa, DecodeFindsTheEntries) {
    EXPECT_EQ(kvffa_decode(nullptr), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "decode: NULL");
    ASSERT_EQ(kvffa_decode("[]"), KVFFA_OK);
    EXPECT_STREQ(kvffa_result_json(), EMPTY_LISTING);
    for (const char *bad : {"{}", "{\"items\":{}}", "\"items\"", "7", "{\"path\":\"/\"}"}) {
        EXPECT_EQ(kvffa_decode(bad), KVFFA_E_INVALID_ARG) << bad;
        EXPECT_STREQ(kvffa_last_error(), "decode: expected an items array");
    }
    // Strict standard JSON only.
    for (const char *bad :
         {"", "[] x", "[,]", "[1,]", "/*c*/[]", "[\"\xFF\"]", "[\"\xED\xA0\x80\"]", "[01]", "{'items':[]}",
          "[NaN]", "[\"\\ud800\"]", "\"i\xF4\"", "[\"\xF0\x90\"]"}) { // a lead byte cut short by the end
        EXPECT_EQ(kvffa_decode(bad), KVFFA_E_INVALID_ARG) << bad;
        EXPECT_STREQ(kvffa_last_error(), "decode: not JSON");
        EXPECT_EQ(kvffa_count(), 0u);
    }
    // A non-string path means no listed folder.
    ASSERT_EQ(kvffa_decode(R"({"path":5,"items":[{"name":"a","path":"/"}]})"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 1u);
    ASSERT_EQ(kvffa_decode(R"({"items":[{"name":"a","path":"/music/"}],"path":"/music"})"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 0u);
    EXPECT_STREQ(kvffa_last_error(), "rejected entry: path equals the listed folder (self-loop)");
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_NOT_OPEN);
}

TEST_F(Kvffa, DecodeRefusesBadShapesByIndex) {
    struct {
        const char *entry;
        bool shape_ok;
    } cases[] = {
        {R"({"name":"a","path":"/a"})", true},
        {R"({"name":"a","path":"/a","folder":null})", false},
        {R"({"name":"a","path":"/a","folder":1})", false},
        {R"({"name":"a","path":"/a","size":1.5})", false},
        {R"({"name":"a","path":"/a","size":1.0})", false},
        {R"({"name":"a","path":"/a","size":-2})", false},
        {R"({"name":"a","path":"/a","size":18446744073709551615})", false},
        {R"({"name":"a","path":"/a","size":"1"})", false},
        {R"({"name":5,"path":"/a"})", false},
        {R"({"name":"a\u0000/..","path":"/a"})", false}, // would be cut as a C text
        {R"({"name":"a","path":"/a","year":-2147483648})", false},
        {R"({"name":"a","path":"/a","title":[]})", false},
        {R"(["name","a"])", false},
        {R"(null)", false},
        {R"({"name":"a","path":"/a","size":-1,"mtime_ms":null,"title":null,"id":null,"locator":null})", true},
        {R"({"name":"a","path":"/a","name":7,"other":{"x":[1,{}]}})", true}, // first key counts
        {R"({"name":"a","path":"/a","year":1700})", true},                   // refused by validation
    };
    for (auto &c : cases) {
        std::string doc = std::string("[{\"name\":\"first\",\"path\":\"/f\"},") + c.entry + "]";
        ASSERT_EQ(kvffa_decode(doc.c_str()), KVFFA_OK) << c.entry;
        if (c.shape_ok && strstr(c.entry, "1700")) {
            EXPECT_STREQ(kvffa_last_error(), "rejected entry: F_YEAR outside 1800..9999");
            EXPECT_EQ(kvffa_rejected(), 1u);
        } else if (c.shape_ok) {
            EXPECT_EQ(kvffa_count(), 2u) << c.entry;
            EXPECT_EQ(kvffa_rejected(), 0u);
        } else {
            EXPECT_EQ(kvffa_count(), 1u) << c.entry;
            EXPECT_EQ(kvffa_rejected(), 1u);
            EXPECT_STREQ(kvffa_last_error(), "rejected entry 1: bad JSON shape") << c.entry;
            EXPECT_EQ(kvffa_last_code(), 0);
        }
    }
    ASSERT_EQ(kvffa_decode(R"([{"name":"a","path":"/a","size":-1,"mtime_ms":0,"year":2000,"folder":true}])"),
              KVFFA_OK);
    const kvffa_item *it = kvffa_item_at(0);
    EXPECT_EQ(kvffa_item_fields(it), (uint32_t)(KVFFA_F_MTIME | KVFFA_F_YEAR));
    EXPECT_EQ(kvffa_item_is_folder(it), 1);
    EXPECT_EQ(kvffa_item_year(it), 2000);
}

// "\\udc00" alone names no character: such a text is no UTF-8 and its entry is refused by
// its own field's check, while a pair of surrogates is one character.
TEST_F(Kvffa, DecodeRefusesLoneLowSurrogates) {
    struct {
        const char *entry;
        const char *why; // NULL: taken
    } rows[] = {
        {R"({"name":"a\udc00","path":"/a"})", "rejected entry: name is not valid UTF-8"},
        {R"({"name":"a","path":"/\udfff"})", "rejected entry: path is not valid UTF-8"},
        {R"({"name":"a","path":"/a","title":"\udc00x"})", "rejected entry: title is not valid UTF-8"},
        {R"({"name":"a","path":"/a","id":"\udc00"})", "rejected entry: id is not valid UTF-8"},
        {R"({"name":"a","path":"/a","locator":"h\udc80"})", "rejected entry: locator is not valid UTF-8"},
        {R"({"name":"\ud83c\udfb5","path":"/a"})", nullptr},
        {R"({"name":"\ud7ff\ue000","path":"/a"})", nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.entry);
        for (const char *shape : {"[%s]", "{\"items\":[%s],\"path\":\"/\"}"}) { // the second waits for "path"
            char doc[256];
            snprintf(doc, sizeof doc, shape, row.entry);
            ASSERT_EQ(kvffa_decode(doc), KVFFA_OK);
            EXPECT_EQ(kvffa_count(), row.why ? 0u : 1u);
            if (row.why) {
                EXPECT_STREQ(kvffa_last_error(), row.why);
            }
            EXPECT_EQ(kvffa__utf8_valid(kvffa_result_json()), 1);
        }
    }
    // A listed path that is no UTF-8 is no listed path.
    ASSERT_EQ(kvffa_decode(R"({"path":"/\udc00","items":[]})"), KVFFA_OK);
    EXPECT_STREQ(kvffa_result_json(), EMPTY_LISTING);
}

TEST_F(Kvffa, DecodeReadsAnyNesting) {
    // Nesting is only a question of heap, never of the call stack.
    for (size_t depth : {60, 70, 200000}) {
        std::string deep = std::string(depth, '[') + std::string(depth, ']');
        std::string doc = R"({"x":)" + deep + R"(,"items":[{"name":"a","path":"/a","x":)" + deep +
                          R"(},{"name":"b","path":"/b","title":)" + deep + R"(}],"path":"/"})";
        ASSERT_EQ(kvffa_decode(doc.c_str()), KVFFA_OK) << depth;
        EXPECT_EQ(names(), (std::vector<std::string>{"a"}));
        EXPECT_EQ(kvffa_rejected(), 1u);
        EXPECT_STREQ(kvffa_last_error(), "rejected entry 1: bad JSON shape");
        EXPECT_STREQ(kvffa_result_json(),
                     R"({"backend":"decoded","path":"/","count":1,"more":false,"rejected":1,)"
                     R"("items":[{"name":"a","path":"/a","folder":false,"size":-1,"mtime_ms":-1}]})");
    }
    std::string unclosed = "[{\"name\":\"a\",\"path\":\"/a\"}," + std::string(100, '[');
    EXPECT_EQ(kvffa_decode(unclosed.c_str()), KVFFA_E_INVALID_ARG);
    EXPECT_EQ(kvffa_count(), 0u);
}

TEST_F(Kvffa, DecodeNeverClearsTheLastError) {
    kvffa__fail(KVFFA_E_ACCESS, "earlier");
    ASSERT_EQ(kvffa_decode(R"([{"name":"a","path":"/a"}])"), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "earlier");
    EXPECT_EQ(kvffa_last_code(), KVFFA_E_ACCESS);
}

TEST_F(Kvffa, ResultJsonLayout) {
    ASSERT_EQ(kvffa_decode(R"({"path":"/m","items":[
        {"name":"a","path":"/m/a","folder":true},
        {"name":"\u00e9\u20ac\"\\\n\u0001","path":"/m/b","size":5,"mtime_ms":7,"title":"T","year":1999,
         "id":"x1","locator":"http://h/b"},
        {"name":"c","path":"/m/c","other":1,"title":null}]})"),
              KVFFA_OK);
    EXPECT_STREQ(
        kvffa_result_json(),
        "{\"backend\":\"decoded\",\"path\":\"/m\",\"count\":3,\"more\":false,\"rejected\":0,\"items\":["
        "{\"name\":\"a\",\"path\":\"/m/a\",\"folder\":true,\"size\":-1,\"mtime_ms\":-1},"
        "{\"name\":\"\xC3\xA9\xE2\x82\xAC\\\"\\\\\\n\\u0001\",\"path\":\"/m/b\",\"folder\":false,\"size\":5,"
        "\"mtime_ms\":7,\"title\":\"T\",\"year\":1999,\"id\":\"x1\",\"locator\":\"http://h/b\"},"
        "{\"name\":\"c\",\"path\":\"/m/c\",\"folder\":false,\"size\":-1,\"mtime_ms\":-1}]}");
}

TEST_F(Kvffa, ResultKinds) {
    test_backend t("t", KVFFA_CAP_STAT);
    t.stat = [](const char *, kvffa_item *it) {
        it->name = "";
        it->path = "/";
        it->is_folder = 1;
        return KVFFA_OK;
    };
    t.list = [](const char *, kvffa_page *p) {
        put_entry(p, "a", "/a");
        p->more = 1;
        p->next_cursor = "n";
        return KVFFA_OK;
    };
    EXPECT_STREQ(kvffa_result_json(),
                 R"({"backend":"","path":"","count":0,"more":false,"rejected":0,"items":[]})");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_get("/", nullptr), KVFFA_OK);
    EXPECT_STREQ(kvffa_result_json(),
                 R"({"backend":"t","item":{"name":"","path":"/","folder":true,"size":-1,"mtime_ms":-1}})");
    t.stat = [](const char *, kvffa_item *) { return KVFFA_E_NOT_FOUND; };
    EXPECT_EQ(kvffa_get("/x", nullptr), KVFFA_E_NOT_FOUND);
    EXPECT_STREQ(kvffa_result_json(), R"({"backend":"t","item":null})");

    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_STREQ(kvffa_result_json(),
                 R"({"backend":"t","path":"/","count":1,"more":true,"rejected":0,"items":[)"
                 R"({"name":"a","path":"/a","folder":false,"size":-1,"mtime_ms":-1}]})");

    // A text handed over is returned as it is, until replaced.
    kvffa__set_result_owned(strdup("{\"mine\":1}"));
    EXPECT_STREQ(kvffa_result_json(), "{\"mine\":1}");
    kvffa__set_result_owned(strdup("{\"mine\":2}"));
    EXPECT_STREQ(kvffa_result_json(), "{\"mine\":2}");
    kvffa__set_result_owned(nullptr); // owned kind without a text renders the listing
    EXPECT_NE(strstr(kvffa_result_json(), "\"backend\":\"t\""), nullptr);
    ASSERT_EQ(kvffa_get("/", nullptr), KVFFA_E_NOT_FOUND);
    kvffa_close();
    EXPECT_STREQ(kvffa_result_json(),
                 R"({"backend":"","path":"","count":0,"more":false,"rejected":0,"items":[]})");
}

TEST_F(Kvffa, ListedPathThatIsNotUtf8StillRendersValidJson) {
    test_backend t("t");
    ASSERT_EQ(t.reg_open(), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/a\xFF\xC3"), KVFFA_OK);
    EXPECT_STREQ(kvffa_result_json(),
                 "{\"backend\":\"t\",\"path\":\"/a\xEF\xBF\xBD\xEF\xBF\xBD\",\"count\":0,"
                 "\"more\":false,\"rejected\":0,\"items\":[]}");
    EXPECT_EQ(kvffa_decode(kvffa_result_json()), KVFFA_OK);
}

TEST_F(Kvffa, ResultReadsBackIntoTheSameEntries) {
    fake(R"({"name":"","children":[{"name":"m","children":[
        {"name":"a","size":0,"mtime_ms":1700000000000,"title":"A \"quoted\" \u2028 title","year":1800,"id":"i/1"},
        {"name":"d","folder":true},
        {"name":"e","path":"/"},
        {"name":"\u00e9t\u00e9","year":9999,"folder":false}]}]})");
    ASSERT_EQ(kvffa_list_all("/m"), KVFFA_OK);
    std::string first = kvffa_result_json();
    ASSERT_EQ(kvffa_count(), 4u);
    ASSERT_EQ(kvffa_decode(first.c_str()), KVFFA_OK);
    EXPECT_EQ(kvffa_rejected(), 0u);
    std::string second = kvffa_result_json();
    EXPECT_EQ(second.substr(second.find(",\"path\"")), first.substr(first.find(",\"path\"")));

    // A decoded list without a listed folder keeps an entry whose path is "/",
    // also when its rendering (path "") is read back.
    ASSERT_EQ(kvffa_decode(R"([{"name":"r","path":"/"}])"), KVFFA_OK);
    ASSERT_EQ(kvffa_count(), 1u);
    ASSERT_EQ(kvffa_decode(std::string(kvffa_result_json()).c_str()), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 1u);
}

TEST_F(Kvffa, CodecRunsOutOfMemoryCleanly) {
    std::string entries;
    for (int i = 0; i < 100; i++)
        entries += (i ? "," : "") + std::string("{\"name\":\"n") + std::to_string(i) + "\",\"path\":\"/p/n" +
                   std::to_string(i) + "\",\"title\":\"t\",\"locator\":\"l\"}";
    // Entries after the listed path are taken as they come; entries before it wait for it.
    std::string path_last = "{\"items\":[" + entries + "],\"path\":\"/p\"}";
    size_t last = 0;
    walk_allocation_failures([] {}, [&] { return kvffa_decode(path_last.c_str()); },
                             [&](int) {
                                 EXPECT_GE(kvffa_count(), last);
                                 last = kvffa_count();
                                 EXPECT_STREQ(kvffa_last_error(), "out of memory");
                             });
    ASSERT_EQ(kvffa_count(), 100u);
    std::string doc = "{\"path\":\"/p\",\"items\":[" + entries + "]}";
    last = 0;
    walk_allocation_failures([] {}, [&] { return kvffa_decode(doc.c_str()); },
                             [&](int) {
                                 // Entries taken before the failure stay, in order.
                                 EXPECT_GE(kvffa_count(), last);
                                 last = kvffa_count();
                                 for (size_t i = 0; i < kvffa_count(); i++)
                                     ASSERT_EQ(kvffa_item_name(kvffa_item_at((long)i)),
                                               "n" + std::to_string(i));
                                 EXPECT_STREQ(kvffa_last_error(), "out of memory");
                             });
    ASSERT_EQ(kvffa_count(), 100u);
    std::string full = kvffa_result_json();

    // Rendering falls back to "{}" and recovers once memory is back.
    int fallbacks = 0;
    for (long k = 0;; k++) {
        const char *out;
        {
            alloc_fail f(k);
            out = kvffa_result_json();
        }
        if (strcmp(out, "{}") != 0) {
            EXPECT_EQ(full, out);
            break;
        }
        fallbacks++;
    }
    EXPECT_GT(fallbacks, 0);
    EXPECT_EQ(full, kvffa_result_json());
}
