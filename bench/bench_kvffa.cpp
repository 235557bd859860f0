// The file/folder access layer at scale: listing a generated folder of a
// million entries end to end (validation and copies included) with the heap
// each held entry costs; rendering that listing as JSON and decoding it back,
// next to RapidJSON's own writer and reader on the same document; and loading
// the tree whose generator makes the folder.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "kvffa/kvffa.h"

namespace {
constexpr size_t ENTRIES = 1000000;
constexpr long PAGE = 4096;
const char *const TREE = R"({"name":"","generate":[{"path":"/big","count":1000000,"size":4096}]})";

size_t heap_in_use() {
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// The fake holds the million-entry folder and is open with the page size set.
bool open_big_folder() {
    static bool ok = kvffa_fake_load_tree(TREE) == KVFFA_OK && kvffa_fake_register() == KVFFA_OK &&
                     kvffa_open("fake", "{}") == KVFFA_OK && kvffa_set_page_size(PAGE) == KVFFA_OK;
    return ok;
}

// The listing's rendering, made once.
const std::string &listing_json() {
    static const std::string doc = [] {
        if (!open_big_folder() || kvffa_list_all("/big") != KVFFA_OK) abort();
        return std::string(kvffa_result_json());
    }();
    return doc;
}

void set_bytes(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void BM_ListMillionEntries(benchmark::State &state) {
    if (!open_big_folder()) {
        state.SkipWithError(kvffa_last_error());
        return;
    }
    for (auto _ : state) {
        if (kvffa_list_all("/big") != KVFFA_OK || kvffa_count() != ENTRIES) {
            state.SkipWithError(kvffa_last_error());
            return;
        }
    }
    state.counters["entries/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * ENTRIES), benchmark::Counter::kIsRate);
    // The heap the held listing costs: in use with it, minus in use without it.
    size_t with = heap_in_use();
    kvffa_decode("[]");
    size_t without = heap_in_use();
    state.counters["heap_bytes/entry"] = static_cast<double>(with - without) / ENTRIES;
}
BENCHMARK(BM_ListMillionEntries)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_ResultJson(benchmark::State &state) {
    const std::string &doc = listing_json();
    if (kvffa_list_all("/big") != KVFFA_OK) abort();
    size_t n = 0;
    for (auto _ : state) {
        const char *out = kvffa_result_json();
        n = strlen(out);
        benchmark::DoNotOptimize(out);
    }
    if (n != doc.size()) state.SkipWithError("rendering differs from the first one");
    set_bytes(state, n);
}
BENCHMARK(BM_ResultJson)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RapidJsonWriter(benchmark::State &state) {
    const std::string &doc = listing_json();
    rapidjson::Document d;
    d.Parse(doc.c_str());
    size_t n = 0;
    for (auto _ : state) {
        rapidjson::StringBuffer out;
        rapidjson::Writer<rapidjson::StringBuffer> w(out);
        d.Accept(w);
        n = out.GetSize();
        benchmark::DoNotOptimize(out.GetString());
    }
    if (n != doc.size()) state.SkipWithError("writer output differs in size");
    set_bytes(state, n);
}
BENCHMARK(BM_RapidJsonWriter)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_Decode(benchmark::State &state) {
    const std::string &doc = listing_json();
    for (auto _ : state) {
        if (kvffa_decode(doc.c_str()) != KVFFA_OK || kvffa_count() != ENTRIES) {
            state.SkipWithError(kvffa_last_error());
            return;
        }
    }
    set_bytes(state, doc.size());
}
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// RapidJSON reading the same text with the same strictness, into nothing (SAX)
// and into its own document (DOM).
void BM_RapidJsonReader(benchmark::State &state) {
    const std::string &doc = listing_json();
    for (auto _ : state) {
        rapidjson::Reader r;
        rapidjson::StringStream in(doc.c_str());
        rapidjson::BaseReaderHandler<> h;
        if (!r.Parse<rapidjson::kParseValidateEncodingFlag>(in, h)) abort();
    }
    set_bytes(state, doc.size());
}
BENCHMARK(BM_RapidJsonReader)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RapidJsonDocument(benchmark::State &state) {
    const std::string &doc = listing_json();
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseValidateEncodingFlag>(doc.c_str());
        if (d.HasParseError()) abort();
        benchmark::DoNotOptimize(d);
    }
    set_bytes(state, doc.size());
}
BENCHMARK(BM_RapidJsonDocument)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_LoadGeneratedTree(benchmark::State &state) {
    for (auto _ : state)
        if (kvffa_fake_load_tree(TREE) != KVFFA_OK) {
            state.SkipWithError(kvffa_last_error());
            return;
        }
}
BENCHMARK(BM_LoadGeneratedTree)->Unit(benchmark::kMillisecond)->MinTime(2.0);
} // namespace

BENCHMARK_MAIN();
