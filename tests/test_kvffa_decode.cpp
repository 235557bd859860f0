// Decoding strict JSON into the listing of the access layer, under the listing's validation.
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
