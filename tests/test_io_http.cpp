// kvdmc-test: tsan
// The transport-neutral half of the built-in HTTP transports.
#include <gtest/gtest.h>

#include "http/io_http.h"

TEST(IoHttp, HostGivenByAddress) {
    struct row {
        const char *url;
        bool address;
    } rows[] = {
        {"http://10.0.0.9:8200/ctl/ContentDir", true},
        {"HTTPS://192.168.1.20/", true},
        {"http://10.0.0.9", true},
        {"http://user:pw@10.0.0.9/x", true},
        {"http://10.0.0.9?next=a@b", true},
        {"http://[fe80::1%25eth0]:49152/desc.xml", true},
        {"http://nas.local:8200/", false},
        {"http://10.0.0.9.example.net/", false},
        {"http://10.0.0/", false},
        {"http://10.0.0.256/", false},
        {"http://10.0.0.9@nas.local/", false},
        {"http://:8200/", false},
        {"ftp://10.0.0.9/", false},
        {"10.0.0.9", false},
        {nullptr, false},
    };
    for (const row &w : rows)
        EXPECT_EQ(io_http_host_is_address(w.url), w.address) << (w.url ? w.url : "null");
}
