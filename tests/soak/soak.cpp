// The soak driver: T host threads drive the public API, the access layer and the source
// handler at full speed against the sandbox's peers while faults come and go on a
// schedule; every call's latency and result is kept, the process's RSS, descriptors and
// threads are sampled every 5 s, and one summary line says whether every bound held.
// Runs inside the sandbox's client namespace (scripts/soak starts it there).
//
//   soak --seconds N --threads T [--faults] --fault-cmd CMD --state FILE --log FILE --stats FILE
//
// CMD is run as `CMD <name>` to start and end a fault (server-stop, server-cont,
// renderer-kill, renderer-start, link-down, link-up); the own peer's mode is written to FILE.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kvdmc.h"
#include "kvffa/kvffa.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
// Under a sanitizer the RSS holds its quarantine, shadow and allocator caches, which keep
// growing for minutes: the memory bound is then judged on the heap the program holds.
constexpr bool SANITIZED = true;
long heap_kib() {
    return (long)(__sanitizer_get_current_allocated_bytes() / 1024);
}
#else
constexpr bool SANITIZED = false;
long heap_kib() {
    return 0;
}
#endif

namespace {

using clk = std::chrono::steady_clock;

// Peers a call depends on: a failure is expected only while one of them is faulted.
enum peer : unsigned { P_NONE = 0, P_SERVER = 1, P_RENDERER = 2, P_OWN = 4, P_ANY = 7 };

constexpr double DISCOVERY_S = 2.5;     // one discovery's listening time
constexpr double DISCOVERY_EVERY_S = 8; // and how often the discovery thread runs one
// "One discovery" after a fault: the next discovery starts within DISCOVERY_EVERY_S and
// fetches what it found.
constexpr double GRACE_S = DISCOVERY_EVERY_S + DISCOVERY_S + 10;
constexpr double TRANSPORT_S = 10; // the transport's whole-request time-out
constexpr double SLACK_S = 1.5;    // scheduling under load and sanitizers
// Calls that make no request have no documented bound; a lock held across network I/O
// would show here as seconds.
constexpr double IN_MEMORY_S = 2;
constexpr int BROWSE_TIMEOUT_MS = 20000; // browse_timeout_ms for this run

struct options {
    double seconds = 600;
    int threads = 8;
    bool faults = false;
    std::string fault_cmd, state, log, stats;
};
options g_opt;

clk::time_point g_t0;
double now_s() {
    return std::chrono::duration<double>(clk::now() - g_t0).count();
}

std::string env(const char *k) {
    const char *v = getenv(k);
    return v ? v : "";
}

// ---- faults

struct fault {
    const char *name;
    unsigned peer;
    double at, len;     // seconds from the start
    double end_at = -1; // when it really ended (the peer back), -1 while not yet
    bool recovered = false;
};
std::mutex g_fault_mu;
std::vector<fault> g_faults;

// Whether a call on `peers` over [a, b] overlaps a fault window plus one discovery.
bool expected(unsigned peers, double a, double b) {
    std::lock_guard<std::mutex> g(g_fault_mu);
    for (const fault &f : g_faults) {
        if (!(f.peer & peers) || a > f.at + f.len + 600) continue;
        double end = (f.end_at >= 0 ? f.end_at : (f.at <= b ? 1e18 : f.at + f.len)) + GRACE_S;
        if (b >= f.at && a <= end) return true;
    }
    return false;
}

// ---- records

struct kind_stats {
    std::string name;
    double bound_s;
    long calls = 0, ok = 0, expected = 0, unexpected = 0;
    double max_s = 0;
};
std::mutex g_rec_mu;
std::vector<kind_stats> g_kinds;
FILE *g_log = nullptr;
std::atomic<long> g_calls{0}, g_unexpected{0}, g_expected{0}, g_over_bound{0};
// kvdmc_device_count latencies: a histogram in microseconds (the last bucket holds the rest),
// so millions of samples cost no memory of their own.
constexpr int LAT_BUCKETS = 20001;
std::vector<long> g_count_hist(LAT_BUCKETS);
long g_count_n = 0;
std::atomic<double> g_max_call{0};

int kind_of(const char *name, double bound_s) {
    std::lock_guard<std::mutex> g(g_rec_mu);
    for (size_t i = 0; i < g_kinds.size(); i++)
        if (g_kinds[i].name == name) return (int)i;
    g_kinds.push_back({name, bound_s});
    return (int)g_kinds.size() - 1;
}

// Runs one call, times it and records its outcome. `fn` returns true on success and may
// fill `why` on failure.
bool call(const char *name, unsigned peers, double bound_s, const std::function<bool(std::string &)> &fn) {
    static thread_local std::vector<int> s_cache;
    int k = kind_of(name, bound_s);
    std::string why;
    double a = now_s();
    bool ok = fn(why);
    double b = now_s();
    double d = b - a;
    g_calls++;
    bool exp = !ok && expected(peers, a, b);
    if (!ok && !exp) g_unexpected++;
    if (!ok && exp) g_expected++;
    bool over = d > bound_s;
    if (over) g_over_bound++;
    double m = g_max_call.load();
    while (d > m && !g_max_call.compare_exchange_weak(m, d)) {
    }
    std::lock_guard<std::mutex> g(g_rec_mu);
    kind_stats &ks = g_kinds[(size_t)k];
    ks.calls++;
    if (ok) ks.ok++;
    if (!ok && exp) ks.expected++;
    if (!ok && !exp) ks.unexpected++;
    if (d > ks.max_s) ks.max_s = d;
    // Every failure and every slow call is logged; successes only in summary.
    if (g_log && (!ok || d > 1.0 || over))
        fprintf(g_log, "%9.3f %-14s %7.3f s %s%s%s\n", a, name, d,
                ok    ? "ok"
                : exp ? "EXPECTED "
                      : "UNEXPECTED ",
                ok ? "" : why.c_str(), over ? " OVER-BOUND" : "");
    return ok;
}

// kvdmc_device_count, timed alone: its p99 must stay under 1 ms whatever else runs.
int timed_count() {
    auto a = clk::now();
    int n = kvdmc_device_count();
    long us = (long)std::chrono::duration<double, std::micro>(clk::now() - a).count();
    std::lock_guard<std::mutex> g(g_rec_mu);
    g_count_hist[(size_t)std::min<long>(us, LAT_BUCKETS - 1)]++;
    g_count_n++;
    g_calls++;
    return n;
}

// ---- process figures

struct sample {
    double t;
    long rss_kib, fds, threads, heap_kib;
};

sample take_sample() {
    sample s{now_s(), 0, 0, 0, heap_kib()};
    if (FILE *f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f)) {
            if (!strncmp(line, "VmRSS:", 6)) s.rss_kib = atol(line + 6);
            if (!strncmp(line, "Threads:", 8)) s.threads = atol(line + 8);
        }
        fclose(f);
    }
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.') s.fds++;
        closedir(d);
        s.fds--; // the directory's own descriptor
    }
    return s;
}

// ---- the peers

std::string g_server, g_renderer, g_song;
std::atomic<int> g_own_gen{1};   // the own peer's current device
std::atomic<int> g_own_known{0}; // the newest own device seen in the table
std::atomic<bool> g_stop{false};
std::atomic<long> g_discoveries{0};
std::mutex g_layer_mu; // the access layer is used from one thread at a time
const char *BIG = "64$0";
int g_big = 600;

void write_state(const char *mode, int gen) {
    std::string tmp = g_opt.state + ".tmp";
    if (FILE *f = fopen(tmp.c_str(), "w")) {
        fprintf(f, "%s %d\n", mode, gen);
        fclose(f);
        rename(tmp.c_str(), g_opt.state.c_str());
    }
}

std::string own_udn(int gen) {
    return "uuid:soak-own-" + std::to_string(gen);
}

bool run_fault_cmd(const char *what) {
    std::string cmd = g_opt.fault_cmd + " " + what;
    int rc = system(cmd.c_str());
    if (rc != 0) fprintf(stderr, "soak: fault command '%s' failed (%d)\n", cmd.c_str(), rc);
    return rc == 0;
}

double browse_bound() {
    // The page loop checks its time limit between pages: one transport time-out may follow it.
    return BROWSE_TIMEOUT_MS / 1000.0 + TRANSPORT_S + SLACK_S;
}

// ---- the calls

bool do_browse(const std::string &udn, const char *oid, int want, std::string &why) {
    int n = kvdmc_browse(udn.c_str(), oid, 0, 0, 0);
    if (n < 0 || (want >= 0 && n != want)) {
        why = std::to_string(n) + " " + kvdmc_last_error();
        return false;
    }
    return true;
}

void op_browse_root() {
    call("browse_root", P_SERVER, browse_bound(),
         [](std::string &w) { return do_browse(g_server, "0", -1, w); });
}

void op_browse_big() {
    call("browse_big", P_SERVER, browse_bound(),
         [](std::string &w) { return do_browse(g_server, BIG, g_big, w); });
}

void op_browse_own() {
    int gen = g_own_known.load();
    if (gen == 0) return;
    call("browse_own", P_OWN, browse_bound(),
         [gen](std::string &w) { return do_browse(own_udn(gen), "0", 40, w); });
}

void op_layer_ls() {
    std::unique_lock<std::mutex> g(g_layer_mu, std::try_to_lock);
    if (!g.owns_lock()) return;
    call("layer_ls", P_SERVER, TRANSPORT_S * 3 + SLACK_S, [](std::string &w) {
        std::string cfg = "{\"udn\":\"" + g_server + "\"}";
        if (kvffa_open("dlna", cfg.c_str()) != KVFFA_OK) {
            w = std::string("open: ") + kvffa_last_error();
            return false;
        }
        kvffa_set_page_size(256);
        int r = kvffa_list_all(BIG);
        size_t n = kvffa_count();
        if (r != KVFFA_OK) w = std::string("list: ") + kvffa_last_error();
        kvffa_close();
        if (r == KVFFA_OK && (int)n != g_big) w = "count " + std::to_string(n);
        return r == KVFFA_OK && (int)n == g_big;
    });
}

void op_handler() {
    static thread_local std::vector<char> out(1 << 20);
    const kvrch_handler *h = kvrch_get();
    std::string settings = "{\"UDN\":\"" + g_server + "\"}";
    std::string entry;
    bool listed = call("handler_list", P_SERVER, browse_bound(), [&](std::string &w) {
        int r = h->list(nullptr, settings.c_str(), BIG, out.data(), (int)out.size());
        if (r != KVRCH_OK) {
            w = std::to_string(r) + " " + kvdmc_last_error();
            return false;
        }
        const char *p = strstr(out.data(), "\"path\":\"");
        if (!p) {
            w = "no entries";
            return false;
        }
        p += 8;
        const char *e = strchr(p, '"');
        entry = "{\"id\":\"" + std::string(p, (size_t)(e - p)) + "\"}";
        return true;
    });
    if (!listed) return;
    call("stream_url", P_NONE, IN_MEMORY_S, [&](std::string &w) {
        char url[2048];
        int r = h->stream_url(nullptr, settings.c_str(), entry.c_str(), url, sizeof url);
        // The listing is the process's last one: another thread's browse may have replaced
        // it meanwhile, which the handler reports as such.
        if (r == KVRCH_OK) return strncmp(url, "{\"url\":\"http://", 15) == 0;
        if (r == KVRCH_E_NOTFOUND) return true;
        w = std::to_string(r) + " " + kvdmc_last_error();
        return false;
    });
}

void op_device_json() {
    call("device_json", P_NONE, IN_MEMORY_S, [](std::string &w) {
        int n = timed_count();
        for (int i = 0; i < n; i++) {
            std::string js = kvdmc_device_json(i);
            // A row may go between the count and the read: then the text is empty.
            if (!js.empty() && (js.front() != '{' || js.back() != '}')) {
                w = "bad json";
                return false;
            }
        }
        return true;
    });
}

void op_cast_reads() {
    call("cast_state", P_RENDERER, TRANSPORT_S + SLACK_S, [](std::string &w) {
        int s = kvdmc_cast_state(g_renderer.c_str());
        if (s < 0) w = std::to_string(s) + " " + kvdmc_last_error();
        return s >= 0;
    });
    call("cast_position", P_RENDERER, TRANSPORT_S + SLACK_S, [](std::string &w) {
        int pos = 0, dur = 0;
        int r = kvdmc_cast_position(g_renderer.c_str(), &pos, &dur);
        if (r < 0) w = std::to_string(r) + " " + kvdmc_last_error();
        return r >= 0;
    });
    call("cast_volume_get", P_RENDERER, TRANSPORT_S + SLACK_S, [](std::string &w) {
        int v = kvdmc_cast_volume(g_renderer.c_str(), -1);
        if (v < 0) w = std::to_string(v) + " " + kvdmc_last_error();
        return v >= 0;
    });
}

// One host thread of the mix.
void worker(int id) {
    static const std::function<void()> ops[] = {op_browse_big, op_device_json, op_browse_root, op_handler,
                                                op_browse_own, op_cast_reads,  op_layer_ls};
    constexpr int NOPS = sizeof ops / sizeof ops[0];
    for (long k = id; !g_stop.load(); k++) {
        ops[k % NOPS]();
        for (int i = 0; i < 20; i++) timed_count();
    }
}

void discoverer() {
    double next = 0;
    while (!g_stop.load()) {
        if (now_s() < next) {
            timed_count();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        next = now_s() + DISCOVERY_EVERY_S;
        call("discover", P_ANY, DISCOVERY_S + TRANSPORT_S + SLACK_S, [](std::string &w) {
            int r = kvdmc_discover(3, (int)(DISCOVERY_S * 1000));
            if (r < 0) w = std::to_string(r) + " " + kvdmc_last_error();
            return r >= 0;
        });
        g_discoveries++;
        int gen = g_own_gen.load();
        if (kvdmc_find_device(own_udn(gen).c_str()) >= 0) g_own_known = gen;
    }
}

// Waits while the renderer moves to `want` (state code), at most ms.
bool wait_state(int want, int ms) {
    for (int i = 0; i < ms / 100 && !g_stop.load(); i++) {
        bool ok = false;
        int s = -1;
        call("cast_state", P_RENDERER, TRANSPORT_S + SLACK_S, [&](std::string &w) {
            s = kvdmc_cast_state(g_renderer.c_str());
            ok = s >= 0;
            if (!ok) w = std::to_string(s) + " " + kvdmc_last_error();
            return ok;
        });
        if (s == want) return true;
        if (!ok) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// Sleeps ms unless the run ends first.
void pace(int ms) {
    for (int i = 0; i < ms / 50 && !g_stop.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// The one thread that changes the renderer's state.
void renderer_owner() {
    const char *R = g_renderer.c_str();
    auto act = [&](const char *name, const std::function<int()> &fn) {
        return call(name, P_RENDERER, TRANSPORT_S + SLACK_S, [&](std::string &w) {
            int r = fn();
            if (r < 0) w = std::to_string(r) + " " + kvdmc_last_error();
            return r >= 0;
        });
    };
    while (!g_stop.load()) {
        if (!act("cast_set_uri",
                 [&] { return kvdmc_cast_set_uri(R, g_song.c_str(), "audio/mpeg", "Soak"); }) ||
            !act("cast_play", [&] { return kvdmc_cast_play(R); })) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            continue;
        }
        if (!wait_state(2, 5000)) continue;
        // A player's pace, not a loop's: gmediarender stops answering for good after some
        // minutes of back-to-back play/pause/stop cycles (its pipeline, not the client).
        pace(1000);
        act("cast_position", [&] {
            int p = 0, d = 0;
            return kvdmc_cast_position(R, &p, &d);
        });
        act("cast_volume", [&] { return kvdmc_cast_volume(R, 30 + (int)(now_s()) % 40); });
        act("cast_pause", [&] { return kvdmc_cast_pause(R); });
        wait_state(1, 3000);
        pace(500);
        act("cast_stop", [&] { return kvdmc_cast_stop(R); });
        wait_state(0, 3000);
        pace(500);
    }
}

// ---- the fault schedule

// The faults of one cycle, at offsets from the cycle's start; cycles repeat while a whole
// one still fits before the quiet end of the run.
void plan_faults(double total) {
    struct proto {
        const char *name;
        unsigned peer;
        double at, len;
    };
    const proto cycle[] = {
        {"server-stop", P_SERVER, 10, 20},    {"own-hang-desc", P_OWN, 15, 15},
        {"renderer-kill", P_RENDERER, 20, 5}, {"server-link-down", P_SERVER, 50, 10},
        {"own-garbage", P_OWN, 50, 15},
    };
    double period = total >= 600 ? 300 : 120;
    double quiet = GRACE_S + 5; // the end of the run is fault-free
    for (double base = 0; base == 0 || base + 65 + quiet <= total; base += period)
        for (const proto &p : cycle)
            if (base + p.at + p.len + quiet <= total || base == 0)
                g_faults.push_back({p.name, p.peer, base + p.at, p.len});
    std::sort(g_faults.begin(), g_faults.end(), [](const fault &a, const fault &b) { return a.at < b.at; });
}

// Whether the peer of a fault answers again.
bool probe(const fault &f) {
    if (f.peer == P_SERVER) return kvdmc_browse(g_server.c_str(), "0", 0, 0, 0) > 0;
    if (f.peer == P_RENDERER) return kvdmc_cast_state(g_renderer.c_str()) >= 0;
    int gen = g_own_gen.load();
    return kvdmc_find_device(own_udn(gen).c_str()) >= 0 &&
           kvdmc_browse(own_udn(gen).c_str(), "0", 0, 0, 0) == 40;
}

void start_fault(fault &f) {
    if (!strcmp(f.name, "server-stop")) run_fault_cmd("server-stop");
    if (!strcmp(f.name, "renderer-kill")) run_fault_cmd("renderer-kill");
    if (!strcmp(f.name, "server-link-down")) run_fault_cmd("link-down");
    if (!strcmp(f.name, "own-hang-desc")) {
        // A device the client has not seen yet, whose description does not come.
        g_own_gen++;
        write_state("hang-desc", g_own_gen.load());
    }
    if (!strcmp(f.name, "own-garbage")) write_state("garbage", g_own_gen.load());
}

void end_fault(fault &f) {
    if (!strcmp(f.name, "server-stop")) run_fault_cmd("server-cont");
    if (!strcmp(f.name, "renderer-kill")) run_fault_cmd("renderer-start");
    if (!strcmp(f.name, "server-link-down")) run_fault_cmd("link-up");
    if (!strncmp(f.name, "own-", 4)) write_state("ok", g_own_gen.load());
}

void scheduler() {
    struct active {
        size_t i;
        bool ended;
    };
    std::vector<active> open;
    size_t next = 0;
    while (!g_stop.load()) {
        double t = now_s();
        if (next < g_faults.size() && t >= g_faults[next].at) {
            fprintf(stderr, "soak: %7.1f s fault %s begins\n", t, g_faults[next].name);
            start_fault(g_faults[next]);
            open.push_back({next, false});
            next++;
        }
        for (active &a : open) {
            fault &f = g_faults[a.i];
            if (!a.ended && t >= f.at + f.len) {
                end_fault(f);
                std::lock_guard<std::mutex> g(g_fault_mu);
                f.end_at = now_s();
                a.ended = true;
                fprintf(stderr, "soak: %7.1f s fault %s ends\n", f.end_at, f.name);
            }
            if (a.ended && !f.recovered && t - f.end_at <= GRACE_S && probe(f)) {
                f.recovered = true;
                fprintf(stderr, "soak: %7.1f s %s: peer usable again after %.1f s\n", now_s(), f.name,
                        now_s() - f.end_at);
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    // A fault still open at the end is ended, so the sandbox is left whole.
    for (active &a : open)
        if (!a.ended) end_fault(g_faults[a.i]);
}

// The 99th percentile in ms, to the microsecond.
double count_p99() {
    long want = g_count_n - g_count_n / 100, seen = 0;
    for (int us = 0; us < LAT_BUCKETS; us++) {
        seen += g_count_hist[(size_t)us];
        if (seen >= want && seen > 0) return (us + 1) / 1000.0;
    }
    return 0;
}

void usage() {
    fprintf(stderr, "usage: soak --seconds N --threads T [--faults] --fault-cmd CMD --state FILE --log FILE "
                    "--stats FILE\n");
    exit(2);
}

} // namespace

int main(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto val = [&] {
            if (i + 1 >= argc) usage();
            return std::string(argv[++i]);
        };
        if (a == "--seconds")
            g_opt.seconds = atof(val().c_str());
        else if (a == "--threads")
            g_opt.threads = atoi(val().c_str());
        else if (a == "--faults")
            g_opt.faults = true;
        else if (a == "--fault-cmd")
            g_opt.fault_cmd = val();
        else if (a == "--state")
            g_opt.state = val();
        else if (a == "--log")
            g_opt.log = val();
        else if (a == "--stats")
            g_opt.stats = val();
        else
            usage();
    }
    if (g_opt.threads < 3 || g_opt.seconds < 30 || g_opt.state.empty() || g_opt.log.empty()) usage();
    g_server = env("SERVER_UDN");
    g_renderer = env("RENDERER_UDN");
    g_song = env("SONG_URL");
    if (!env("BIG_COUNT").empty()) g_big = atoi(env("BIG_COUNT").c_str());
    if (g_server.empty() || g_renderer.empty()) {
        fprintf(stderr, "soak: run me inside the sandbox (scripts/soak)\n");
        return 2;
    }
    g_log = fopen(g_opt.log.c_str(), "w");
    if (g_log) setvbuf(g_log, nullptr, _IOLBF, 0);
    write_state("ok", 1);
    g_t0 = clk::now();

    // Set-up: the peers in the table, the layer's backend, the renderer allowed.
    kvdmc_config("ssdp_if", env("CLIENT_IF_ADDR").c_str());
    kvdmc_config("browse_timeout_ms", std::to_string(BROWSE_TIMEOUT_MS).c_str());
    if (kvdmc_use_curl() != 0) {
        fprintf(stderr, "soak: built without the HTTP transport\n");
        return 2;
    }
    for (int round = 0; round < 5; round++) {
        kvdmc_discover(3, 2500);
        if (kvdmc_find_device(g_server.c_str()) >= 0 && kvdmc_find_device(g_renderer.c_str()) >= 0 &&
            kvdmc_find_device(own_udn(1).c_str()) >= 0)
            break;
    }
    if (kvdmc_find_device(g_server.c_str()) < 0 || kvdmc_find_device(g_renderer.c_str()) < 0 ||
        kvdmc_find_device(own_udn(1).c_str()) < 0) {
        fprintf(stderr, "soak: peers not discovered (server %d, renderer %d, own %d)\n",
                kvdmc_find_device(g_server.c_str()), kvdmc_find_device(g_renderer.c_str()),
                kvdmc_find_device(own_udn(1).c_str()));
        return 2;
    }
    g_own_known = 1;
    kvdmc_kvffa_register();
    kvdmc_cast_allow(g_renderer.c_str());
    // One round of every call before the starting figures, so lazily made state (the
    // transport's first handle, the layer's registry) is not counted as growth.
    op_browse_big();
    op_layer_ls();
    op_handler();
    op_cast_reads();
    g_calls = 0;
    g_kinds.clear();
    std::fill(g_count_hist.begin(), g_count_hist.end(), 0);
    g_count_n = 0;
    g_max_call = 0;

    if (g_opt.faults) plan_faults(g_opt.seconds);
    g_t0 = clk::now();
    fprintf(stderr, "soak: %.0f s, %d threads, faults %s\n", g_opt.seconds, g_opt.threads,
            g_opt.faults ? "on" : "off");
    for (const fault &f : g_faults)
        fprintf(stderr, "soak: schedule %7.1f s +%4.0f s  %s\n", f.at, f.len, f.name);

    // A sanitizer runtime starts a helper thread of its own with the process's first
    // thread; start one here so that helper is part of the starting count.
    std::thread([] {}).join();
    sample start = take_sample();
    std::vector<sample> samples{start};
    std::vector<std::thread> th;
    th.emplace_back(renderer_owner);
    th.emplace_back(discoverer);
    for (int i = 2; i < g_opt.threads; i++) th.emplace_back(worker, i);
    std::thread sched;
    if (g_opt.faults) sched = std::thread(scheduler);

    sample base{};
    bool have_base = false;
    long rss_max_after = 0, heap_max_after = 0;
    while (now_s() < g_opt.seconds) {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        sample s = take_sample();
        samples.push_back(s);
        if (!have_base && s.t >= 60) {
            base = s;
            have_base = true;
        }
        if (have_base) rss_max_after = std::max(rss_max_after, s.rss_kib);
        if (have_base) heap_max_after = std::max(heap_max_after, s.heap_kib);
        fprintf(stderr, "soak: %7.1f s rss %ld KiB fds %ld threads %ld calls %ld unexpected %ld\n", s.t,
                s.rss_kib, s.fds, s.threads, g_calls.load(), g_unexpected.load());
        if (!g_opt.stats.empty())
            if (FILE *f = fopen(g_opt.stats.c_str(), "w")) {
                fprintf(f, "%ld %ld %ld\n", g_calls.load(), g_expected.load(), g_unexpected.load());
                fclose(f);
            }
    }
    g_stop = true;
    for (auto &t : th) t.join();
    if (sched.joinable()) sched.join();
    // The transport's handles go with their threads; give the last closes a moment.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sample end = take_sample();
    if (!have_base) base = samples.size() > 1 ? samples[1] : start;

    // Growth under the same load: the median of the 30 s after the first minute against the
    // median of the run's last 30 s (single samples swing with the browses in flight).
    auto median_of = [&](double from, double to, long sample::*field) {
        std::vector<long> v;
        for (const sample &s : samples)
            if (s.t >= from && s.t < to) v.push_back(s.*field);
        if (v.empty()) return 0L;
        std::nth_element(v.begin(), v.begin() + (long)(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    double last = samples.back().t;
    double b0 = std::min(60.0, last / 2), b1 = std::min(b0 + 30, std::max(b0 + 5, last - 30));
    long rss_growth = std::max(0L, median_of(std::max(b1, last - 30), last + 1, &sample::rss_kib) -
                                       median_of(b0, b1, &sample::rss_kib));
    long heap_growth = std::max(0L, median_of(std::max(b1, last - 30), last + 1, &sample::heap_kib) -
                                        median_of(b0, b1, &sample::heap_kib));
    (void)rss_max_after;
    (void)heap_max_after;
    if (SANITIZED)
        fprintf(
            stderr,
            "soak: sanitizer build: heap in use at 60 s %ld KiB, growth after %ld KiB (the memory bound's "
            "measure here)\n",
            base.heap_kib, heap_growth);
    int recovered = 0, faulted = 0;
    for (const fault &f : g_faults) {
        faulted++;
        if (f.recovered) recovered++;
        if (!f.recovered)
            fprintf(stderr, "soak: %s at %.0f s: the peer was not usable again in time\n", f.name, f.at);
    }
    double p99_ms = count_p99();
    fprintf(stderr, "soak: per call kind (calls, ok, expected, unexpected, max s, bound s):\n");
    for (const kind_stats &k : g_kinds)
        fprintf(stderr, "soak:   %-16s %8ld %8ld %6ld %6ld %7.3f %6.1f\n", k.name.c_str(), k.calls, k.ok,
                k.expected, k.unexpected, k.max_s, k.bound_s);
    fprintf(stderr,
            "soak: rss start %ld KiB, at 60 s %ld KiB, end %ld KiB; fds %ld -> %ld; threads %ld -> %ld\n",
            start.rss_kib, base.rss_kib, end.rss_kib, start.fds, end.fds, start.threads, end.threads);
    printf("soak: %ld calls, %ld expected errors, %ld unexpected, 0 crashes, rss +%ld KiB, fds %+ld, threads "
           "%+ld, "
           "p99 device_count %.3f ms, max call %.1f s, recovered %d/%d\n",
           g_calls.load(), g_expected.load(), g_unexpected.load(), rss_growth, end.fds - start.fds,
           end.threads - start.threads, p99_ms, g_max_call.load(), recovered, faulted);
    fflush(stdout);
    bool ok = g_unexpected.load() == 0 && g_over_bound.load() == 0 && end.fds <= start.fds &&
              end.threads <= start.threads && (SANITIZED ? heap_growth : rss_growth) <= 1024 &&
              p99_ms < 1.0 && recovered == faulted;
    if (g_over_bound.load()) fprintf(stderr, "soak: %ld calls over their bound\n", g_over_bound.load());
    if (g_log) fclose(g_log);
    return ok ? 0 : 1;
}
