// Request latency of the built-in HTTP transport against a local server: a description-sized
// GET and a Browse-sized POST, each on the thread's kept-alive connection, and a GET that must
// open a new connection each time. Run inside a network namespace: scripts/netns-run.
#include <benchmark/benchmark.h>

#include <string>

#include "tests/helpers/mini_http.h"
#include "http/io.h"
#include "http/io_curl.h"

namespace {

const std::string s_desc(4 * 1024, 'd');
const std::string s_page(200 * 1024, 'p');

mini_reply serve(const mini_request &rq) {
    mini_reply r;
    const std::string &body = rq.path == "/page" ? s_page : s_desc;
    r.raw = mini_response(200, "OK", body, rq.path == "/close" ? "Connection: close\r\n" : "");
    return r;
}

void run(benchmark::State &state, const char *path, bool post) {
    const quorlin_io *io = io_curl();
    if (!io) {
        state.SkipWithError("built without libcurl");
        return;
    }
    mini_http srv(serve);
    std::string url = srv.url(path);
    const char *ct = "text/xml; charset=\"utf-8\"\r\nSOAPACTION: \"urn:x#Browse\"";
    for (auto _ : state) {
        char *body = nullptr, *err = nullptr;
        int code = 0;
        int rc = post ? io->http_post(io->ctx, url.c_str(), "<s:Envelope/>", ct, &body, &code, &err)
                      : io->http_get(io->ctx, url.c_str(), &body, &code, &err);
        if (rc != 0 || code != 200) state.SkipWithError("request failed");
        if (body) io->free_buf(io->ctx, body);
        if (err) io->free_buf(io->ctx, err);
        if (rc != 0) break;
    }
    state.counters["connections"] = srv.connections();
}

void BM_GetDescriptionKeepAlive(benchmark::State &s) {
    run(s, "/desc", false);
}
void BM_PostBrowsePageKeepAlive(benchmark::State &s) {
    run(s, "/page", true);
}
void BM_GetNewConnectionEachTime(benchmark::State &s) {
    run(s, "/close", false);
}

} // namespace

BENCHMARK(BM_GetDescriptionKeepAlive)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PostBrowsePageKeepAlive)->Unit(benchmark::kMicrosecond);
// Bounded: the test server keeps one finished thread per connection until it stops.
BENCHMARK(BM_GetNewConnectionEachTime)->Unit(benchmark::kMicrosecond)->Iterations(500);

BENCHMARK_MAIN();
