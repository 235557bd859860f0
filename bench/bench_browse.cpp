// Browsing costs: DIDL-Lite parsing into the item table (beside GUPnP-AV's
// DIDL-Lite parser on the same documents), a whole 2000-child browse through a
// transport answering from memory, and the item JSON views.
#include <benchmark/benchmark.h>
#if KVDMC_BENCH_GUPNP_AV
#include <libgupnp-av/gupnp-av.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "upnp/browse.h"
#include "base/exports.h"
#include "http/io_http.h"
#include "kvdmc.h"
#include "tests/helpers/browse_fixture.h"
#include "tests/helpers/docs.h"

namespace {

const std::string &doc(int which) {
    static const std::string docs[] = {docs::music_page(256), docs::rich_page_with_subtitles()};
    return docs[which];
}

void label(benchmark::State &st, int which) {
    st.SetLabel((which == 0 ? "server page, " : "rich page, ") + std::to_string(doc(which).size() / 1024) +
                " KB");
}

void BM_DidlParse_kvdmc(benchmark::State &st) {
    const std::string &d = doc((int)st.range(0));
    char err[256];
    didl_table t;
    for (auto _ : st) {
        if (didl_parse(d.c_str(), &t, err, sizeof err) != 256) st.SkipWithError(err);
        benchmark::DoNotOptimize(t[255].res_url[0]);
    }
    st.SetItemsProcessed(st.iterations() * 256);
    label(st, (int)st.range(0));
}
BENCHMARK(BM_DidlParse_kvdmc)->Arg(0)->Arg(1);

// The comparison needs GUPnP-AV for the target, which a cross-build may not have.
#if KVDMC_BENCH_GUPNP_AV
struct gupnp_count {
    int objects = 0;
    size_t sum = 0;
};

void on_object(GUPnPDIDLLiteParser *, GUPnPDIDLLiteObject *obj, gpointer user) {
    gupnp_count *c = (gupnp_count *)user;
    c->objects++;
    const char *title = gupnp_didl_lite_object_get_title(obj);
    if (title) c->sum += strlen(title);
    GList *res = gupnp_didl_lite_object_get_resources(obj);
    for (GList *l = res; l; l = l->next) {
        const char *uri = gupnp_didl_lite_resource_get_uri(GUPNP_DIDL_LITE_RESOURCE(l->data));
        if (uri) c->sum += strlen(uri);
    }
    g_list_free_full(res, g_object_unref);
}

void BM_DidlParse_gupnp_av(benchmark::State &st) {
    const std::string &d = doc((int)st.range(0));
    GUPnPDIDLLiteParser *p = gupnp_didl_lite_parser_new();
    gupnp_count c;
    g_signal_connect(p, "object-available", G_CALLBACK(on_object), &c);
    for (auto _ : st) {
        c.objects = 0;
        GError *e = nullptr;
        if (!gupnp_didl_lite_parser_parse_didl(p, d.c_str(), &e) || c.objects != 256) {
            st.SkipWithError(e ? e->message : "object count");
            if (e) g_error_free(e);
            break;
        }
        benchmark::DoNotOptimize(c.sum);
    }
    g_object_unref(p);
    st.SetItemsProcessed(st.iterations() * 256);
    label(st, (int)st.range(0));
}
BENCHMARK(BM_DidlParse_gupnp_av)->Arg(0)->Arg(1);
#endif

// ---------------------------------------------------------------- a whole browse

struct memory_server {
    std::vector<std::string> pages; // response body per StartingIndex / 256
};
memory_server g_mem;

int mem_post(void *, const char *, const char *body, const char *, char **out, int *code, char **) {
    const char *s = strstr(body, "<StartingIndex>");
    size_t page = s ? (size_t)atoi(s + 15) / 256 : 0;
    const std::string &r = g_mem.pages[page < g_mem.pages.size() ? page : g_mem.pages.size() - 1];
    *out = (char *)malloc(r.size() + 1);
    memcpy(*out, r.c_str(), r.size() + 1);
    *code = 200;
    return 0;
}
int mem_get(void *, const char *, char **, int *, char **) {
    return -1;
}
constexpr int k_mem_total = 2000;

// A server of one 2000-child folder answering from memory, as the selected transport.
void memory_server_ready(benchmark::State &st) {
    if (g_mem.pages.empty()) {
        for (int first = 0; first < k_mem_total; first += 256) {
            int n = k_mem_total - first < 256 ? k_mem_total - first : 256;
            g_mem.pages.push_back(docs::browse_response(docs::music_page(n, first), n, k_mem_total, 1));
        }
    }
    kvdmc_devices_clear();
    if (cdtest::add_server("uuid:bench", "10.0.0.9:8200") != 0) st.SkipWithError(kvdmc_last_error());
    // Handed out as the built-in transports hand out theirs: heap texts the browse may keep.
    static const quorlin_io io = {nullptr, mem_get, mem_post, io_free_text};
    kvdmc_set_io(&io);
}

void BM_Browse2000(benchmark::State &st) {
    memory_server_ready(st);
    for (auto _ : st) {
        if (kvdmc_browse("uuid:bench", "64$3$1", 0, 0, 0) != k_mem_total)
            st.SkipWithError(kvdmc_last_error());
    }
    st.SetItemsProcessed(st.iterations() * k_mem_total);
    st.SetLabel(std::to_string(g_mem.pages[0].size() / 1024) + " KB per response");
}
BENCHMARK(BM_Browse2000)->Unit(benchmark::kMillisecond);

// The same browse after the thread has waited idle for the argument's milliseconds, as it does
// for a slow server's answer: CPU time of the browse alone (the wait is not timed).
void BM_Browse2000AfterIdle(benchmark::State &st) {
    memory_server_ready(st);
    // Untimed: the table's pages and the heap are in place before the first timed browse.
    kvdmc_browse("uuid:bench", "64$3$1", 0, 0, 0);
    for (auto _ : st) {
        st.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(st.range(0)));
        st.ResumeTiming();
        if (kvdmc_browse("uuid:bench", "64$3$1", 0, 0, 0) != k_mem_total)
            st.SkipWithError(kvdmc_last_error());
    }
}
BENCHMARK(BM_Browse2000AfterIdle)->Arg(0)->Arg(100)->Iterations(40)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- JSON views

void BM_ItemJson4096(benchmark::State &st) {
    char err[256];
    api_enter();
    {
        // Sixteen pages, as a browse would append them.
        item_result r;
        int objects;
        for (int first = 0; first < ITEM_MAX; first += 256) {
            std::string d = docs::music_page(256, first);
            int n = first ? didl_parse_more(d.c_str(), &r.items, &objects, err, sizeof err)
                          : didl_parse(d.c_str(), &r.items, err, sizeof err);
            if (n != first + 256) st.SkipWithError(err);
        }
        items_publish(&r);
    }
    size_t bytes = 0;
    for (auto _ : st) {
        for (int i = 0; i < ITEM_MAX; i++) bytes += strlen(kvdmc_item_json(i));
    }
    benchmark::DoNotOptimize(bytes);
    st.SetItemsProcessed(st.iterations() * ITEM_MAX);
}
BENCHMARK(BM_ItemJson4096)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
