// Every exported function that fails leaves its own code as the last code and its text as
// the last error, whatever an earlier call left there. Through the public header only.
// kvdmc-test: netns (fake mode sends nothing; should it ever, it stays in the namespace)
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kvdmc.h"

namespace {

const char *const RENDERER = "uuid:fail-r1";
const char *const DESC_URL = "http://10.0.0.2:49152/r.xml";
const char *const RC_URL = "http://10.0.0.2:49152/rc";

std::string renderer_description() {
    return std::string("<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\"><device>"
                       "<deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>"
                       "<friendlyName>R</friendlyName><UDN>") +
           RENDERER +
           "</UDN><serviceList><service>"
           "<serviceType>urn:schemas-upnp-org:service:RenderingControl:1</serviceType>"
           "<serviceId>urn:upnp-org:serviceId:RenderingControl</serviceId><controlURL>/rc</controlURL>"
           "</service></serviceList></device></root>";
}

std::string alive(const std::string &udn, const std::string &location) {
    return "NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nCACHE-CONTROL: max-age=1800\r\nLOCATION: " +
           location +
           "\r\nNT: urn:schemas-upnp-org:device:MediaRenderer:1\r\nNTS: ssdp:alive\r\nUSN: " + udn +
           "::urn:schemas-upnp-org:device:MediaRenderer:1\r\n\r\n";
}

// A text result as the code its header documents for the failure.
int text_code(const char *text) {
    return text && *text ? 0 : KVDMC_E_ARG;
}

struct failing_call {
    const char *what;
    std::function<int()> call;
    int rc;          // what the function returns (its documented code for a text result)
    int last;        // the last code it leaves
    const char *err; // the last error, or null when only its presence is checked
};

} // namespace

TEST(Failures, EveryFailingExportLeavesItsCodeAndText) {
    ASSERT_EQ(kvdmc_use_fake(), 0);
    const std::string desc = renderer_description();
    ASSERT_EQ(kvdmc_fake_set(DESC_URL, 200, desc.c_str()), 0);
    ASSERT_EQ(kvdmc_fake_ssdp(alive(RENDERER, DESC_URL).c_str(), nullptr), 0) << kvdmc_last_error();
    ASSERT_EQ(kvdmc_fake_fail(RC_URL, "refused"), 0);
    ASSERT_EQ(kvdmc_cast_allow(RENDERER), 0);
    ASSERT_EQ(kvdmc_cast_allow("uuid:gone"), 0);
    int pos = 0, dur = 0;
    const std::string nowhere = alive("uuid:fail-none", "http://10.0.0.2:49152/none.xml");

    const failing_call cases[] = {
        {"parse_ssdp null", [] { return kvdmc_parse_ssdp(nullptr); }, -1, -1, "parse_ssdp: null packet"},
        {"parse_ssdp short", [] { return kvdmc_parse_ssdp("short"); }, -1, -1,
         "parse_ssdp: not an SSDP reply or alive NOTIFY (kind 0)"},
        {"config", [] { return kvdmc_config("no such key", "1"); }, -10, -10, "unknown config key"},
        {"config value", [] { return kvdmc_config("ssdp_port", "12a"); }, -10, -10,
         "ssdp_port must be an integer"},
        {"resolve_url", [] { return text_code(kvdmc_resolve_url(nullptr, "a")); }, -1, -1,
         "resolve: null url"},
        {"discover kind", [] { return kvdmc_discover(0, 1000); }, -1, -1, "discover: kind must be 1, 2 or 3"},
        {"discover timeout", [] { return kvdmc_discover(1, 99); }, -1, -1,
         "discover: timeout_ms must be 100..30000"},
        {"discover fake", [] { return kvdmc_discover(1, 100); }, -2, -2,
         "ssdp disabled (fake mode): inject packets with kvdmc_fake_ssdp"},
        {"find_device", [] { return kvdmc_find_device(nullptr); }, -1, -1, "find_device: null udn"},
        {"forget null", [] { return kvdmc_forget(nullptr); }, -1, -1, "forget: null udn"},
        {"forget unknown", [] { return kvdmc_forget("uuid:nobody"); }, -4, -4, "forget: unknown udn"},
        {"fake_set", [] { return kvdmc_fake_set(nullptr, 200, "x"); }, -1, -1, "fake_set: null arg"},
        {"fake_fail", [] { return kvdmc_fake_fail(nullptr, "x"); }, -1, -1, "fake_fail: null arg"},
        {"fake_ssdp null", [] { return kvdmc_fake_ssdp(nullptr, nullptr); }, -1, -1,
         "fake_ssdp: null packet"},
        {"fake_ssdp packet", [] { return kvdmc_fake_ssdp("short", nullptr); }, -1, -1,
         "fake_ssdp: not a reply or alive NOTIFY (0)"},
        {"fake_ssdp description", [&] { return kvdmc_fake_ssdp(nowhere.c_str(), nullptr); }, -9, -9, nullptr},
        {"browse null", [] { return kvdmc_browse(nullptr, "0", 0, 0, 0); }, -1, -1, "browse: null arg"},
        {"browse index", [] { return kvdmc_browse(RENDERER, "0", -1, 0, 0); }, -1, -1,
         "browse: negative index"},
        // Browse answers one code for every failure and keeps the precise one as the last code.
        {"browse unknown", [] { return kvdmc_browse("uuid:nobody", "0", 0, 0, 0); }, -6, -4,
         "unknown device uuid:nobody"},
        {"browse no service", [] { return kvdmc_browse(RENDERER, "0", 0, 0, 0); }, -6, -1, nullptr},
        {"device_json", [] { return text_code(kvdmc_device_json(5)); }, -1, -1,
         "device_json: index out of range"},
        {"item_json", [] { return text_code(kvdmc_item_json(0)); }, -1, -1, "item_json: index out of range"},
        {"parse_description null", [] { return kvdmc_parse_description(nullptr, "http://h/"); }, -1, -1,
         "parse_description: null arg"},
        {"parse_description", [] { return kvdmc_parse_description("", "http://h/"); }, -9, -9,
         "parse_description: empty description"},
        {"parse_didl null", [] { return kvdmc_parse_didl(nullptr); }, -1, -1, "parse_didl: null didl"},
        {"parse_didl", [] { return kvdmc_parse_didl("<DIDL-Lite><item id=\"x\"><</DIDL-Lite>"); }, -9, -9,
         nullptr},
        {"cast_allow null", [] { return kvdmc_cast_allow(nullptr); }, -1, -1, "cast_allow: null udn"},
        {"cast_allow empty", [] { return kvdmc_cast_allow("::urn:x"); }, -1, -1, "cast_allow: empty udn"},
        {"cast_set_uri refused",
         [] { return kvdmc_cast_set_uri("uuid:stranger", "http://h/a.mp4", nullptr, nullptr); }, -7, -7,
         nullptr},
        {"cast_set_uri url", [] { return kvdmc_cast_set_uri(RENDERER, "", nullptr, nullptr); }, -1, -1,
         "cast_set_uri: null url"},
        {"cast_play null", [] { return kvdmc_cast_play(nullptr); }, -1, -1, "null udn"},
        {"cast_play no service", [] { return kvdmc_cast_play(RENDERER); }, -1, -1, nullptr},
        {"cast_pause unknown", [] { return kvdmc_cast_pause("uuid:gone"); }, -4, -4,
         "unknown device uuid:gone"},
        {"cast_stop refused", [] { return kvdmc_cast_stop("uuid:stranger"); }, -7, -7, nullptr},
        {"cast_seek", [] { return kvdmc_cast_seek(RENDERER, -1); }, -1, -1, "cast_seek: negative time"},
        {"cast_state null", [] { return kvdmc_cast_state(nullptr); }, -1, -1, "cast_state: null udn"},
        {"cast_state unknown", [] { return kvdmc_cast_state("uuid:nobody"); }, -4, -4, nullptr},
        {"cast_position", [] { return kvdmc_cast_position(RENDERER, nullptr, nullptr); }, -1, -1,
         "cast_position: null out"},
        {"cast_position unknown", [&] { return kvdmc_cast_position("uuid:nobody", &pos, &dur); }, -4, -4,
         nullptr},
        {"cast_volume range", [] { return kvdmc_cast_volume(RENDERER, 101); }, -1, -1,
         "cast_volume: volume must be 0..100"},
        {"cast_volume transport", [] { return kvdmc_cast_volume(RENDERER, KVDMC_VOLUME_READ); }, -3, -3,
         "transport: refused"},
        {"cast_mute unknown", [] { return kvdmc_cast_mute("uuid:nobody", 1); }, -4, -4, nullptr},
        {"sink_check mime", [] { return kvdmc_sink_check(RENDERER, nullptr); }, -1, -1,
         "sink_check: null mime"},
        {"sink_check no service", [] { return kvdmc_sink_check(RENDERER, "audio/mpeg"); }, -1, -1, nullptr},
        {"kvffa_register twice",
         [] {
             kvdmc_kvffa_register();
             return kvdmc_kvffa_register(); // the id is taken
         },
         -8, -8, "kvffa_register failed"},
        {"cast_allow full",
         [] {
             for (int i = 0; i < 32; i++) kvdmc_cast_allow(("uuid:fill-" + std::to_string(i)).c_str());
             return kvdmc_cast_allow("uuid:one-more");
         },
         -8, -8, "allow-list full"},
    };
    for (const failing_call &c : cases) {
        SCOPED_TRACE(c.what);
        // Leave another failure's code and text behind first.
        if (c.last == KVDMC_E_CONFIG)
            kvdmc_parse_ssdp("x");
        else
            kvdmc_config("no such key", nullptr);
        std::string before = kvdmc_last_error();
        EXPECT_EQ(c.call(), c.rc);
        EXPECT_EQ(kvdmc_last_code(), c.last);
        if (c.err)
            EXPECT_STREQ(kvdmc_last_error(), c.err);
        else
            EXPECT_NE(kvdmc_last_error(), before);
    }
}
