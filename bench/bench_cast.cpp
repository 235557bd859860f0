// Cost of the component's own work per casting call: argument building, the
// SOAP envelope, the response reading and the value conversion. The transport
// answers from memory without copying, so the figures leave out the network.
#include <benchmark/benchmark.h>

#include <string.h>

#include <string>

#include "kvdmc.h"
#include "tests/helpers/cast_script.h"
#include "tests/helpers/docs.h"

namespace {

const char *const UDN = "uuid:bench-renderer";

struct memory_renderer {
    std::string set_uri, play, state, position, get_volume, set_volume;

    memory_renderer()
        : set_uri(cast_script::ok("SetAVTransportURI", "AVTransport:1", "").body),
          play(cast_script::ok("Play", "AVTransport:1", "").body),
          state(cast_script::ok(
                    "GetTransportInfo", "AVTransport:1",
                    "<CurrentTransportState>PLAYING</CurrentTransportState><CurrentTransportStatus>OK"
                    "</CurrentTransportStatus><CurrentSpeed>1</CurrentSpeed>")
                    .body),
          position(
              cast_script::ok("GetPositionInfo", "AVTransport:1",
                              "<Track>1</Track><TrackDuration>0:03:25</TrackDuration><TrackMetaData>"
                              "NOT_IMPLEMENTED</TrackMetaData><TrackURI>http://192.0.2.5:8200/MediaItems/"
                              "22.mp3</TrackURI><RelTime>0:01:07</RelTime><AbsTime>NOT_IMPLEMENTED</AbsTime>"
                              "<RelCount>2147483647</RelCount><AbsCount>2147483647</AbsCount>")
                  .body),
          get_volume(
              cast_script::ok("GetVolume", "RenderingControl:1", "<CurrentVolume>37</CurrentVolume>").body),
          set_volume(cast_script::ok("SetVolume", "RenderingControl:1", "").body) {}

    const std::string *answer(const char *ct) const {
        const char *a = strchr(ct, '#');
        if (!a) return nullptr;
        a++;
        if (!strncmp(a, "SetAVTransportURI\"", 18)) return &set_uri;
        if (!strncmp(a, "Play\"", 5)) return &play;
        if (!strncmp(a, "GetTransportInfo\"", 17)) return &state;
        if (!strncmp(a, "GetPositionInfo\"", 16)) return &position;
        if (!strncmp(a, "GetVolume\"", 10)) return &get_volume;
        if (!strncmp(a, "SetVolume\"", 10)) return &set_volume;
        return nullptr;
    }

    static int post(void *ctx, const char *, const char *, const char *ct, char **out_body, int *http_code,
                    char **) {
        const std::string *r = static_cast<memory_renderer *>(ctx)->answer(ct);
        if (!r) return -1;
        *out_body = const_cast<char *>(r->c_str());
        *http_code = 200;
        return 0;
    }
    static void release(void *, void *) {} // the answers are not copies
};

memory_renderer s_renderer;

void setup() {
    static bool done = false;
    if (done) return;
    done = true;
    kvdmc_use_fake();
    const std::string loc = "http://192.0.2.9:49152/desc.xml";
    kvdmc_fake_set(loc.c_str(), 200,
                   docs::renderer_description(UDN, {{"ConnectionManager:1", "/upnp/control/cm1"},
                                                    {"AVTransport:1", "/upnp/control/avt1"},
                                                    {"RenderingControl:1", "/upnp/control/rc1"}})
                       .c_str());
    if (kvdmc_fake_ssdp(docs::announce(UDN, docs::RENDERER_TYPE, loc).c_str(), "192.0.2.9") != 0) abort();
    kvdmc_cast_allow(UDN);
    quorlin_io io{&s_renderer, nullptr, &memory_renderer::post, &memory_renderer::release};
    kvdmc_set_io(&io);
}

void check(benchmark::State &st, int r) {
    if (r < 0) st.SkipWithError(kvdmc_last_error());
}

void BM_SetUri(benchmark::State &st) {
    setup();
    for (auto _ : st)
        check(st, kvdmc_cast_set_uri(UDN, "http://192.0.2.5:8200/MediaItems/22.mp4?token=a&b=c", "video/mp4",
                                     "Holiday clip <2026>"));
    st.SetItemsProcessed(st.iterations());
}

void BM_Play(benchmark::State &st) {
    setup();
    for (auto _ : st) check(st, kvdmc_cast_play(UDN));
    st.SetItemsProcessed(st.iterations());
}

void BM_State(benchmark::State &st) {
    setup();
    for (auto _ : st) check(st, kvdmc_cast_state(UDN));
    st.SetItemsProcessed(st.iterations());
}

void BM_Position(benchmark::State &st) {
    setup();
    int pos, dur;
    for (auto _ : st) {
        check(st, kvdmc_cast_position(UDN, &pos, &dur));
        benchmark::DoNotOptimize(pos + dur);
    }
    st.SetItemsProcessed(st.iterations());
}

void BM_VolumeGet(benchmark::State &st) {
    setup();
    for (auto _ : st) check(st, kvdmc_cast_volume(UDN, -1));
    st.SetItemsProcessed(st.iterations());
}

void BM_VolumeSet(benchmark::State &st) {
    setup();
    for (auto _ : st) check(st, kvdmc_cast_volume(UDN, 40));
    st.SetItemsProcessed(st.iterations());
}

BENCHMARK(BM_SetUri);
BENCHMARK(BM_Play);
BENCHMARK(BM_State);
BENCHMARK(BM_Position);
BENCHMARK(BM_VolumeGet);
BENCHMARK(BM_VolumeSet);

} // namespace

BENCHMARK_MAIN();
