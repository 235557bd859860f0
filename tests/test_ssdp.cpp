// kvdmc-test: netns
// kvdmc-test: tsan
// The live SSDP search against a responder on the loopback multicast group.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <dirent.h>
#endif

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/config.h"
#include "upnp/discover.h"
#include "helpers/docs.h"
#include "base/exports.h"
#include "http/io.h"
#include "kvdmc.h"
#include "helpers/mini_http.h"
#include "upnp/ssdp.h"
#include "helpers/test_sock.h"

namespace {

const char *SSDP_GROUP = "239.255.255.250";
const char *ST_SERVER = "urn:schemas-upnp-org:device:MediaServer:1";

// ---- transport serving device descriptions from memory, counting fetches ----
std::mutex s_io_mu;
std::map<std::string, int> s_fetches;

std::string description(const std::string &uuid) {
    docs::device d;
    d.udn = "uuid:" + uuid;
    d.fields = {{"friendlyName", "Test server " + uuid}, {"manufacturer", "Tests"}, {"modelName", "m"}};
    d.before_device = docs::SPEC_VERSION;
    d.decl_break = "";
    d.services = docs::service_xml(
        {docs::CDS_TYPE, "/cd", "urn:upnp-org:serviceId:ContentDirectory", "/ev", "/cd.xml"});
    return docs::description(d);
}

char *heap(const std::string &s) {
    return strdup(s.c_str());
}

// Description URLs look like http://127.0.0.1:9/<uuid>.xml.
int mem_get(void *, const char *url, char **out_body, int *http_code, char **) {
    std::string u = url;
    {
        std::lock_guard<std::mutex> g(s_io_mu);
        s_fetches[u]++;
    }
    size_t slash = u.rfind('/'), dot = u.rfind(".xml");
    *out_body = heap(description(u.substr(slash + 1, dot - slash - 1)));
    *http_code = 200;
    return 0;
}
void mem_free(void *, void *p) {
    free(p);
}
const quorlin_io s_mem_io = {nullptr, mem_get, nullptr, mem_free};

int fetches(const std::string &uuid) {
    std::lock_guard<std::mutex> g(s_io_mu);
    auto it = s_fetches.find("http://127.0.0.1:9/" + uuid + ".xml");
    return it == s_fetches.end() ? 0 : it->second;
}

std::string location_of(const std::string &uuid) {
    return "http://127.0.0.1:9/" + uuid + ".xml";
}

std::string reply_for(const std::string &st, const std::string &uuid) {
    docs::reply_fields f;
    f.ext = true;
    f.st = st;
    f.usn = "uuid:" + uuid + "::" + ST_SERVER;
    f.location = location_of(uuid);
    return docs::reply(f);
}

std::string notify(const char *nts, const std::string &uuid, int port) {
    docs::notify_fields f;
    f.host = std::string(SSDP_GROUP) + ":" + std::to_string(port);
    f.location = location_of(uuid);
    f.nt = ST_SERVER;
    f.nts = nts;
    f.usn = "uuid:" + uuid + "::" + ST_SERVER;
    return docs::notify(f);
}

std::string header_of(const std::string &pkt, const std::string &name) {
    size_t p = pkt.find("\r\n" + name + ": ");
    if (p == std::string::npos) return "";
    p += name.size() + 4;
    return pkt.substr(p, pkt.find("\r\n", p) - p);
}

// qemu's user-mode emulation refuses IP_MULTICAST_IF: there a search leaves by the namespace's
// route for the groups, from no address of lo, so its sender says nothing about the library.
bool mcast_if_known() {
    static const bool known = [] {
        tsock_startup();
        auto s = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr lo{};
        inet_pton(AF_INET, "127.0.0.1", &lo);
        bool ok = tsock_setopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo) == 0;
        tsock_close(s);
        return ok;
    }();
    return known;
}

// ---- a device on the group: records M-SEARCHes and acts on them ----
class responder {
  public:
    struct msearch {
        std::string text;
        std::string from;
    };
    // Called for every M-SEARCH with the sender; may answer through send_to / multicast.
    using on_search_t = std::function<void(responder &, const msearch &, const sockaddr_in &)>;

    responder(int port, on_search_t on) : port_(port), on_(std::move(on)) {
        tsock_startup();
        s_ = socket(AF_INET, SOCK_DGRAM, 0);
        int one = 1;
        tsock_setopt(s_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        ok_ = bind(s_, (sockaddr *)&sa, sizeof sa) == 0;
        ip_mreq m{};
        inet_pton(AF_INET, SSDP_GROUP, &m.imr_multiaddr);
        inet_pton(AF_INET, "127.0.0.1", &m.imr_interface);
        ok_ = ok_ && tsock_setopt(s_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0;
        // Without it the responder's multicast takes the namespace's route for the groups, which
        // is lo too; qemu's user-mode emulation does not know the option.
        tsock_setopt(s_, IPPROTO_IP, IP_MULTICAST_IF, &m.imr_interface, sizeof m.imr_interface);
        th_ = std::thread([this] { run(); });
    }
    ~responder() {
        stop_ = true;
        th_.join();
        tsock_close(s_);
    }
    responder(const responder &) = delete;
    responder &operator=(const responder &) = delete;

    bool ok() const { return ok_; }
    std::vector<msearch> searches() {
        std::lock_guard<std::mutex> g(mu_);
        return seen_;
    }
    void send_to(const std::string &pkt, const sockaddr_in &to) {
        sendto(s_, pkt.data(), (int)pkt.size(), 0, (const sockaddr *)&to, sizeof to);
    }
    void multicast(const std::string &pkt) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)port_);
        inet_pton(AF_INET, SSDP_GROUP, &to.sin_addr);
        send_to(pkt, to);
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
            char addr[16];
            inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr);
            msearch m{std::string(buf, (size_t)n), addr};
            {
                std::lock_guard<std::mutex> g(mu_);
                seen_.push_back(m);
            }
            if (on_) on_(*this, m, from);
        }
    }

    int port_;
    on_search_t on_;
    tsock s_ = TSOCK_BAD;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::thread th_;
    std::mutex mu_;
    std::vector<msearch> seen_;
};

long long ms_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
        .count();
}

// Open descriptors (handles on Windows): a failing search must not leak its sockets.
int open_fds() {
#ifdef _WIN32
    DWORD n = 0;
    GetProcessHandleCount(GetCurrentProcess(), &n);
    return (int)n;
#else
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d)) n++;
        closedir(d);
    }
    return n;
#endif
}

int rows() {
    plat_guard g(&g_lock);
    return g_ndev;
}

class Ssdp : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kvdmc_config("ssdp_if", "127.0.0.1"), 0);
        ASSERT_EQ(kvdmc_config("ssdp_port", nullptr), 0);
        kvdmc_set_io(&s_mem_io);
        kvdmc_devices_clear();
        std::lock_guard<std::mutex> g(s_io_mu);
        s_fetches.clear();
    }
    void TearDown() override { kvdmc_set_io(nullptr); }
    int search(int kind, int timeout_ms) {
        char err[256] = "";
        int rc = discover_live(kind, timeout_ms, err, sizeof err);
        EXPECT_EQ(rc, 0) << err;
        return rc;
    }
};

} // namespace

TEST_F(Ssdp, RequestsPerKindWithGroupAndPort) {
    struct {
        int kind;
        std::vector<std::string> targets;
    } cases[] = {
        {1, {ST_SERVER, "ssdp:all"}},
        {2, {"urn:schemas-upnp-org:device:MediaRenderer:1", "ssdp:all"}},
        {3, {ST_SERVER, "urn:schemas-upnp-org:device:MediaRenderer:1", "ssdp:all"}},
    };
    for (auto &c : cases) {
        responder r(1900, nullptr);
        ASSERT_TRUE(r.ok());
        search(c.kind, 200);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto seen = r.searches();
        ASSERT_EQ(seen.size(), 2 * c.targets.size()) << "kind " << c.kind;
        for (size_t i = 0; i < seen.size(); i++) {
            const std::string &t = seen[i].text;
            EXPECT_EQ(t.rfind("M-SEARCH * HTTP/1.1\r\n", 0), 0u);
            EXPECT_EQ(header_of(t, "HOST"), "239.255.255.250:1900");
            EXPECT_EQ(header_of(t, "MAN"), "\"ssdp:discover\"");
            EXPECT_EQ(header_of(t, "MX"), "3");
            EXPECT_EQ(header_of(t, "ST"), c.targets[i % c.targets.size()]) << "kind " << c.kind << " #" << i;
            EXPECT_EQ(t.substr(t.size() - 4), "\r\n\r\n");
            if (mcast_if_known()) {
                EXPECT_EQ(seen[i].from, "127.0.0.1");
            }
        }
    }
}

TEST_F(Ssdp, ConfiguredPortIsUsedForHostLineAndListening) {
    ASSERT_EQ(kvdmc_config("ssdp_port", "1901"), 0);
    // The device only announces itself; reaching the table proves the search listens on 1901.
    responder r(1901, [](responder &self, const responder::msearch &, const sockaddr_in &) {
        self.multicast(notify("ssdp:alive", "port-dev", 1901));
    });
    ASSERT_TRUE(r.ok());
    search(1, 300);
    auto seen = r.searches();
    ASSERT_FALSE(seen.empty());
    for (auto &m : seen) EXPECT_EQ(header_of(m.text, "HOST"), "239.255.255.250:1901");
    EXPECT_EQ(fetches("port-dev"), 1);
    EXPECT_EQ(rows(), 1);
}

TEST_F(Ssdp, DeviceAnsweringEverySearchIsFetchedOnce) {
    responder r(1900, [](responder &self, const responder::msearch &m, const sockaddr_in &from) {
        self.send_to(reply_for(header_of(m.text, "ST"), "both"), from);
    });
    ASSERT_TRUE(r.ok());
    search(3, 300);
    EXPECT_EQ(r.searches().size(), 6u);
    EXPECT_EQ(fetches("both"), 1);
    EXPECT_EQ(rows(), 1);
}

TEST_F(Ssdp, ByebyeDuringTheSearchDoesNotRemove) {
    responder r(1900, [](responder &self, const responder::msearch &m, const sockaddr_in &from) {
        self.send_to(reply_for(header_of(m.text, "ST"), "leaving"), from);
        self.multicast(notify("ssdp:alive", "announced", 1900));
        self.multicast(notify("ssdp:byebye", "leaving", 1900));
        self.multicast(notify("ssdp:byebye", "announced", 1900));
    });
    ASSERT_TRUE(r.ok());
    search(1, 300);
    EXPECT_EQ(fetches("leaving"), 1);
    EXPECT_EQ(fetches("announced"), 1);
    EXPECT_EQ(rows(), 2);
}

TEST_F(Ssdp, FloodingResponderCannotStretchTheSearch) {
    std::atomic<bool> flood{true};
    sockaddr_in target{};
    std::atomic<bool> have_target{false};
    std::mutex tmu;
    responder r(1900, [&](responder &, const responder::msearch &, const sockaddr_in &from) {
        std::lock_guard<std::mutex> g(tmu);
        target = from;
        have_target = true;
    });
    ASSERT_TRUE(r.ok());
    // Replies from ever new devices to the searching socket, and announcements to the group.
    std::thread flooder([&] {
        tsock s = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr lo{};
        inet_pton(AF_INET, "127.0.0.1", &lo);
        tsock_setopt(s, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof lo);
        sockaddr_in grp{};
        grp.sin_family = AF_INET;
        grp.sin_port = htons(1900);
        inet_pton(AF_INET, SSDP_GROUP, &grp.sin_addr);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0; flood && i < 2000000 && std::chrono::steady_clock::now() < end; i++) {
            std::string dev = "flood-" + std::to_string(i % 500);
            std::string n = notify("ssdp:alive", dev, 1900);
            sendto(s, n.data(), (int)n.size(), 0, (sockaddr *)&grp, sizeof grp);
            if (have_target) {
                std::lock_guard<std::mutex> g(tmu);
                std::string rp = reply_for(ST_SERVER, dev);
                sendto(s, rp.data(), (int)rp.size(), 0, (sockaddr *)&target, sizeof target);
            }
        }
        tsock_close(s);
    });
    auto t0 = std::chrono::steady_clock::now();
    search(3, 400);
    long long took = ms_since(t0);
    flood = false;
    flooder.join();
    // About 100 ms of second pass plus the time-out; the margin only absorbs a loaded machine.
    EXPECT_GE(took, 450);
    EXPECT_LT(took, 1500);
    EXPECT_GT(rows(), 0);
}

// A device answering only a search for its own UDN, as itself.
void answer_own_udn(responder &self, const responder::msearch &m, const sockaddr_in &from) {
    if (header_of(m.text, "ST") != "uuid:own") return;
    docs::reply_fields f;
    f.ext = true;
    f.st = "uuid:own";
    f.usn = "uuid:own";
    f.location = location_of("own");
    self.send_to(docs::reply(f), from);
}

TEST_F(Ssdp, SearchForOneDeviceAsksByUdnAndEndsWhenItAnswers) {
    responder r(1900, answer_own_udn);
    ASSERT_TRUE(r.ok());
    auto t0 = std::chrono::steady_clock::now();
    // The longest time-out there is: only the answer can end the search this early.
    EXPECT_EQ(discover_device(2, "uuid:own", 30000), 0) << kvdmc_last_error();
    EXPECT_LT(ms_since(t0), 15000);
    EXPECT_EQ(kvdmc_last_code(), 0);
    EXPECT_EQ(fetches("own"), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto seen = r.searches();
    ASSERT_GE(seen.size(), 3u);
    // The device first, asked to answer within a second; then the kind's targets.
    const char *st[] = {"uuid:own", "urn:schemas-upnp-org:device:MediaRenderer:1", "ssdp:all"};
    const char *mx[] = {"1", "3", "3"};
    for (size_t i = 0; i < seen.size(); i++) {
        EXPECT_EQ(header_of(seen[i].text, "ST"), st[i % 3]) << "#" << i;
        EXPECT_EQ(header_of(seen[i].text, "MX"), mx[i % 3]) << "#" << i;
    }
    // Known now: no second search.
    EXPECT_EQ(discover_device(2, "UUID:OWN", 100), 0);
    EXPECT_EQ(r.searches().size(), seen.size());
}

// Other devices answering the kind's targets are not fetched: their descriptions are not
// needed, and one whose description hangs would hold up the device asked for.
TEST_F(Ssdp, SearchForOneDeviceFetchesOnlyThatDevice) {
    responder r(1900, [](responder &self, const responder::msearch &m, const sockaddr_in &from) {
        std::string st = header_of(m.text, "ST");
        if (st == "uuid:own") return answer_own_udn(self, m, from);
        self.send_to(reply_for(st, "other"), from);
        self.send_to(reply_for(st, "both"), from);
    });
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(discover_device(3, "uuid:own", 3000), 0) << kvdmc_last_error();
    EXPECT_EQ(fetches("own"), 1);
    EXPECT_EQ(fetches("other"), 0);
    EXPECT_EQ(fetches("both"), 0);
}

TEST_F(Ssdp, SearchForOneDeviceRefusalsAndUnsafeNames) {
    responder r(1900, [](responder &self, const responder::msearch &m, const sockaddr_in &from) {
        self.send_to(reply_for(header_of(m.text, "ST"), "other"), from);
    });
    ASSERT_TRUE(r.ok());
    struct {
        int kind;
        const char *udn;
        int timeout_ms, code;
        const char *err;
    } refused[] = {
        {0, "uuid:a", 1000, KVDMC_E_ARG, "discover: kind must be 1, 2 or 3"},
        {1, "uuid:a", 99, KVDMC_E_ARG, "discover: timeout_ms must be 100..30000"},
        {1, "", 1000, KVDMC_E_ARG, "discover: empty udn"},
        {1, nullptr, 1000, KVDMC_E_ARG, "discover: empty udn"},
    };
    for (auto &c : refused) {
        EXPECT_EQ(discover_device(c.kind, c.udn, c.timeout_ms), c.code);
        EXPECT_STREQ(kvdmc_last_error(), c.err);
        EXPECT_EQ(kvdmc_last_code(), c.code);
    }
    EXPECT_TRUE(r.searches().empty());

    // A name that would break the request's lines, or is no "uuid:", is not sent as a
    // target: the search goes on with the kind's targets and ends at its time-out.
    const char *unsafe[] = {"uuid:a\r\nMAN: x", "uuid:a b", "uuid:caf\xc3\xa9", "nouuid", "uuid:"};
    for (const char *udn : unsafe) {
        EXPECT_EQ(discover_device(1, udn, 100), KVDMC_E_UNKNOWN) << udn;
        EXPECT_EQ(kvdmc_last_error(), std::string(udn) + " did not answer");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (auto &m : r.searches()) {
        std::string st = header_of(m.text, "ST");
        EXPECT_TRUE(st == ST_SERVER || st == "ssdp:all") << st;
        EXPECT_EQ(m.text.find("MAN: x"), std::string::npos);
    }
    // Other devices that answered were not fetched; a full search takes them in.
    EXPECT_EQ(kvdmc_find_device("uuid:other"), -1);
    EXPECT_EQ(kvdmc_discover(1, 300), 1) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_find_device("uuid:other"), 0);

    auto fake_mode = [](bool on) {
        plat_guard g(&g_lock);
        discover_fake_mode(on);
    };
    fake_mode(true);
    EXPECT_EQ(discover_device(1, "uuid:a", 100), KVDMC_E_FAKE);
    EXPECT_EQ(discover_device(1, "uuid:other", 100), 0); // known devices are found all the same
    fake_mode(false);
}

TEST_F(Ssdp, SetupFailuresCloseAndReport) {
    char err[256];
    int fds = open_fds();
    {
        plat_guard g(&g_lock);
        strcpy(g_cfg.ssdp_if, "not-an-address");
    }
    EXPECT_EQ(discover_live(1, 100, err, sizeof err), -1);
    EXPECT_STREQ(err, "bad ssdp_if");
    ASSERT_EQ(kvdmc_config("ssdp_if", "127.0.0.1"), 0);

    // A port held without address reuse cannot be shared.
    tsock_startup();
    tsock holder = socket(AF_INET, SOCK_DGRAM, 0);
    tsock_exclusive(holder);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(1902);
    ASSERT_EQ(bind(holder, (sockaddr *)&sa, sizeof sa), 0);
    ASSERT_EQ(kvdmc_config("ssdp_port", "1902"), 0);
    EXPECT_EQ(discover_live(1, 100, err, sizeof err), -3);
    EXPECT_EQ(std::string(err), "bind 1902: " + std::to_string(TSOCK_PORT_TAKEN));
    tsock_close(holder);
    EXPECT_EQ(open_fds(), fds);
}

#ifdef KVDMC_WITH_HTTP
TEST_F(Ssdp, DiscoverFetchesDescriptionsOverHttp) {
    mini_http http([](const mini_request &rq) {
        mini_reply r;
        r.raw = rq.path == "/desc.xml" ? mini_response(200, "OK", description("over-http"))
                                       : mini_response(404, "Not Found", "");
        return r;
    });
    std::string location = http.url("/desc.xml");
    responder r(1900, [location](responder &self, const responder::msearch &m, const sockaddr_in &from) {
        std::string rep = reply_for(header_of(m.text, "ST"), "over-http");
        size_t p = rep.find("LOCATION: ") + 10;
        rep.replace(p, rep.find("\r\n", p) - p, location);
        self.send_to(rep, from);
    });
    ASSERT_TRUE(r.ok());
    ASSERT_EQ(kvdmc_use_curl(), 0);
    EXPECT_EQ(kvdmc_discover(1, 300), 1) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_find_device("uuid:over-http"), 0);
    // Four replies, one fetch.
    EXPECT_EQ(http.requests().size(), 1u);
}
#endif
