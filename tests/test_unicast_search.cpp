// kvdmc-test: netns
// Unicast search of known hosts: a device that listens only on its own address, never on
// the multicast group, is found only when it is named in ssdp_hosts.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "helpers/docs.h"
#include "kvdmc.h"
#include "helpers/test_sock.h"

namespace {

const char *ST_SERVER = "urn:schemas-upnp-org:device:MediaServer:1";

std::string header_of(const std::string &pkt, const std::string &name) {
    size_t p = pkt.find("\r\n" + name + ": ");
    if (p == std::string::npos) return "";
    p += name.size() + 4;
    return pkt.substr(p, pkt.find("\r\n", p) - p);
}

// Descriptions from memory: http://127.0.0.1:9/<uuid>.xml describes uuid:<uuid>.
int mem_get(void *, const char *url, char **out_body, int *http_code, char **) {
    std::string u = url;
    size_t slash = u.rfind('/'), dot = u.rfind(".xml");
    docs::device d;
    d.udn = "uuid:" + u.substr(slash + 1, dot - slash - 1);
    d.services = docs::service_xml(docs::named_service("ContentDirectory:1"));
    *out_body = strdup(docs::description(d).c_str());
    *http_code = 200;
    return 0;
}
void mem_free(void *, void *p) {
    free(p);
}
const quorlin_io s_mem_io = {nullptr, mem_get, nullptr, mem_free};

// A device bound to its own address and port only: multicast never reaches it.
class unicast_peer {
  public:
    unicast_peer(const char *addr, int port, std::string uuid) : uuid_(std::move(uuid)) {
        tsock_startup();
        s_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        inet_pton(AF_INET, addr, &sa.sin_addr);
        ok_ = bind(s_, (sockaddr *)&sa, sizeof sa) == 0;
        th_ = std::thread([this] { run(); });
    }
    ~unicast_peer() {
        stop_ = true;
        th_.join();
        tsock_close(s_);
    }
    unicast_peer(const unicast_peer &) = delete;
    unicast_peer &operator=(const unicast_peer &) = delete;
    bool ok() const { return ok_; }
    std::vector<std::string> searches() {
        std::lock_guard<std::mutex> g(mu_);
        return seen_;
    }

  private:
    void run() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        char buf[4096];
        while (!stop_ && std::chrono::steady_clock::now() < end) {
            if (tsock_poll(s_, TSOCK_IN, 20) <= 0) continue;
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            int n = (int)recvfrom(s_, buf, sizeof buf, 0, (sockaddr *)&from, &fl);
            if (n <= 0 || strncmp(buf, "M-SEARCH ", 9) != 0) continue;
            std::string m(buf, (size_t)n);
            {
                std::lock_guard<std::mutex> g(mu_);
                seen_.push_back(m);
            }
            docs::reply_fields f;
            f.ext = true;
            f.st = header_of(m, "ST");
            f.usn = "uuid:" + uuid_ + "::" + ST_SERVER;
            f.location = "http://127.0.0.1:9/" + uuid_ + ".xml";
            std::string r = docs::reply(f);
            sendto(s_, r.data(), (int)r.size(), 0, (const sockaddr *)&from, sizeof from);
        }
    }
    std::string uuid_;
    tsock s_ = TSOCK_BAD;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread th_;
    std::mutex mu_;
    std::vector<std::string> seen_;
};

} // namespace

TEST(UnicastSearch, HostsListIsCheckedWhole) {
    struct {
        const char *value;
        int rc;
    } rows[] = {
        {"", 0},
        {"192.0.2.7", 0},
        {"192.0.2.7:1901,198.51.100.1", 0},
        {"10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5,10.0.0.6,10.0.0.7,10.0.0.8,10.0.0.9,10.0.0.10,"
         "10.0.0.11,10.0.0.12,10.0.0.13,10.0.0.14,10.0.0.15,10.0.0.16:65535",
         0},
        {"10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5,10.0.0.6,10.0.0.7,10.0.0.8,10.0.0.9,10.0.0.10,"
         "10.0.0.11,10.0.0.12,10.0.0.13,10.0.0.14,10.0.0.15,10.0.0.16,10.0.0.17",
         KVDMC_E_CONFIG},
        {"tv.local", KVDMC_E_CONFIG},
        {"192.0.2.7:", KVDMC_E_CONFIG},
        {"192.0.2.7:0", KVDMC_E_CONFIG},
        {"192.0.2.7:65536", KVDMC_E_CONFIG},
        {"192.0.2.7:+1", KVDMC_E_CONFIG},
        {"192.0.2.7,", KVDMC_E_CONFIG},
        {",192.0.2.7", KVDMC_E_CONFIG},
        {"192.0.2.7 ,192.0.2.8", 0},
        {" 192.0.2.7, 192.0.2.8:1901 ", 0},
        {"192.0.2.7, ,192.0.2.8", KVDMC_E_CONFIG},
        {"0.0.0.0", KVDMC_E_CONFIG},
        {"239.255.255.250", KVDMC_E_CONFIG},
        {"255.255.255.255:1900", KVDMC_E_CONFIG},
        {"[fe80::1]:1900", KVDMC_E_CONFIG},
        {"256.0.0.1", KVDMC_E_CONFIG},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.value);
        EXPECT_EQ(kvdmc_config("ssdp_hosts", row.value), row.rc);
        if (row.rc) {
            EXPECT_STREQ(kvdmc_last_error(), "ssdp_hosts must be up to 16 IPv4 addresses, each with an "
                                             "optional :port, separated by commas");
        }
    }
    EXPECT_EQ(kvdmc_config("ssdp_hosts", nullptr), 0);
}

// The search reaches a peer on its own address only when it is listed; the peer's answer
// goes to the table like any other, and a listed host that is not there costs nothing.
TEST(UnicastSearch, ListedHostsAreAskedDirectly) {
    ASSERT_EQ(kvdmc_config("ssdp_if", "127.0.0.1"), 0);
    // The search's own socket takes the group's port; Windows binds it to every address,
    // so the peer's port 1900 (the default of a listed host) must not be the group's.
    ASSERT_EQ(kvdmc_config("ssdp_port", "1902"), 0);
    kvdmc_set_io(&s_mem_io);
    struct {
        const char *hosts;
        size_t searches; // M-SEARCHes the peer on 127.0.0.2:1900 receives
        int found;
    } rows[] = {
        {"", 0, 0},
        {"127.0.0.2", 6, 1},
        {"127.0.0.3:1999,127.0.0.2:1900", 6, 1}, // the first is nobody
        {"127.0.0.2:1901", 0, 0},                // another port
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.hosts);
        unicast_peer peer("127.0.0.2", 1900, "uni-1");
        ASSERT_TRUE(peer.ok());
        kvdmc_devices_clear();
        ASSERT_EQ(kvdmc_config("ssdp_hosts", row.hosts), 0);
        auto t0 = std::chrono::steady_clock::now();
        ASSERT_GE(kvdmc_discover(KVDMC_KIND_BOTH, 300), 0) << kvdmc_last_error();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto seen = peer.searches();
        EXPECT_EQ(seen.size(), row.searches);
        for (const auto &m : seen) {
            EXPECT_EQ(header_of(m, "HOST"), "127.0.0.2:1900");
            EXPECT_EQ(header_of(m, "MAN"), "\"ssdp:discover\"");
            EXPECT_EQ(header_of(m, "MX"), "") << "a unicast search carries no MX";
        }
        EXPECT_EQ(kvdmc_find_device("uuid:uni-1") >= 0 ? 1 : 0, row.found);
    }
    kvdmc_config("ssdp_hosts", nullptr);
    kvdmc_config("ssdp_if", nullptr);
    kvdmc_config("ssdp_port", nullptr);
    kvdmc_set_io(nullptr);
}
