// kvdmc-test: tsan
// Casting from several threads while the device rows move underneath.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kvdmc.h"
#include "tests/helpers/cast_script.h"
#include "tests/helpers/docs.h"

namespace {

struct renderer {
    const char *udn;
    std::string host;
    int volume; // what this renderer answers to GetVolume
};

TEST(CastThreads, CastingWhileDevicesAreForgottenAndReadded) {
    const renderer rs[] = {{"uuid:mt-a", "http://192.0.2.21:1000", 11},
                           {"uuid:mt-b", "http://192.0.2.22:2000", 22}};
    cast_script script;
    kvdmc_use_fake();
    kvdmc_devices_clear();
    kvdmc_cast_clear();
    quorlin_io io = script.io();
    kvdmc_set_io(&io); // descriptions are fetched through the script as well
    for (const auto &r : rs) {
        std::string loc = r.host + "/d.xml";
        script.gets[loc] =
            docs::renderer_description(r.udn, {{"AVTransport:1", "/avt"}, {"RenderingControl:1", "/rc"}});
        for (const char *a : {"Play", "Stop"})
            script.answer(r.host + "/avt " + a, cast_script::ok(a, "AVTransport:1", ""));
        script.answer(r.host + "/avt GetTransportInfo",
                      cast_script::ok("GetTransportInfo", "AVTransport:1",
                                      "<CurrentTransportState>PLAYING</CurrentTransportState>"));
        script.answer(r.host + "/avt GetPositionInfo",
                      cast_script::ok("GetPositionInfo", "AVTransport:1",
                                      "<RelTime>0:00:0" + std::to_string(r.volume / 11) +
                                          "</RelTime><TrackDuration>0:01:00</TrackDuration>"));
        script.answer(r.host + "/rc GetVolume",
                      cast_script::ok("GetVolume", "RenderingControl:1",
                                      "<CurrentVolume>" + std::to_string(r.volume) + "</CurrentVolume>"));
        ASSERT_EQ(kvdmc_fake_ssdp(docs::announce(r.udn, docs::RENDERER_TYPE, loc).c_str(), "192.0.2.21"), 0)
            << kvdmc_last_error();
        ASSERT_EQ(kvdmc_cast_allow(r.udn), 0);
    }

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, ok{0};
    std::vector<std::thread> casters;
    for (int t = 0; t < 4; t++) {
        casters.emplace_back([&, t] {
            for (int i = 0; i < 400 && !stop; i++) {
                const renderer &r = rs[(i + t) % 2];
                int v = kvdmc_cast_volume(r.udn, -1);
                if (v == r.volume)
                    ok++;
                else if (v != -4)
                    wrong++; // another row's answer, or a failure other than "gone"
                int pos, dur;
                int p = kvdmc_cast_position(r.udn, &pos, &dur);
                if (p == 0 && (pos != r.volume / 11 || dur != 60)) wrong++;
                if (p != 0 && p != -4) wrong++;
                int s = kvdmc_cast_state(r.udn);
                if (s != 2 && s != -4) wrong++;
                int pl = (i % 2) ? kvdmc_cast_play(r.udn) : kvdmc_cast_stop(r.udn);
                if (pl != 0 && pl != -4) wrong++;
                if (kvdmc_cast_allowed(r.udn) != 1) wrong++;
            }
        });
    }
    std::thread churn([&] {
        for (int i = 0; i < 300; i++) {
            const renderer &r = rs[i % 3 == 0 ? 1 : 0];
            std::string loc = r.host + "/d.xml";
            kvdmc_forget(r.udn);
            std::this_thread::yield();
            if (kvdmc_fake_ssdp(docs::announce(r.udn, docs::RENDERER_TYPE, loc).c_str(), "192.0.2.21") != 0)
                wrong++;
            // Allow-list changes from yet another direction.
            kvdmc_cast_allow(("uuid:other-" + std::to_string(i % 5)).c_str());
        }
    });
    churn.join();
    stop = true;
    for (auto &t : casters) t.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GT(ok.load(), 0);
    EXPECT_EQ(kvdmc_device_count(), 2);
    kvdmc_use_fake();
}

} // namespace
