// kvdmc-bench: peers
// A whole browse of the 600-item folder on the real minidlna, wall time, by this
// library over its libcurl transport (directly, through the access layer with page
// sizes 100 and 256, and through the source handler) and, in the same run, by a GUPnP control point
// (libgupnp-1.6 synchronous actions, GUPnP-AV's DIDL-Lite parser) asking for the same
// pages: 256 items from 0, 256 and 512. Finding the server happens once, outside the
// timed loops. Runs only inside the peer sandbox, and sends nothing anywhere else:
//   scripts/sandbox wrap -- build-rel/bench_peer_browse
#include <benchmark/benchmark.h>
#include <libgupnp-av/gupnp-av.h>
#include <libgupnp/gupnp.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "http/io.h"
#include "http/io_curl.h"
#include "kvdmc.h"
#include "kvffa/kvffa.h"

namespace {

const char *const k_folder = "64$0"; // Big, under Browse Folders
const int k_page = 256;
const char *const k_cds = "urn:schemas-upnp-org:service:ContentDirectory:1";

std::string env(const char *k) {
    const char *v = getenv(k);
    return v ? v : "";
}

int expected_count() {
    int n = atoi(env("BIG_COUNT").c_str());
    return n > 0 ? n : 600;
}

// Without the sandbox's variables there is no peer of our own to talk to.
bool in_sandbox(benchmark::State &st) {
    if (env("SERVER_URL").empty() || env("SERVER_UDN").empty() || env("CLIENT_IF_ADDR").empty()) {
        st.SkipWithError("needs the peer sandbox: scripts/sandbox wrap -- bench_peer_browse");
        return false;
    }
    return true;
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

int kvdmc_requests_per_browse() {
    static const quorlin_io counting = {nullptr, counting_get, counting_post, counting_free};
    kvdmc_set_io(&counting);
    kvdmc_cache_clear();
    s_posts = 0;
    int n = kvdmc_browse(env("SERVER_UDN").c_str(), k_folder, 0, 0, 0);
    kvdmc_use_curl();
    return n == expected_count() ? s_posts : -1;
}

// Discovery once per process; an empty text means the server is in the table.
const std::string &kvdmc_ready() {
    static const std::string err = [] {
        if (kvdmc_config("ssdp_if", env("CLIENT_IF_ADDR").c_str()) != 0)
            return std::string("ssdp_if refused");
        if (kvdmc_use_curl() != 0) return std::string("built without libcurl");
        // minidlna answers a search in about 20 ms; the wait only bounds a lost reply.
        for (int attempt = 0; attempt < 3; attempt++) {
            kvdmc_discover(1, 1000);
            if (kvdmc_find_device(env("SERVER_UDN").c_str()) >= 0) return std::string();
        }
        return "server not discovered: " + std::string(kvdmc_last_error());
    }();
    return err;
}

void BM_BigFolder_kvdmc(benchmark::State &st) {
    if (!in_sandbox(st)) return;
    if (!kvdmc_ready().empty()) {
        st.SkipWithError(kvdmc_ready().c_str());
        return;
    }
    std::string udn = env("SERVER_UDN");
    const int want = expected_count();
    kvdmc_config("browse_page", std::to_string(st.range(0)).c_str());
    int requests = kvdmc_requests_per_browse();
    if (requests < 0) {
        st.SkipWithError(kvdmc_last_error());
        return;
    }
    for (auto _ : st) {
        kvdmc_cache_clear();
        int n = kvdmc_browse(udn.c_str(), k_folder, 0, 0, 0);
        if (n != want) {
            st.SkipWithError(n < 0 ? kvdmc_last_error() : "item count");
            break;
        }
        benchmark::DoNotOptimize(kvdmc_best_res_url(n - 1));
    }
    kvdmc_config("browse_page", nullptr);
    st.SetItemsProcessed(st.iterations() * want);
    st.counters["requests"] = requests;
}

// ---------------------------------------------------------------- the adapters

// The same folder through the access layer (DLNA backend, page size from the argument) and
// through the host's source handler: what the adapters add over the direct browse.
void BM_BigFolder_layer(benchmark::State &st) {
    if (!in_sandbox(st)) return;
    if (!kvdmc_ready().empty()) {
        st.SkipWithError(kvdmc_ready().c_str());
        return;
    }
    kvdmc_kvffa_register(); // once per process; a second call only says it is there
    std::string cfg = "{\"udn\":\"" + env("SERVER_UDN") + "\"}";
    if (kvffa_open("dlna", cfg.c_str()) != KVFFA_OK || kvffa_set_page_size((long)st.range(0)) != KVFFA_OK) {
        st.SkipWithError(kvffa_last_error());
        return;
    }
    const int want = expected_count();
    static const quorlin_io counting = {nullptr, counting_get, counting_post, counting_free};
    kvdmc_set_io(&counting);
    s_posts = 0;
    int ok = kvffa_list_all(k_folder);
    int requests = s_posts;
    kvdmc_use_curl();
    for (auto _ : st) {
        if (ok != KVFFA_OK || (int)kvffa_count() != want) {
            st.SkipWithError(ok != KVFFA_OK ? kvffa_last_error() : "entry count");
            break;
        }
        ok = kvffa_list_all(k_folder);
        benchmark::DoNotOptimize(kvffa_item_at(want - 1));
    }
    kvffa_close();
    st.SetItemsProcessed(st.iterations() * want);
    st.counters["requests"] = requests;
}

void BM_BigFolder_handler(benchmark::State &st) {
    if (!in_sandbox(st)) return;
    if (!kvdmc_ready().empty()) {
        st.SkipWithError(kvdmc_ready().c_str());
        return;
    }
    const kvrch_handler *h = kvrch_get();
    std::string settings = "{\"UDN\":\"" + env("SERVER_UDN") + "\"}";
    std::vector<char> out(1 << 20);
    for (auto _ : st) {
        kvdmc_cache_clear();
        if (h->list(nullptr, settings.c_str(), k_folder, out.data(), (int)out.size()) != KVRCH_OK) {
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
    GUPnPServiceProxy *proxy = nullptr; // ContentDirectory of SERVER_UDN
    GUPnPDIDLLiteParser *parser = nullptr;
    std::string err;
    int objects = 0;  // counted by the parser's signal
    size_t bytes = 0; // titles and resource URIs read, so the work is not skipped
};

void on_proxy(GUPnPControlPoint *, GUPnPServiceProxy *proxy, gpointer user) {
    gupnp_side *g = (gupnp_side *)user;
    const char *udn = gupnp_service_info_get_udn(GUPNP_SERVICE_INFO(proxy));
    if (!g->proxy && udn && env("SERVER_UDN") == udn) g->proxy = (GUPnPServiceProxy *)g_object_ref(proxy);
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

// A context on the client interface and a control point for content directories;
// the main loop turns until the server's proxy appears (at most 5 s).
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
    while (!g.proxy && g_get_monotonic_time() < deadline) {
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
    }
    // Nothing more to look for: the control point's search and event traffic stop.
    gssdp_resource_browser_set_active(GSSDP_RESOURCE_BROWSER(g.cp), FALSE);
    if (!g.proxy) {
        g.err = "GUPnP control point found no content directory of the server";
        return g;
    }
    g.parser = gupnp_didl_lite_parser_new();
    g_signal_connect(g.parser, "object-available", G_CALLBACK(on_object), &g);
    return g;
}

// One Browse page; false with g.err set on any failure.
bool gupnp_page(gupnp_side &g, unsigned start, unsigned *returned, unsigned *total) {
    GUPnPServiceProxyAction *a = gupnp_service_proxy_action_new(
        "Browse", "ObjectID", G_TYPE_STRING, k_folder, "BrowseFlag", G_TYPE_STRING, "BrowseDirectChildren",
        "Filter", G_TYPE_STRING, "*", "StartingIndex", G_TYPE_UINT, start, "RequestedCount", G_TYPE_UINT,
        (unsigned)k_page, "SortCriteria", G_TYPE_STRING, "", nullptr);
    GError *e = nullptr;
    char *didl = nullptr;
    bool ok = gupnp_service_proxy_call_action(g.proxy, a, nullptr, &e) &&
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

void BM_BigFolder_gupnp(benchmark::State &st) {
    if (!in_sandbox(st)) return;
    gupnp_side &g = gupnp_ready();
    if (!g.err.empty()) {
        st.SkipWithError(g.err.c_str());
        return;
    }
    const int want = expected_count();
    int requests = 0;
    for (auto _ : st) {
        g.objects = 0;
        requests = 0;
        // Pages the way a client walks them: on from what came back, up to the total.
        unsigned start = 0, returned = 0, total = 1;
        bool ok = true;
        for (int req = 0; ok && start < total && req < 64; req++) {
            ok = gupnp_page(g, start, &returned, &total) && returned > 0;
            start += returned;
            requests++;
        }
        if (!ok || g.objects != want) {
            st.SkipWithError(ok ? "object count" : g.err.c_str());
            break;
        }
    }
    benchmark::DoNotOptimize(g.bytes);
    st.SetItemsProcessed(st.iterations() * want);
    st.counters["requests"] = requests;
}

} // namespace

// Fixed, small counts: each iteration is three real requests of up to 175 KB.
BENCHMARK(BM_BigFolder_kvdmc)
    ->Arg(100)
    ->Arg(256)
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
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

// Repetitions of the two run interleaved in random order by default, so a load change on
// the machine does not fall on one side only; a later flag on the command line wins.
int main(int argc, char **argv) {
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char *> args(argv, argv + argc);
    args.insert(args.begin() + 1, interleave);
    args.push_back(nullptr);
    int n = argc + 1;
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
