// SSDP packet parsing rate on the two packets a discovery sees most.
#include <benchmark/benchmark.h>

#include <string>

#include "upnp/discover.h"
#include "tests/helpers/docs.h"

namespace {

const std::string s_reply = docs::ssdp_lines(
    "HTTP/1.1 200 OK",
    {"CACHE-CONTROL: max-age=1800", "DATE: Mon, 07 Dec 2026 08:00:00 GMT",
     "EXT:", "LOCATION: http://192.168.1.20:8200/rootDesc.xml",
     "SERVER: Debian/12 DLNADOC/1.50 UPnP/1.0 MediaServer/1.3.0",
     "ST: urn:schemas-upnp-org:device:MediaServer:1",
     "USN: uuid:4d696e69-444c-164e-9d41-b827eb5fa3c1::urn:schemas-upnp-org:device:MediaServer:1",
     "Content-Length: 0"});

const std::string s_alive = docs::ssdp_lines(
    "NOTIFY * HTTP/1.1",
    {"HOST: 239.255.255.250:1900", "CACHE-CONTROL: max-age=1810",
     "LOCATION: http://192.168.1.30:49152/description.xml", "SERVER: Linux/6.1 UPnP/1.0 Renderer/0.1",
     "NT: urn:schemas-upnp-org:device:MediaRenderer:1", "NTS: ssdp:alive",
     "USN: uuid:5cdb4e5a-1a41-4ad3-8e5f-0a0b0c0d0e0f::urn:schemas-upnp-org:device:MediaRenderer:1"});

void run(benchmark::State &state, const std::string &pkt, int want) {
    ssdp_reply r;
    if (ssdp_parse_packet(pkt.c_str(), pkt.size(), &r) != want) {
        state.SkipWithError("packet not parsed as expected");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ssdp_parse_packet(pkt.c_str(), pkt.size(), &r));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)pkt.size());
}

void BM_ssdp_search_reply(benchmark::State &state) {
    run(state, s_reply, SSDP_REPLY);
}
void BM_ssdp_alive_notify(benchmark::State &state) {
    run(state, s_alive, SSDP_ALIVE);
}

} // namespace

BENCHMARK(BM_ssdp_search_reply);
BENCHMARK(BM_ssdp_alive_notify);

BENCHMARK_MAIN();
