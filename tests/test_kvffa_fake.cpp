// The fake backend: loading trees and generators, real paging with cursors
// and a page limit, capability masks, injected faults and call counters.
#include "helpers/kvffa_helpers.h"

namespace {
std::string chain(int levels) {
    std::string s;
    for (int i = 0; i < levels; i++) s += "{\"name\":\"n\",\"children\":[";
    for (int i = 0; i < levels; i++) s += "]}";
    return s;
}
} // namespace

TEST_F(Kvffa, FakeTreeLoading) {
    EXPECT_EQ(kvffa_fake_load_tree(nullptr), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "fake tree: NULL");
    ASSERT_EQ(kvffa_fake_load_tree(R"({"name":"","children":[{"name":"keep"}]})"), KVFFA_OK);
    EXPECT_EQ(kvffa_fake_load_tree("{\"name\":"), KVFFA_E_BAD_CONFIG);
    EXPECT_STREQ(kvffa_last_error(), "fake tree: not JSON");
    ASSERT_EQ(kvffa_fake_register(), KVFFA_OK);
    ASSERT_EQ(kvffa_open("fake", nullptr), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK); // the old tree stayed
    EXPECT_EQ(names(), (std::vector<std::string>{"keep"}));

    struct {
        std::string tree;
        const char *message;
    } bad[] = {
        {chain(66), "fake tree deeper than 64"},
        {"[]", "fake tree: node is not an object"},
        {R"({"name":"","children":[5]})", "fake tree: node is not an object"},
        {R"({"name":"","children":[{"title":"x"}]})", "fake tree: node without string name"},
        {R"({"name":1})", "fake tree: node without string name"},
        {R"({"name":"","children":{}})", "fake tree: children is not an array"},
        {R"({"name":"","generate":{}})", "fake generate: not an array"},
        {R"({"name":"","generate":[{"path":"/g"}]})", "fake generate: need path + count"},
        {R"({"name":"","generate":[{"path":"/g","count":1.0}]})", "fake generate: need path + count"},
        {R"({"name":"","generate":[{"path":"/g","count":1000001}]})", "fake generate: count 0..1000000"},
        {R"({"name":"","generate":[{"path":"/g","count":-1}]})", "fake generate: count 0..1000000"},
        {R"({"name":"","generate":[{"path":"/x/y","count":1}]})", "fake generate: parent of '/x/y' missing"},
        {R"({"name":"","children":[{"name":"f","folder":false}],"generate":[{"path":"/f","count":1}]})",
         "fake generate: not a folder"},
    };
    for (auto &b : bad) {
        EXPECT_EQ(kvffa_fake_load_tree(b.tree.c_str()), KVFFA_E_BAD_CONFIG) << b.tree;
        EXPECT_STREQ(kvffa_last_error(), b.message);
        // A failed load leaves no tree.
        EXPECT_EQ(kvffa_list("/"), KVFFA_E_NOT_FOUND);
    }
    ASSERT_EQ(kvffa_fake_load_tree(chain(65).c_str()), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "");
    std::string deep = "/";
    for (int i = 0; i < 64; i++) deep += (i ? "/n" : "n");
    ASSERT_EQ(kvffa_list(deep.c_str()), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 0u);

    // After a failed load the next open brings the default tree.
    EXPECT_EQ(kvffa_fake_load_tree("[]"), KVFFA_E_BAD_CONFIG);
    ASSERT_EQ(kvffa_open("fake", nullptr), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 0u);
}

TEST_F(Kvffa, FakeNodesCanBeInvalidOnPurpose) {
    std::string tree = R"({"name":"","children":[
        {"name":"seven","folder":7},
        {"name":"neg","size":-5,"raw_size":null},
        {"name":"plain","size":-5},
        {"name":"bad)"
                       "\xff"
                       R"("},
        {"name":"y","year":4294969296},
        {"name":"t","title":"T","year":2000,"id":"ID","mtime_ms":-4},
        {"name":"trail","path":"/trail/","children":[]},
        {"name":"dir","folder":false,"children":[{"name":"x"}]}]})";
    fake(tree.c_str());
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"plain", "y", "t", "trail", "dir"}));
    EXPECT_EQ(kvffa_rejected(), 3u);
    EXPECT_STREQ(kvffa_last_error(), "rejected entry: name is not valid UTF-8");
    EXPECT_EQ(kvffa_item_size(kvffa_item_at(0)), -1);
    EXPECT_EQ(kvffa_item_year(kvffa_item_at(1)), 2000); // cut to 32 bits
    const kvffa_item *t = kvffa_item_at(2);
    EXPECT_STREQ(kvffa_item_title(t), "T");
    EXPECT_EQ(kvffa_item_year(t), 2000);
    EXPECT_STREQ(kvffa_item_backend_id(t), "ID");
    EXPECT_EQ(kvffa_item_mtime_ms(t), -1);
    EXPECT_EQ(kvffa_item_is_folder(kvffa_item_at(4)), 1);
    // A stored path with a trailing slash is never found.
    EXPECT_EQ(kvffa_list("/trail"), KVFFA_E_NOT_FOUND);
    EXPECT_STREQ(kvffa_last_error(), "list '/trail': not_found");

    ASSERT_EQ(kvffa_fake_load_tree(R"({"name":"","children":[{"name":"seven","folder":7}]})"), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "rejected entry: is_folder not 0/1");
    ASSERT_EQ(kvffa_fake_load_tree(R"({"name":"","children":[{"name":"neg","size":-5,"raw_size":1}]})"),
              KVFFA_OK);
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_STREQ(kvffa_last_error(), "rejected entry: F_SIZE with negative size");
}

TEST_F(Kvffa, FakeGenerators) {
    fake(R"({"name":"","children":[{"name":"a","children":[{"name":"old"}]}],"generate":[
        {"path":"/g","count":3,"folders":1,"size":10},
        {"path":"/a//","count":2},
        {"path":"/g/d000000/deeper","count":1}]})");
    ASSERT_EQ(kvffa_list("/g"), KVFFA_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"d000000", "f000001.bin", "f000002.bin"}));
    EXPECT_EQ(kvffa_item_is_folder(kvffa_item_at(0)), 1);
    EXPECT_EQ(kvffa_item_size(kvffa_item_at(0)), -1);
    EXPECT_EQ(kvffa_item_size(kvffa_item_at(2)), 10);
    EXPECT_STREQ(kvffa_item_path(kvffa_item_at(2)), "/g/f000002.bin");
    ASSERT_EQ(kvffa_list("/a"), KVFFA_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"old", "f000000.bin", "f000001.bin"}));
    ASSERT_EQ(kvffa_list("/g/d000000/deeper"), KVFFA_OK);
    EXPECT_STREQ(kvffa_item_path(kvffa_item_at(0)), "/g/d000000/deeper/f000000.bin");
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(names(), (std::vector<std::string>{"a", "g"}));
}

TEST_F(Kvffa, FakeLookupNeverMatchesACutPath) {
    // A query longer than any stored path is its own path, not a prefix of it.
    std::string name(4095, 'n');
    std::string tree = R"({"name":"","children":[{"name":")" + name + R"(","children":[{"name":"kid"}]}]})";
    fake(tree.c_str());
    std::string stored = "/" + name; // 4096 bytes
    ASSERT_EQ(kvffa_list(stored.c_str()), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 1u);
    EXPECT_EQ(kvffa_get((stored + "x").c_str(), nullptr), KVFFA_E_NOT_FOUND);
    ASSERT_EQ(kvffa_get((stored + "/kid").c_str(), nullptr), KVFFA_OK);
    EXPECT_STREQ(kvffa_item_name(kvffa_got()), "kid");
}

TEST_F(Kvffa, FakePagingAndCursors) {
    fake(R"({"name":"","generate":[{"path":"/five","count":5}]})", R"({"page_size":2})");
    ASSERT_EQ(kvffa_list_all("/five"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 5u);
    EXPECT_EQ(kvffa_fake_calls(2), 3);
    EXPECT_EQ(kvffa_fake_calls(3), 2);

    for (const char *bad :
         {R"({"page_size":0})", R"({"page_size":-1})", R"({"page_size":"2"})", R"({"page_size":1.5})"}) {
        EXPECT_EQ(kvffa_open("fake", bad), KVFFA_E_BAD_CONFIG) << bad;
        EXPECT_STREQ(kvffa_last_error(), "open 'fake': bad_config");
    }
    ASSERT_EQ(kvffa_open("fake", "{}"), KVFFA_OK); // the limit goes with a new open
    ASSERT_EQ(kvffa_list("/five"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 5u);

    // Cursors the fake did not hand out.
    test_backend relay("relay");
    const kvffa_backend *fk = kvffa__find("fake");
    ASSERT_NE(fk, nullptr);
    kvffa_backend f = *fk;
    std::string cursor;
    relay.open = [f](const char *cfg) { return f.open(f.ctx, cfg); };
    relay.list = [f, &cursor](const char *path, kvffa_page *p) {
        p->cursor = cursor.c_str();
        return f.list(f.ctx, path, p);
    };
    ASSERT_EQ(relay.reg_open(), KVFFA_OK);
    for (const char *bad : {"x", "1x", "-1", "99999999999999999999999", "6"}) {
        cursor = bad;
        EXPECT_EQ(kvffa_list("/five"), KVFFA_E_INVALID_ARG) << bad;
        EXPECT_STREQ(kvffa_last_error(), "list '/five': invalid_arg");
    }
    cursor = "5"; // the end exactly: an empty last page
    EXPECT_EQ(kvffa_list("/five"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 0u);
    cursor = "0";
    EXPECT_EQ(kvffa_list("/five/f000000.bin"), KVFFA_E_INVALID_ARG); // not a folder
}

TEST_F(Kvffa, FakeFaultsAndCounters) {
    fake(R"({"name":"","children":[{"name":"a"},{"name":"b"},{"name":"c"}]})");
    EXPECT_EQ(kvffa_fake_calls(6), 0);
    EXPECT_EQ(kvffa_fake_calls(0), -1);
    EXPECT_EQ(kvffa_fake_calls(7), -1);
    EXPECT_EQ(kvffa_fake_set_fault(7, 1), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "unknown fault op 7");

    ASSERT_EQ(kvffa_fake_set_fault(2, 42), KVFFA_OK);
    EXPECT_EQ(kvffa_list("/"), KVFFA_E_TRANSPORT);
    EXPECT_STREQ(kvffa_last_error(), "backend list returned out-of-taxonomy code 42");
    ASSERT_EQ(kvffa_fake_set_fault(2, 0), KVFFA_OK);

    ASSERT_EQ(kvffa_set_page_size(2), KVFFA_OK);
    ASSERT_EQ(kvffa_fake_set_fault(3, KVFFA_E_ACCESS), KVFFA_OK);
    ASSERT_EQ(kvffa_list("/"), KVFFA_OK);
    EXPECT_EQ(kvffa_list_next(), -KVFFA_E_ACCESS);
    EXPECT_STREQ(kvffa_last_error(), "list '/': access");
    ASSERT_EQ(kvffa_fake_set_fault(3, 0), KVFFA_OK);
    EXPECT_EQ(kvffa_list_next(), 0); // the retry of the same page
    EXPECT_EQ(kvffa_count(), 3u);

    ASSERT_EQ(kvffa_fake_set_fault(6, 1), KVFFA_OK);
    EXPECT_EQ(kvffa_list("/"), KVFFA_E_CANCELLED);
    EXPECT_STREQ(kvffa_last_error(), "cancelled (backend)");
    EXPECT_EQ(kvffa_fake_calls(6), 0);
    EXPECT_EQ(kvffa_list("/"), KVFFA_OK); // the slot cleared itself when it fired

    ASSERT_EQ(kvffa_fake_set_fault(4, KVFFA_E_ACCESS), KVFFA_OK);
    ASSERT_EQ(kvffa_fake_set_fault(5, -9), KVFFA_OK);
    EXPECT_EQ(kvffa_get("/a", nullptr), KVFFA_E_ACCESS);
    EXPECT_EQ(kvffa_locator("/a"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "backend locator returned out-of-taxonomy code -9");
    ASSERT_EQ(kvffa_fake_set_fault(1, KVFFA_E_ACCESS), KVFFA_OK);
    EXPECT_EQ(kvffa_open("fake", nullptr), KVFFA_E_ACCESS);
    EXPECT_GT(kvffa_fake_calls(1), 0);
    EXPECT_GT(kvffa_fake_calls(4), 0);
    EXPECT_GT(kvffa_fake_calls(5), 0);

    ASSERT_EQ(kvffa_fake_set_fault(0, 0), KVFFA_OK);
    for (int op = 1; op <= 6; op++) EXPECT_EQ(kvffa_fake_calls(op), 0);
    ASSERT_EQ(kvffa_open("fake", nullptr), KVFFA_OK);
}

TEST_F(Kvffa, FakeCapabilitiesStatAndLocator) {
    fake(
        R"({"name":"","children":[{"name":"d","children":[{"name":"b.bin","title":"B","year":1990,"id":"7"}]}]})");
    ASSERT_EQ(kvffa_get("/d/b.bin", nullptr), KVFFA_OK);
    EXPECT_STREQ(kvffa_item_title(kvffa_got()), "B");
    EXPECT_EQ(kvffa_get("/nope", nullptr), KVFFA_E_NOT_FOUND);
    ASSERT_EQ(kvffa_get("/", nullptr), KVFFA_OK);
    EXPECT_STREQ(kvffa_item_name(kvffa_got()), "");
    EXPECT_STREQ(kvffa_locator("/d/b.bin"), "fake:///d/b.bin");
    EXPECT_EQ(kvffa_locator("/d"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "locator '/d': invalid_arg");
    EXPECT_EQ(kvffa_locator("/x"), nullptr);
    EXPECT_STREQ(kvffa_last_error(), "locator '/x': not_found");

    EXPECT_EQ(kvffa_fake_set_caps(32), KVFFA_E_INVALID_ARG);
    EXPECT_STREQ(kvffa_last_error(), "unknown capability bits");
    ASSERT_EQ(kvffa_fake_set_caps(0x01), KVFFA_OK); // re-registers, ending the session
    EXPECT_EQ(kvffa_backend_caps(0), 0x01);
    EXPECT_EQ(kvffa_list("/d"), KVFFA_E_NOT_OPEN);
    ASSERT_EQ(kvffa_open("fake", nullptr), KVFFA_OK);
    EXPECT_EQ(kvffa_get("/d/b.bin", nullptr), KVFFA_E_UNSUPPORTED);
    ASSERT_EQ(kvffa_list("/d"), KVFFA_OK);
    EXPECT_EQ(kvffa_item_fields(kvffa_item_at(0)), 0u); // no titles, years or ids

    kvffa_reset(); // not registered: the caps are only stored
    EXPECT_EQ(kvffa_fake_set_caps(0x0F), KVFFA_OK);
    EXPECT_EQ(kvffa_backend_count(), 0);
}

TEST_F(Kvffa, FakeLoadsOutOfMemoryCleanly) {
    const char *tree = R"({"name":"","children":[{"name":"a","title":"t","id":"i","children":[{"name":"b"}]}],
        "generate":[{"path":"/g/","count":300},{"path":"/a/x","count":2}]})";
    walk_allocation_failures([] {}, [&] { return kvffa_fake_load_tree(tree); },
                             [](int) { EXPECT_STREQ(kvffa_last_error(), "out of memory"); });
    fake(tree);
    ASSERT_EQ(kvffa_list("/g"), KVFFA_OK);
    EXPECT_EQ(kvffa_count(), 256u);
}
