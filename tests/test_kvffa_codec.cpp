// JSON codec of the access layer: rendering the current result, and reading the
// rendering back into the same entries.
#include "helpers/kvffa_helpers.h"

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
