// kvdmc-test: peers
// Browsing a real minidlna in the sandbox: the 600-file folder arrives whole, once
// and in server order, its resources can be fetched with the built-in transport,
// and an unknown object id is reported as such.
// It runs inside the sandbox's client namespace: scripts/sandbox wrap -- test_browse_e2e
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "http/io.h"
#include "kvdmc.h"
#include "tests/helpers/docs.h"

namespace {

std::string env(const char *k) {
    const char *v = getenv(k);
    return v ? v : "";
}

// Puts the server into the device table: its announcement as minidlna sends
// it, with the description fetched through the built-in transport.
void add_server() {
    ASSERT_EQ(kvdmc_use_curl(), 0) << "no built-in transport";
    std::string url = env("SERVER_URL"), udn = env("SERVER_UDN");
    std::string type = docs::SERVER_TYPE;
    std::string pkt = docs::ssdp_lines(
        "NOTIFY * HTTP/1.1", {"HOST:" + std::string(docs::SSDP_HOST), "CACHE-CONTROL:max-age=70",
                              "LOCATION:" + url, "NT:" + type, "USN:" + udn + "::" + type, "NTS:ssdp:alive"});
    ASSERT_EQ(kvdmc_fake_ssdp(pkt.c_str(), env("SERVER_ADDR").c_str()), 0) << kvdmc_last_error();
    ASSERT_GE(kvdmc_find_device(udn.c_str()), 0);
}

} // namespace

TEST(BrowseE2E, MinidlnaBigFolderAndUnknownObject) {
    if (env("SANDBOX_UP") != "1")
        GTEST_SKIP() << "needs the sandbox: scripts/sandbox wrap -- build/test_browse_e2e";
    add_server();
    if (HasFatalFailure()) return;
    std::string udn = env("SERVER_UDN");
    int big = atoi(env("BIG_COUNT").c_str());
    ASSERT_EQ(big, 600);

    // The folder's own record first.
    ASSERT_EQ(kvdmc_browse(udn.c_str(), "64$0", 0, 0, 1), 1) << kvdmc_last_error();
    std::string meta = kvdmc_item_json(0);
    EXPECT_NE(meta.find("\"childcount\":600"), std::string::npos) << meta;

    // Pages of 256 (three requests), then of 100: the same items in the same order.
    for (const char *page : {"256", "100"}) {
        SCOPED_TRACE(page);
        kvdmc_config("browse_page", page);
        kvdmc_cache_clear();
        ASSERT_EQ(kvdmc_browse(udn.c_str(), "64$0", 0, 0, 0), big) << kvdmc_last_error();
        EXPECT_EQ(kvdmc_last_code(), 0);
        EXPECT_EQ(kvdmc_total_matches(), big);
        for (int i = 0; i < big; i++) {
            // minidlna numbers the children in upper-case hexadecimal, in its own order.
            char id[32], title[32];
            snprintf(id, sizeof id, "\"id\":\"64$0$%X\"", i);
            snprintf(title, sizeof title, "\"title\":\"Big Track %03d\"", i + 1);
            std::string js = kvdmc_item_json(i);
            ASSERT_NE(js.find(id), std::string::npos) << i << ": " << js;
            ASSERT_NE(js.find(title), std::string::npos) << i << ": " << js;
            ASSERT_NE(js.find("\"mime\":\"audio/mpeg\""), std::string::npos) << js;
            ASSERT_EQ(std::string(kvdmc_best_res_url(i))
                          .rfind("http://" + env("SERVER_ADDR") + ":8200/MediaItems/", 0),
                      0u);
        }
    }

    // Resources play: fetch a few with the built-in transport.
    const quorlin_io *io = io_current();
    ASSERT_TRUE(io && io->http_get);
    for (int i : {0, 299, 599}) {
        std::string url = kvdmc_best_res_url(i);
        char *body = nullptr, *err = nullptr;
        int code = 0;
        int r = io->http_get(io->ctx, url.c_str(), &body, &code, &err);
        EXPECT_EQ(r, 0) << url << ": " << (err ? err : "");
        EXPECT_EQ(code, 200) << url;
        EXPECT_NE(body, nullptr);
        if (body) io->free_buf(io->ctx, body);
        if (err) io->free_buf(io->ctx, err);
    }

    // minidlna answers an unknown id with a 701 fault and status 500.
    EXPECT_EQ(kvdmc_browse(udn.c_str(), "64$0$nope", 0, 0, 0), KVDMC_E_UPNP);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "UPnP error 701: No such object error");
}
