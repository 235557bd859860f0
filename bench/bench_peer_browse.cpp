// kvdmc-bench: peers gerbera
// A whole browse of the 600-item folder on the real minidlna and, when the sandbox runs
// it too, on gerbera: by this library over its libcurl transport (directly, through the
// access layer with page sizes 100 and 256, and through the source handler) and, in the
// same run, by a GUPnP control point (libgupnp-1.6 synchronous actions, GUPnP-AV's
// DIDL-Lite parser) walking the same pages of 256.
//
// BM_ClientCpu is the client's CPU per browse (user + system of the calling thread)
// beside the control point's: both sides browse in rounds, in random order within each
// round, and the medians of the rounds are compared, so a load change on the shared
// machine falls on both sides alike. Finding the servers happens once, outside the timed
// loops. Runs only inside the peer sandbox, and sends nothing anywhere else:
//   SANDBOX_GERBERA=1 scripts/sandbox wrap -- build-rel/bench_peer_browse
// With PROFILE_BROWSES=N in the environment, BM_ProfileLoop/<server> browses N times
// with this library alone, for a profiler.
#include <benchmark/benchmark.h>
#include <libgupnp-av/gupnp-av.h>
#include <libgupnp/gupnp.h>

#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "http/io.h"
#include "http/io_curl.h"
#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const int k_page = 256;
const char *const k_cds = "urn:schemas-upnp-org:service:ContentDirectory:1";

std::string env(const char *k) {
    const char *v = getenv(k);
    return v ? v : "";
}

// The servers of the sandbox and where each keeps the big folder.
struct server {
    const char *name;
    const char *udn_var;
    const char *folder_var; // null: the folder is fixed
    const char *folder;     // "Big" under Browse Folders on minidlna
    int rounds;             // of the CPU comparison: gerbera takes about 1 s a browse
    int per_round;
};
const server k_servers[] = {{"minidlna", "SERVER_UDN", nullptr, "64$0", 21, 5},
                            {"gerbera", "GERBERA_UDN", "GERBERA_BIG_ID", nullptr, 9, 2}};
constexpr int k_nservers = (int)(sizeof k_servers / sizeof k_servers[0]);

std::string udn_of(int s) {
    return env(k_servers[s].udn_var);
}
std::string folder_of(int s) {
    return k_servers[s].folder_var ? env(k_servers[s].folder_var) : k_servers[s].folder;
}
bool server_up(int s) {
    return !udn_of(s).empty() && !folder_of(s).empty();
}

int expected_count() {
    int n = atoi(env("BIG_COUNT").c_str());
    return n > 0 ? n : 600;
}

// Without the sandbox's variables there is no peer of our own to talk to.
bool in_sandbox(benchmark::State &st, int s = 0) {
    if (env("SERVER_URL").empty() || env("SERVER_UDN").empty() || env("CLIENT_IF_ADDR").empty()) {
        st.SkipWithError("needs the peer sandbox: scripts/sandbox wrap -- bench_peer_browse");
        return false;
    }
    if (!server_up(s)) {
        st.SkipWithError("server not in this sandbox (gerbera: SANDBOX_GERBERA=1)");
        return false;
    }
    return true;
}

double cpu_us(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

// Minor page faults of the calling thread so far.
long thread_faults() {
    rusage u;
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_minflt;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---------------------------------------------------------------- this library

// The built-in transport with its POSTs counted: one untimed browse through it shows
// how many requests a whole browse takes.
int s_posts = 0;
int counting_post(void *, const char *url, const char *body, const char *ct, char **out, int *code,
                  char **err) {
    s_posts++;
    const quorlin_io *c = io_curl();
    return c->http_post(c->ctx, url, body, ct, out, code, err);
}
int counting_get(void *, const char *url, char **out, int *code, char **err) {
    const quorlin_io *c = io_curl();
    return c->http_get(c->ctx, url, out, code, err);
}
void counting_free(void *, void *p) {
    const quorlin_io *c = io_curl();
    c->free_buf(c->ctx, p);
}
const quorlin_io s_counting = {nullptr, counting_get, counting_post, counting_free};

// One whole browse, from an empty cache; false unless every item came.
bool kvdmc_full_browse(const std::string &udn, const std::string &folder) {
    kvdmc_cache_clear();
    int n = kvdmc_browse(udn.c_str(), folder.c_str(), 0, 0, 0);
    if (n != expected_count()) return false;
    benchmark::DoNotOptimize(kvdmc_best_res_url(n - 1));
    return true;
}

int kvdmc_requests_per_browse(int s) {
    kvdmc_set_io(&s_counting);
    s_posts = 0;
    bool ok = kvdmc_full_browse(udn_of(s), folder_of(s));
    kvdmc_use_curl();
    return ok ? s_posts : -1;
}

// Discovery once per process; an empty text means every server of the sandbox is in the table.
const std::string &kvdmc_ready() {
    static const std::string err = [] {
        if (kvdmc_config("ssdp_if", env("CLIENT_IF_ADDR").c_str()) != 0)
            return std::string("ssdp_if refused");
        if (kvdmc_use_curl() != 0) return std::string("built without libcurl");
        // Both servers answer a search within about 20 ms; the wait only bounds a lost reply.
        for (int attempt = 0; attempt < 3; attempt++) {
            kvdmc_discover(1, 1000);
            bool all = true;
            for (int s = 0; s < k_nservers; s++)
                if (server_up(s) && kvdmc_find_device(udn_of(s).c_str()) < 0) all = false;
            if (all) return std::string();
        }
        return "servers not discovered: " + std::string(kvdmc_last_error());
    }();
    return err;
}

bool kvdmc_ok(benchmark::State &st, int s) {
    if (!in_sandbox(st, s)) return false;
    if (!kvdmc_ready().empty()) {
        st.SkipWithError(kvdmc_ready().c_str());
        return false;
    }
    return true;
}

// Wall time of a whole browse; arguments: server, page size.
void BM_BigFolder_kvdmc(benchmark::State &st) {
    const int s = (int)st.range(0);
    if (!kvdmc_ok(st, s)) return;
    std::string udn = udn_of(s), folder = folder_of(s);
    kvdmc_config("browse_page", std::to_string(st.range(1)).c_str());
    int requests = kvdmc_requests_per_browse(s);
    if (requests < 0) {
        st.SkipWithError(kvdmc_last_error());
        return;
    }
    for (auto _ : st) {
        if (!kvdmc_full_browse(udn, folder)) {
            st.SkipWithError(kvdmc_last_error()[0] ? kvdmc_last_error() : "item count");
            break;
        }
    }
    kvdmc_config("browse_page", nullptr);
    st.SetItemsProcessed(st.iterations() * expected_count());
    st.counters["requests"] = requests;
}

// ---------------------------------------------------------------- the adapters

// The same folder through the access layer (DLNA backend, page size from the argument) and
// through the host's source handler: what the adapters add over the direct browse.
void BM_BigFolder_layer(benchmark::State &st) {
    if (!kvdmc_ok(st, 0)) return;
    kvdmc_kvffa_register(); // once per process; a second call only says it is there
    std::string cfg = "{\"udn\":\"" + udn_of(0) + "\"}";
    if (kvffa_open("dlna", cfg.c_str()) != KVFFA_OK || kvffa_set_page_size((long)st.range(0)) != KVFFA_OK) {
        st.SkipWithError(kvffa_last_error());
        return;
    }
    const std::string folder = folder_of(0);
    const int want = expected_count();
    kvdmc_set_io(&s_counting);
    s_posts = 0;
    int ok = kvffa_list_all(folder.c_str());
    int requests = s_posts;
    kvdmc_use_curl();
    for (auto _ : st) {
        if (ok != KVFFA_OK || (int)kvffa_count() != want) {
            st.SkipWithError(ok != KVFFA_OK ? kvffa_last_error() : "entry count");
            break;
        }
        ok = kvffa_list_all(folder.c_str());
        benchmark::DoNotOptimize(kvffa_item_at(want - 1));
    }
    kvffa_close();
    st.SetItemsProcessed(st.iterations() * want);
    st.counters["requests"] = requests;
}

void BM_BigFolder_handler(benchmark::State &st) {
    if (!kvdmc_ok(st, 0)) return;
    const kvrch_handler *h = kvrch_get();
    std::string settings = "{\"UDN\":\"" + udn_of(0) + "\"}";
    const std::string folder = folder_of(0);
    std::vector<char> out(1 << 20);
    for (auto _ : st) {
        kvdmc_cache_clear();
        if (h->list(nullptr, settings.c_str(), folder.c_str(), out.data(), (int)out.size()) != KVRCH_OK) {
            st.SkipWithError(kvdmc_last_error());
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    st.SetItemsProcessed(st.iterations() * expected_count());
}

// ---------------------------------------------------------------- GUPnP

struct gupnp_side {
    GUPnPContext *context = nullptr;
    GUPnPControlPoint *cp = nullptr;
    GUPnPServiceProxy *proxy[k_nservers] = {}; // ContentDirectory of each server
    GUPnPDIDLLiteParser *parser = nullptr;
    std::string err;
    int objects = 0;  // counted by the parser's signal
    size_t bytes = 0; // titles and resource URIs read, so the work is not skipped
};

void on_proxy(GUPnPControlPoint *, GUPnPServiceProxy *proxy, gpointer user) {
    gupnp_side *g = (gupnp_side *)user;
    const char *udn = gupnp_service_info_get_udn(GUPNP_SERVICE_INFO(proxy));
    for (int s = 0; s < k_nservers; s++)
        if (!g->proxy[s] && udn && server_up(s) && udn_of(s) == udn)
            g->proxy[s] = (GUPnPServiceProxy *)g_object_ref(proxy);
}

void on_object(GUPnPDIDLLiteParser *, GUPnPDIDLLiteObject *obj, gpointer user) {
    gupnp_side *g = (gupnp_side *)user;
    g->objects++;
    const char *title = gupnp_didl_lite_object_get_title(obj);
    if (title) g->bytes += strlen(title);
    GList *res = gupnp_didl_lite_object_get_resources(obj);
    for (GList *l = res; l; l = l->next) {
        const char *uri = gupnp_didl_lite_resource_get_uri(GUPNP_DIDL_LITE_RESOURCE(l->data));
        if (uri) g->bytes += strlen(uri);
    }
    g_list_free_full(res, g_object_unref);
}

bool all_proxies(const gupnp_side &g) {
    for (int s = 0; s < k_nservers; s++)
        if (server_up(s) && !g.proxy[s]) return false;
    return true;
}

// A context on the client interface and a control point for content directories;
// the main loop turns until every server's proxy appears (at most 5 s).
gupnp_side &gupnp_ready() {
    static gupnp_side g;
    static bool done = false;
    if (done) return g;
    done = true;
    GError *e = nullptr;
    GInetAddress *addr = g_inet_address_new_from_string(env("CLIENT_IF_ADDR").c_str());
    std::string iface = env("CLIENT_IF");
    g.context =
        gupnp_context_new_full(iface.empty() ? nullptr : iface.c_str(), addr, 0, GSSDP_UDA_VERSION_1_0, &e);
    if (addr) g_object_unref(addr);
    if (!g.context) {
        g.err = std::string("GUPnP context: ") + (e ? e->message : "?");
        if (e) g_error_free(e);
        return g;
    }
    g.cp = gupnp_control_point_new(g.context, k_cds);
    g_signal_connect(g.cp, "service-proxy-available", G_CALLBACK(on_proxy), &g);
    gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(g.cp), TRUE);
    gint64 deadline = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (!all_proxies(g) && g_get_monotonic_time() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
    }
    // Nothing more to look for: the control point's search and event traffic stop.
    gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(g.cp), FALSE);
    if (!all_proxies(g)) {
        g.err = "GUPnP control point found no content directory of a server";
        return g;
    }
    g.parser = gupnp_didl_lite_parser_new();
    g_signal_connect(g.parser, "object-available", G_CALLBACK(on_object), &g);
    return g;
}

// One Browse page; false with g.err set on any failure.
bool gupnp_page(gupnp_side &g, int s, const char *folder, unsigned start, unsigned *returned,
                unsigned *total) {
    GUPnPServiceProxyAction *a = gupnp_service_proxy_action_new(
        "Browse", "ObjectID", G_TYPE_STRING, folder, "BrowseFlag", G_TYPE_STRING, "BrowseDirectChildren",
        "Filter", G_TYPE_STRING, "*", "StartingIndex", G_TYPE_UINT, start, "RequestedCount", G_TYPE_UINT,
        (unsigned)k_page, "SortCriteria", G_TYPE_STRING, "", nullptr);
    GError *e = nullptr;
    char *didl = nullptr;
    bool ok = gupnp_service_proxy_call_action(g.proxy[s], a, nullptr, &e) &&
              gupnp_service_proxy_action_get_result(a, &e, "Result", G_TYPE_STRING, &didl, "NumberReturned",
                                                    G_TYPE_UINT, returned, "TotalMatches", G_TYPE_UINT, total,
                                                    nullptr) &&
              didl && gupnp_didl_lite_parser_parse_didl(g.parser, didl, &e);
    if (!ok) g.err = std::string("GUPnP browse: ") + (e ? e->message : "no result");
    if (e) g_error_free(e);
    g_free(didl);
    gupnp_service_proxy_action_unref(a);
    return ok;
}

// Pages the way a client walks them: on from what came back, up to the total. Returns
// the requests made, or -1 when a page failed or objects are missing.
int gupnp_full_browse(gupnp_side &g, int s, const std::string &folder) {
    g.objects = 0;
    int requests = 0;
    unsigned start = 0, returned = 0, total = 1;
    bool ok = true;
    for (int req = 0; ok && start < total && req < 64; req++) {
        ok = gupnp_page(g, s, folder.c_str(), start, &returned, &total) && returned > 0;
        start += returned;
        requests++;
    }
    if (ok && g.objects != expected_count()) g.err = "object count";
    return ok && g.objects == expected_count() ? requests : -1;
}

bool gupnp_ok(benchmark::State &st, int s) {
    if (!in_sandbox(st, s)) return false;
    gupnp_side &g = gupnp_ready();
    if (!g.err.empty()) {
        st.SkipWithError(g.err.c_str());
        return false;
    }
    return true;
}

// Wall time of a whole browse; argument: server.
void BM_BigFolder_gupnp(benchmark::State &st) {
    const int s = (int)st.range(0);
    if (!gupnp_ok(st, s)) return;
    gupnp_side &g = gupnp_ready();
    const std::string folder = folder_of(s);
    int requests = 0;
    for (auto _ : st) {
        requests = gupnp_full_browse(g, s, folder);
        if (requests < 0) {
            st.SkipWithError(g.err.c_str());
            break;
        }
    }
    benchmark::DoNotOptimize(g.bytes);
    st.SetItemsProcessed(st.iterations() * expected_count());
    st.counters["requests"] = requests;
}

// ---------------------------------------------------------------- client CPU side by side

// CPU microseconds per browse of the calling thread (and of the whole process, which
// would show work a side hands to threads of its own), both sides over the same rounds.
// Argument: server.
void BM_ClientCpu(benchmark::State &st) {
    const int s = (int)st.range(0);
    if (!kvdmc_ok(st, s) || !gupnp_ok(st, s)) return;
    gupnp_side &g = gupnp_ready();
    const std::string udn = udn_of(s), folder = folder_of(s);
    // One untimed browse each: connections, caches and allocations are warm on both sides.
    if (!kvdmc_full_browse(udn, folder) || gupnp_full_browse(g, s, folder) < 0) {
        st.SkipWithError("a warm-up browse failed");
        return;
    }
    std::vector<double> ours, theirs, ours_proc, theirs_proc, ours_faults, theirs_faults;
    std::mt19937 rng(20261207u);
    // The medians are taken over the rounds.
    const int k_rounds = k_servers[s].rounds, k_per_round = k_servers[s].per_round;
    for (auto _ : st) {
        for (int r = 0; r < k_rounds; r++) {
            bool ours_first = rng() & 1;
            for (int half = 0; half < 2; half++) {
                bool mine = (half == 0) == ours_first;
                double t0 = cpu_us(CLOCK_THREAD_CPUTIME_ID), p0 = cpu_us(CLOCK_PROCESS_CPUTIME_ID);
                long f0 = thread_faults();
                bool ok = true;
                for (int k = 0; ok && k < k_per_round; k++)
                    ok = mine ? kvdmc_full_browse(udn, folder) : gupnp_full_browse(g, s, folder) > 0;
                double t = (cpu_us(CLOCK_THREAD_CPUTIME_ID) - t0) / k_per_round;
                double p = (cpu_us(CLOCK_PROCESS_CPUTIME_ID) - p0) / k_per_round;
                double f = (double)(thread_faults() - f0) / k_per_round;
                if (!ok) {
                    st.SkipWithError(mine ? kvdmc_last_error() : g.err.c_str());
                    return;
                }
                (mine ? ours : theirs).push_back(t);
                (mine ? ours_proc : theirs_proc).push_back(p);
                (mine ? ours_faults : theirs_faults).push_back(f);
            }
        }
    }
    double a = median(ours), b = median(theirs);
    st.counters["kvdmc_cpu_us"] = a;
    st.counters["gupnp_cpu_us"] = b;
    st.counters["ratio"] = b > 0 ? a / b : 0;
    st.counters["kvdmc_proc_us"] = median(ours_proc);
    st.counters["gupnp_proc_us"] = median(theirs_proc);
    // Both sides share the process's allocator: how often each faulted fresh pages in.
    st.counters["kvdmc_faults"] = median(ours_faults);
    st.counters["gupnp_faults"] = median(theirs_faults);
    st.SetLabel(k_servers[s].name);
}

// This library alone, PROFILE_BROWSES times, for a profiler attached to the process.
void BM_ProfileLoop(benchmark::State &st) {
    const int s = (int)st.range(0);
    if (!kvdmc_ok(st, s)) return;
    const std::string udn = udn_of(s), folder = folder_of(s);
    for (auto _ : st) {
        if (!kvdmc_full_browse(udn, folder)) {
            st.SkipWithError(kvdmc_last_error());
            break;
        }
    }
    st.SetLabel(k_servers[s].name);
}

} // namespace

// Fixed, small counts: each iteration is three real requests of up to 190 KB. Server
// arguments: 0 minidlna, 1 gerbera (its wall time is its own: some 150 ms a request).
BENCHMARK(BM_BigFolder_kvdmc)
    ->Args({0, 100})
    ->Args({0, 256})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BigFolder_layer)
    ->Arg(100)
    ->Arg(256)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BigFolder_handler)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_BigFolder_gupnp)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_ClientCpu)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// Repetitions of the wall-time benchmarks run interleaved in random order by default, so a
// load change on the machine does not fall on one side only; a later flag on the command
// line wins.
int main(int argc, char **argv) {
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char *> args(argv, argv + argc);
    args.insert(args.begin() + 1, interleave);
    args.push_back(nullptr);
    int n = argc + 1;
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    int loops = atoi(env("PROFILE_BROWSES").c_str());
    if (loops > 0)
        benchmark::RegisterBenchmark("BM_ProfileLoop", BM_ProfileLoop)
            ->Arg(0)
            ->Arg(1)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(loops);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
