// kvdmc-test: peers
// The library against a renderer and a server with the habits of devices people own
// (tests/peers/quirky_peers.py): found only by unicast search, a renderer that takes
// only empty metadata, seeks only in ABS_TIME, runs its volume 0..60 and refuses a Stop
// with nothing loaded, and a server that refuses pages above 100 and ignores
// StartingIndex. Run directly, the test re-runs itself inside a network namespace of
// its own (scripts/netns-run), where it starts the peers on 127.0.0.2.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const char *const ADDR = "127.0.0.2";
const char *const PORT = "8399";
const char *const RENDERER = "uuid:Quirky-Renderer-1";
const char *const SERVER = "uuid:Quirky-Server-1";

std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

bool in_namespace() {
    return env("KVDMC_IN_NETNS") == "1" || env("SANDBOX_UP") == "1";
}

// The peers as a child process, ended by its PID.
struct peers {
    pid_t pid = -1;
    std::string log;
    explicit peers(const std::string &dir) : log(dir + "/soap.log") {
        std::string script = std::string(KVDMC_SOURCE_DIR) + "/tests/peers/quirky_peers.py";
        pid = fork();
        if (pid == 0) {
            execlp("python3", "python3", script.c_str(), ADDR, PORT, log.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 100 && access((log + ".ready").c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~peers() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    bool ready() const { return access((log + ".ready").c_str(), F_OK) == 0; }
    // The SOAP requests since the last call: "<path> <action> <body>" each.
    std::vector<std::string> take() {
        std::vector<std::string> lines;
        std::ifstream f(log);
        std::string l;
        while (std::getline(f, l)) lines.push_back(l);
        std::ofstream(log, std::ios::trunc).close();
        return lines;
    }
};

std::string action_of(const std::string &line) {
    std::istringstream s(line);
    std::string path, action;
    s >> path >> action;
    return action;
}

std::vector<std::string> actions(peers &p) {
    std::vector<std::string> v;
    for (const auto &l : p.take()) v.push_back(action_of(l));
    return v;
}

} // namespace

TEST(QuirkyPeersEndToEnd, RendererAndServerAsPeopleOwnThem) {
    if (!in_namespace()) {
        std::string self(4096, '\0');
        ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
        ASSERT_GT(n, 0);
        self.resize((size_t)n);
        std::string cmd = std::string(KVDMC_SOURCE_DIR) + "/scripts/netns-run " + self +
                          " --gtest_filter=QuirkyPeersEndToEnd.*";
        int rc = system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(rc));
        ASSERT_EQ(WEXITSTATUS(rc), 0) << "the run inside the namespace failed (see its output above)";
        return;
    }
    char dir[] = "/tmp/kvdmc-quirky-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    peers p(dir);
    ASSERT_TRUE(p.ready()) << "the peers did not start";
    if (kvdmc_use_curl() != 0) GTEST_SKIP() << "built without the HTTP transport";
    ASSERT_EQ(kvdmc_config("ssdp_if", "127.0.0.1"), 0);

    // Multicast never reaches them; a unicast search to their address does.
    ASSERT_GE(kvdmc_discover(KVDMC_KIND_BOTH, 500), 0) << kvdmc_last_error();
    EXPECT_LT(kvdmc_find_device(RENDERER), 0);
    ASSERT_EQ(kvdmc_config("ssdp_hosts", "127.0.0.2"), 0);
    ASSERT_GE(kvdmc_discover(KVDMC_KIND_BOTH, 1000), 0) << kvdmc_last_error();
    ASSERT_GE(kvdmc_find_device(RENDERER), 0) << "renderer not found by unicast search";
    ASSERT_GE(kvdmc_find_device(SERVER), 0) << "server not found by unicast search";

    // A Stop with nothing loaded is where the caller wants the renderer.
    ASSERT_EQ(kvdmc_cast_allow(RENDERER), 0);
    EXPECT_EQ(kvdmc_cast_stop(RENDERER), 0) << kvdmc_last_error();
    EXPECT_EQ(actions(p), (std::vector<std::string>{"Stop", "GetTransportInfo"}));

    // Metadata refused until there is none; the next cast sends that at once.
    const std::string url = "http://127.0.0.2:8399/media/t1.mp3";
    EXPECT_EQ(kvdmc_cast_set_uri(RENDERER, url.c_str(), "audio/mpeg", "One"), 0) << kvdmc_last_error();
    auto sets = p.take();
    ASSERT_EQ(sets.size(), 3u);
    EXPECT_NE(sets[0].find("DLNA.ORG_OP=01"), std::string::npos) << "the item form carries DLNA parameters";
    EXPECT_NE(sets[2].find("<CurrentURIMetaData></CurrentURIMetaData>"), std::string::npos);
    EXPECT_EQ(kvdmc_cast_set_uri(RENDERER, url.c_str(), "audio/mpeg", "One"), 0) << kvdmc_last_error();
    EXPECT_EQ(actions(p), std::vector<std::string>{"SetAVTransportURI"});

    // Seek in the unit its description lists; volume on its 0..60 scale.
    EXPECT_EQ(kvdmc_cast_seek(RENDERER, 65), 0) << kvdmc_last_error();
    auto seeks = p.take();
    ASSERT_EQ(seeks.size(), 1u);
    EXPECT_NE(seeks[0].find("<Unit>ABS_TIME</Unit><Target>0:01:05</Target>"), std::string::npos) << seeks[0];
    EXPECT_EQ(kvdmc_cast_volume(RENDERER, 100), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_cast_volume(RENDERER, 50), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_cast_volume(RENDERER, -1), 50);
    auto vols = p.take();
    ASSERT_EQ(vols.size(), 3u);
    EXPECT_NE(vols[0].find("<DesiredVolume>60</DesiredVolume>"), std::string::npos);
    EXPECT_NE(vols[1].find("<DesiredVolume>30</DesiredVolume>"), std::string::npos);

    // The server: pages above 100 refused, then its first page handed out again.
    EXPECT_EQ(kvdmc_browse(SERVER, "0", 0, 0, KVDMC_BROWSE_CHILDREN), 64);
    EXPECT_STREQ(kvdmc_last_error(), "server repeated page at index 64");
    EXPECT_EQ(kvdmc_item_count(), 64);
    std::vector<std::string> counts;
    for (const auto &l : p.take()) {
        size_t a = l.find("<RequestedCount>");
        counts.push_back(a == std::string::npos ? "" : l.substr(a + 16, l.find('<', a + 16) - a - 16));
    }
    EXPECT_EQ(counts, (std::vector<std::string>{"256", "128", "64", "64"}));

    // The access layer lists the same folder once, marked.
    kvffa_reset();
    ASSERT_EQ(kvdmc_kvffa_register(), 0);
    ASSERT_EQ(kvffa_open("dlna", "{\"udn\":\"uuid:Quirky-Server-1\"}"), KVFFA_OK) << kvffa_last_error();
    kvffa_set_page_size(256);
    ASSERT_EQ(kvffa_list_all("0"), KVFFA_OK) << kvffa_last_error();
    EXPECT_EQ(kvffa_count(), 64u);
    EXPECT_STREQ(kvffa_last_error(), "server repeated page at index 64");
    kvffa_close();
    kvdmc_config("ssdp_hosts", nullptr);
}
