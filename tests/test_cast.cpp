// Casting through the public API against a scripted renderer transport.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kvdmc.h"
#include "tests/helpers/cast_script.h"
#include "tests/helpers/docs.h"
#include "upnp/cast.h"

namespace {

const char *const R1 = "uuid:Rend-One";  // AVTransport:1, RenderingControl:1, ConnectionManager:1
const char *const R2 = "uuid:rend-two";  // only version 2 services
const char *const R0 = "uuid:rend-none"; // no services at all
const std::string R1_AVT = "http://192.0.2.9:49152/upnp/control/avt1";
const std::string R1_RC = "http://192.0.2.9:49152/upnp/control/rc1";
const std::string R1_CM = "http://192.0.2.9:49152/upnp/control/cm1";
const std::string R2_AVT = "http://192.0.2.10:80/ctl/avt2";
const std::string R2_RC = "http://192.0.2.10:80/ctl/rc2";
const std::string R2_CM = "http://192.0.2.10:80/ctl/cm2";

const char *const DIDL_HEAD =
    "&lt;DIDL-Lite xmlns=&quot;urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/&quot; "
    "xmlns:dc=&quot;http://purl.org/dc/elements/1.1/&quot; "
    "xmlns:upnp=&quot;urn:schemas-upnp-org:metadata-1-0/upnp/&quot;&gt;&lt;item id=&quot;&quot; "
    "parentID=&quot;&quot; restricted=&quot;1&quot;&gt;";
const char *const DIDL_TAIL =
    "&lt;/res&gt;&lt;upnp:class&gt;object.item.videoItem&lt;/upnp:class&gt;&lt;/item&gt;&lt;/DIDL-Lite&gt;";

void add_device(const char *udn, const std::string &host,
                const std::vector<std::pair<std::string, std::string>> &svc) {
    std::string loc = host + "/desc.xml";
    ASSERT_EQ(kvdmc_fake_set(loc.c_str(), 200, docs::renderer_description(udn, svc).c_str()), 0);
    ASSERT_EQ(kvdmc_fake_ssdp(docs::announce(udn, docs::RENDERER_TYPE, loc).c_str(), "192.0.2.9"), 0)
        << kvdmc_last_error();
}

class Cast : public ::testing::Test {
  protected:
    cast_script script;

    void SetUp() override {
        kvdmc_use_fake();
        kvdmc_fake_reset();
        kvdmc_devices_clear();
        kvdmc_cast_clear();
        add_device(R1, "http://192.0.2.9:49152",
                   {{"ConnectionManager:1", "/upnp/control/cm1"},
                    {"AVTransport:1", "/upnp/control/avt1"},
                    {"RenderingControl:1", "/upnp/control/rc1"}});
        add_device(R2, "http://192.0.2.10:80",
                   {{"ConnectionManager:2", "/ctl/cm2"},
                    {"AVTransport:2", "/ctl/avt2"},
                    {"RenderingControl:2", "/ctl/rc2"}});
        add_device(R0, "http://192.0.2.11:80", {});
        quorlin_io io = script.io();
        kvdmc_set_io(&io); // copied: the local record may go
        for (const char *a : {"SetAVTransportURI", "Play", "Pause", "Stop", "Seek"})
            script.answer(a, cast_script::ok(a, "AVTransport:1", ""));
        script.answer("SetVolume", cast_script::ok("SetVolume", "RenderingControl:1", ""));
        script.answer("SetMute", cast_script::ok("SetMute", "RenderingControl:1", ""));
    }
    void TearDown() override { kvdmc_use_fake(); } // never leave the script selected

    // The single POST since the last check.
    cast_script::call only_call() {
        auto c = script.take_calls();
        EXPECT_EQ(c.size(), 1u);
        return c.empty() ? cast_script::call{} : c[0];
    }
};

TEST_F(Cast, AllowListKeysCapacityAndClear) {
    EXPECT_EQ(kvdmc_cast_allow("uuid:AbC-1"), 0);
    EXPECT_EQ(kvdmc_cast_allowed("uuid:abc-1"), 1);
    EXPECT_EQ(kvdmc_cast_allowed("uuid:ABC-1::urn:schemas-upnp-org:device:MediaRenderer:1"), 1);
    EXPECT_EQ(kvdmc_cast_allowed("uuid:abc-2"), 0);
    EXPECT_EQ(kvdmc_cast_allowed(nullptr), 0);

    EXPECT_EQ(kvdmc_cast_allow(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_allow: null udn");
    EXPECT_EQ(kvdmc_cast_allow("::urn:x"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_allow: empty udn");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_ARG); // a failure leaves its own code

    // The same key in another spelling takes no second slot.
    EXPECT_EQ(kvdmc_cast_allow("uuid:abc-1::urn:x"), 0);
    for (int i = 2; i <= 32; i++) EXPECT_EQ(kvdmc_cast_allow(("uuid:abc-" + std::to_string(i)).c_str()), 0);
    EXPECT_EQ(kvdmc_cast_allow("uuid:abc-33"), KVDMC_E_CAP);
    EXPECT_STREQ(kvdmc_last_error(), "allow-list full");
    EXPECT_EQ(kvdmc_cast_allow("uuid:ABC-7"), 0);
    EXPECT_EQ(kvdmc_cast_allowed("uuid:abc-33"), 0);
    EXPECT_EQ(kvdmc_cast_allowed("uuid:abc-32"), 1);

    kvdmc_cast_clear();
    EXPECT_EQ(kvdmc_cast_allowed("uuid:abc-1"), 0);
    EXPECT_EQ(kvdmc_cast_allow("uuid:abc-33"), 0);
}

TEST_F(Cast, GuardOrderAndReadsWithoutAllowList) {
    // Not allowed: refused, naming the UDN as passed, before any device check.
    EXPECT_EQ(kvdmc_cast_play("uuid:REND-one"), KVDMC_E_REFUSED);
    EXPECT_STREQ(kvdmc_last_error(), "cast refused: uuid:REND-one is not on the allow-list (D13)");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_REFUSED);
    EXPECT_EQ(kvdmc_cast_stop("uuid:never-seen"), KVDMC_E_REFUSED);
    EXPECT_EQ(kvdmc_cast_play(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "null udn");

    // Allowed but unknown.
    kvdmc_cast_allow("uuid:gone");
    EXPECT_EQ(kvdmc_cast_pause("uuid:gone"), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "unknown device uuid:gone");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UNKNOWN);

    // Volume and mute: device lookup, then range, then guard.
    EXPECT_EQ(kvdmc_cast_volume("uuid:nowhere", 50), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "unknown device uuid:nowhere");
    EXPECT_EQ(kvdmc_cast_volume(R1, 101), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_volume: volume must be 0..100");
    EXPECT_EQ(kvdmc_cast_volume(R1, 50), KVDMC_E_REFUSED);
    EXPECT_EQ(kvdmc_cast_mute(R1, 1), KVDMC_E_REFUSED);
    EXPECT_EQ(kvdmc_cast_seek(R1, -1), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_seek: negative time");
    EXPECT_EQ(kvdmc_cast_set_uri(R1, "", nullptr, nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_set_uri: null url");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_ARG);
    EXPECT_EQ(script.ncalls(), 0u);

    // Reads only need a known device.
    script.answer("GetTransportInfo",
                  cast_script::ok("GetTransportInfo", "AVTransport:1",
                                  "<CurrentTransportState>PLAYING</CurrentTransportState>"));
    script.answer("GetVolume",
                  cast_script::ok("GetVolume", "RenderingControl:1", "<CurrentVolume>12</CurrentVolume>"));
    script.answer("GetMute",
                  cast_script::ok("GetMute", "RenderingControl:1", "<CurrentMute>1</CurrentMute>"));
    script.answer("GetPositionInfo",
                  cast_script::ok("GetPositionInfo", "AVTransport:1",
                                  "<RelTime>0:00:07</RelTime><TrackDuration>0:00:09</TrackDuration>"));
    script.answer("GetProtocolInfo", cast_script::ok("GetProtocolInfo", "ConnectionManager:1",
                                                     "<Source></Source><Sink>http-get:*:a/b:*</Sink>"));
    int pos = -1, dur = -1;
    EXPECT_EQ(kvdmc_cast_state(R1), 2);
    EXPECT_EQ(kvdmc_cast_volume(R1, -1), 12);
    EXPECT_EQ(kvdmc_cast_mute(R1, -1), 1);
    EXPECT_EQ(kvdmc_cast_position(R1, &pos, &dur), 0);
    EXPECT_EQ(pos, 7);
    EXPECT_EQ(dur, 9);
    EXPECT_EQ(kvdmc_sink_check(R1, "http-get:*:a/b"), 1);
    EXPECT_EQ(kvdmc_cast_state("uuid:nowhere"), KVDMC_E_UNKNOWN);
    EXPECT_EQ(kvdmc_cast_state(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_state: null udn");
    EXPECT_EQ(kvdmc_cast_mute(nullptr, -1), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "unknown device (null)");

    // After a clear the renderer is refused again.
    kvdmc_cast_allow(R1);
    EXPECT_EQ(kvdmc_cast_play(R1), 0);
    kvdmc_cast_clear();
    EXPECT_EQ(kvdmc_cast_play(R1), KVDMC_E_REFUSED);
    // Forgetting the device does not touch the list.
    kvdmc_cast_allow(R1);
    ASSERT_EQ(kvdmc_forget(R1), 0);
    EXPECT_EQ(kvdmc_cast_allowed(R1), 1);
    EXPECT_EQ(kvdmc_cast_play(R1), KVDMC_E_UNKNOWN);
}

TEST_F(Cast, ExactArgumentsOfEveryAction) {
    kvdmc_cast_allow(R1);
    struct {
        std::function<int()> op;
        std::string url, service, action, args;
    } cases[] = {
        {[] { return kvdmc_cast_play(R1); }, R1_AVT, "AVTransport:1", "Play",
         "<InstanceID>0</InstanceID><Speed>1</Speed>"},
        {[] { return kvdmc_cast_pause(R1); }, R1_AVT, "AVTransport:1", "Pause", "<InstanceID>0</InstanceID>"},
        {[] { return kvdmc_cast_stop(R1); }, R1_AVT, "AVTransport:1", "Stop", "<InstanceID>0</InstanceID>"},
        {[] { return kvdmc_cast_seek(R1, 3725); }, R1_AVT, "AVTransport:1", "Seek",
         "<InstanceID>0</InstanceID><Unit>REL_TIME</Unit><Target>1:02:05</Target>"},
        {[] { return kvdmc_cast_seek(R1, 0); }, R1_AVT, "AVTransport:1", "Seek",
         "<InstanceID>0</InstanceID><Unit>REL_TIME</Unit><Target>0:00:00</Target>"},
        {[] { return kvdmc_cast_seek(R1, 360000); }, R1_AVT, "AVTransport:1", "Seek",
         "<InstanceID>0</InstanceID><Unit>REL_TIME</Unit><Target>100:00:00</Target>"},
        {[] { return kvdmc_cast_volume(R1, 37); }, R1_RC, "RenderingControl:1", "SetVolume",
         "<InstanceID>0</InstanceID><Channel>Master</Channel><DesiredVolume>37</DesiredVolume>"},
        {[] { return kvdmc_cast_volume(R1, 0); }, R1_RC, "RenderingControl:1", "SetVolume",
         "<InstanceID>0</InstanceID><Channel>Master</Channel><DesiredVolume>0</DesiredVolume>"},
        {[] { return kvdmc_cast_mute(R1, 5); }, R1_RC, "RenderingControl:1", "SetMute",
         "<InstanceID>0</InstanceID><Channel>Master</Channel><DesiredMute>1</DesiredMute>"},
        {[] { return kvdmc_cast_mute(R1, 0); }, R1_RC, "RenderingControl:1", "SetMute",
         "<InstanceID>0</InstanceID><Channel>Master</Channel><DesiredMute>0</DesiredMute>"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.action + " " + c.args);
        EXPECT_EQ(c.op(), 0) << kvdmc_last_error();
        auto call = only_call();
        EXPECT_EQ(call.url, c.url);
        EXPECT_EQ(call.service, c.service);
        EXPECT_EQ(call.action, c.action);
        EXPECT_EQ(call.args, c.args);
        EXPECT_EQ(kvdmc_last_code(), 0);
    }

    // Reads.
    script.answer("GetTransportInfo",
                  cast_script::ok("GetTransportInfo", "AVTransport:1",
                                  "<CurrentTransportState>STOPPED</CurrentTransportState>"));
    script.answer("GetVolume",
                  cast_script::ok("GetVolume", "RenderingControl:1", "<CurrentVolume>5</CurrentVolume>"));
    script.answer("GetMute",
                  cast_script::ok("GetMute", "RenderingControl:1", "<CurrentMute>0</CurrentMute>"));
    script.answer("GetPositionInfo",
                  cast_script::ok("GetPositionInfo", "AVTransport:1", "<RelTime>0:00:00</RelTime>"));
    script.answer("GetProtocolInfo",
                  cast_script::ok("GetProtocolInfo", "ConnectionManager:1", "<Sink></Sink>"));
    EXPECT_EQ(kvdmc_cast_state(R1), 0);
    EXPECT_EQ(only_call().args, "<InstanceID>0</InstanceID>");
    EXPECT_EQ(kvdmc_cast_volume(R1, -1), 5);
    EXPECT_EQ(only_call().args, "<InstanceID>0</InstanceID><Channel>Master</Channel>");
    EXPECT_EQ(kvdmc_cast_mute(R1, -3), 0);
    EXPECT_EQ(only_call().args, "<InstanceID>0</InstanceID><Channel>Master</Channel>");
    int pos, dur;
    EXPECT_EQ(kvdmc_cast_position(R1, &pos, &dur), 0);
    auto c = only_call(); // one request for both values
    EXPECT_EQ(c.action, "GetPositionInfo");
    EXPECT_EQ(c.args, "<InstanceID>0</InstanceID>");
    EXPECT_EQ(kvdmc_sink_check(R1, "http-get:*:video/mp4"), 0);
    c = only_call();
    EXPECT_EQ(c.url, R1_CM);
    EXPECT_EQ(c.action, "GetProtocolInfo");
    EXPECT_EQ(c.args, "");
}

// The fixed minimal document, byte for byte.
TEST_F(Cast, SetUriMetadataAndEscaping) {
    kvdmc_cast_allow(R1);
    ASSERT_EQ(kvdmc_config("cast_metadata", "minimal"), 0);
    const std::string url = "http://192.0.2.5:8200/MediaItems/22.mp4?a=1&b=<2>";
    const std::string url_esc = "http://192.0.2.5:8200/MediaItems/22.mp4?a=1&amp;b=&lt;2&gt;";

    const std::string title = "Tom & \"Jerry\" <live>";
    ASSERT_EQ(kvdmc_cast_set_uri(R1, url.c_str(), "audio/mpeg", title.c_str()), 0) << kvdmc_last_error();
    auto c = only_call();
    EXPECT_EQ(c.action, "SetAVTransportURI");
    // CurrentURI is escaped once; in the metadata the texts are escaped for the
    // DIDL-Lite document, and the document again as the argument.
    const std::string url_esc2 = "http://192.0.2.5:8200/MediaItems/22.mp4?a=1&amp;amp;b=&amp;lt;2&amp;gt;";
    EXPECT_EQ(c.args, "<InstanceID>0</InstanceID><CurrentURI>" + url_esc +
                          "</CurrentURI><CurrentURIMetaData>" + DIDL_HEAD +
                          "&lt;dc:title&gt;Tom &amp;amp; &amp;quot;Jerry&amp;quot; &amp;lt;live&amp;gt;"
                          "&lt;/dc:title&gt;&lt;res protocolInfo=&quot;http-get:*:audio/mpeg:*&quot;&gt;" +
                          url_esc2 + DIDL_TAIL + "</CurrentURIMetaData>");
    // What the renderer holds after its one decode is DIDL-Lite that reads back as sent.
    std::string meta = c.args.substr(c.args.find("<CurrentURIMetaData>") + 20);
    meta = docs::xml_unescape(meta.substr(0, meta.find("</CurrentURIMetaData>")));
    ASSERT_EQ(kvdmc_parse_didl(meta.c_str()), 0) << kvdmc_last_error();
    ASSERT_EQ(kvdmc_item_count(), 1);
    EXPECT_EQ(kvdmc_best_res_url(0), url);
    EXPECT_NE(std::string(kvdmc_item_json(0)).find("\"title\":\"Tom & \\\"Jerry\\\" <live>\""),
              std::string::npos)
        << kvdmc_item_json(0);

    // No title: no title element; no MIME type: video/mp4. Video class whatever the type.
    for (const char *mime : {(const char *)nullptr, ""}) {
        ASSERT_EQ(kvdmc_cast_set_uri(R1, "http://h/x", mime, ""), 0);
        EXPECT_EQ(
            only_call().args,
            std::string("<InstanceID>0</InstanceID><CurrentURI>http://h/x</CurrentURI><CurrentURIMetaData>") +
                DIDL_HEAD + "&lt;res protocolInfo=&quot;http-get:*:video/mp4:*&quot;&gt;http://h/x" +
                DIDL_TAIL + "</CurrentURIMetaData>");
    }

    // A long URL is sent whole, not cut inside the XML.
    std::string long_url = "http://h/" + std::string(5000, 'a');
    ASSERT_EQ(kvdmc_cast_set_uri(R1, long_url.c_str(), nullptr, nullptr), 0);
    c = only_call();
    EXPECT_NE(c.args.find("<CurrentURI>" + long_url + "</CurrentURI>"), std::string::npos);
    EXPECT_EQ(c.args.substr(c.args.size() - 21), "</CurrentURIMetaData>");
    ASSERT_EQ(kvdmc_config("cast_metadata", nullptr), 0);
}

TEST_F(Cast, TransportStateMapping) {
    struct {
        const char *value;
        int result;
    } cases[] = {{"STOPPED", 0},          {"PAUSED_PLAYBACK", 1},
                 {"PAUSED_RECORDING", 1}, {"NO_MEDIA_PRESENT", 1},
                 {"VENDOR_DEFINED", 1},   {"PLAYING", 2},
                 {"RECORDING", 2},        {"TRANSITIONING", 2},
                 {"playing", -9},         {"", -9},
                 {"STOPPED ", -9}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.value);
        script.answer("GetTransportInfo",
                      cast_script::ok("GetTransportInfo", "AVTransport:1",
                                      std::string("<CurrentTransportStatus>OK</CurrentTransportStatus>"
                                                  "<CurrentTransportState>") +
                                          c.value +
                                          "</CurrentTransportState><CurrentSpeed>1</CurrentSpeed>"));
        EXPECT_EQ(kvdmc_cast_state(R1), c.result);
        if (c.result == -9) {
            EXPECT_EQ(kvdmc_last_error(),
                      std::string("cast_state: unknown TransportState '") + c.value + "'");
            EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
        }
        // By name, every state is handed out as the renderer wrote it.
        char name[32] = "x";
        EXPECT_EQ(cast_transport_state(R1, name, sizeof name), 0);
        EXPECT_STREQ(name, c.value);
    }
    char cut[5] = "x";
    EXPECT_EQ(cast_transport_state(R1, cut, sizeof cut), 0);
    EXPECT_STREQ(cut, "STOP");
    EXPECT_EQ(cast_transport_state("uuid:nobody", cut, sizeof cut), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(cut, "");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UNKNOWN);
}

TEST_F(Cast, PositionTimeConversion) {
    struct {
        const char *rel, *dur;
        int result, pos, dur_s;
        const char *msg;
    } cases[] = {
        {"0:01:30", "1:00:00", 0, 90, 3600, nullptr},
        {"00:00:05.250", "01:02:03.9", 0, 5, 3723, nullptr}, // fractions ignored
        {"2:05", "42", 0, 125, 42, nullptr},
        {"", "0:00:10", 0, 0, 10, nullptr},
        // A radio stream: UPnP's value for a time the renderer does not know reads as 0.
        {"0:00:04", "NOT_IMPLEMENTED", 0, 4, 0, nullptr},
        {"NOT_IMPLEMENTED", "0:00:10", 0, 0, 10, nullptr},
        {"not_implemented", "Not_Implemented", 0, 0, 0, nullptr},
        {"\n  NOT_IMPLEMENTED\n", "", 0, 0, 0, nullptr},
        {"NOT_IMPLEMENTEDX", "0:00:10", -9, 0, 0, "cast_position: bad RelTime 'NOT_IMPLEMENTEDX'"},
        {"0:00:04", "-0:00:10", -9, 4, 0, "cast_position: bad TrackDuration '-0:00:10'"}, // signed: malformed
        {" 7", "0:00:10", -9, 0, 0, "cast_position: bad RelTime ' 7'"},
        // Values no 32-bit count of seconds can hold are refused, not wrapped.
        {"0:00:01", "999999:00:00", -9, 1, 0, "cast_position: bad TrackDuration '999999:00:00'"},
        {"99999999999999999999", "0:0:1", -9, 0, 0, "cast_position: bad RelTime '99999999999999999999'"},
        {"596523:14:07", "0:0:1", 0, 2147483647, 1, nullptr},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string(c.rel) + " / " + c.dur);
        script.answer("GetPositionInfo",
                      cast_script::ok("GetPositionInfo", "AVTransport:1",
                                      std::string("<Track>1</Track><TrackDuration>") + c.dur +
                                          "</TrackDuration><TrackURI>u</TrackURI><RelTime>" + c.rel +
                                          "</RelTime><AbsTime>NOT_IMPLEMENTED</AbsTime>"));
        int pos = -1, dur = -1;
        EXPECT_EQ(kvdmc_cast_position(R1, &pos, &dur), c.result);
        EXPECT_EQ(pos, c.pos);
        EXPECT_EQ(dur, c.dur_s);
        if (c.msg) {
            EXPECT_STREQ(kvdmc_last_error(), c.msg);
        }
        EXPECT_EQ(script.take_calls().size(), 1u);
    }
    int pos;
    EXPECT_EQ(kvdmc_cast_position(R1, &pos, nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_position: null out");
}

TEST_F(Cast, VolumeAndMuteValues) {
    struct {
        const char *vol;
        int result;
    } vols[] = {{"37", 37}, {"150", 150}, {"x", 0}, {"", 0}, {"12abc", 12}, {"99999999999", 2147483647},
                {"-7", 0}};
    for (auto &v : vols) {
        script.answer("GetVolume",
                      cast_script::ok("GetVolume", "RenderingControl:1",
                                      std::string("<CurrentVolume>") + v.vol + "</CurrentVolume>"));
        EXPECT_EQ(kvdmc_cast_volume(R1, -1), v.result) << v.vol;
    }
    struct {
        const char *mute;
        int result;
    } mutes[] = {{"1", 1},    {"true", 1}, {"True", 1},  {"TRUE", 1},  {"yes", 1}, {"Yes", 1},
                 {" 1\n", 1}, {"0", 0},    {"false", 0}, {"False", 0}, {"no", 0},  {"NO", 0},
                 {"", 0},     {"2", 0},    {"on", 0},    {"truely", 0}};
    for (auto &m : mutes) {
        script.answer("GetMute", cast_script::ok("GetMute", "RenderingControl:1",
                                                 std::string("<CurrentMute>") + m.mute + "</CurrentMute>"));
        EXPECT_EQ(kvdmc_cast_mute(R1, -1), m.result) << m.mute;
    }
}

TEST_F(Cast, VersionTwoOnlyWhenVersionOneIsMissing) {
    kvdmc_cast_allow(R1);
    kvdmc_cast_allow(R2);
    kvdmc_cast_allow(R0);

    // A renderer with only version 2 services is driven through them.
    EXPECT_EQ(kvdmc_cast_play(R2), 0) << kvdmc_last_error();
    auto c = only_call();
    EXPECT_EQ(c.url, R2_AVT);
    EXPECT_EQ(c.service, "AVTransport:2");
    EXPECT_EQ(kvdmc_cast_volume(R2, 10), 0);
    c = only_call();
    EXPECT_EQ(c.url, R2_RC);
    EXPECT_EQ(c.service, "RenderingControl:2");
    script.answer("GetProtocolInfo",
                  cast_script::ok("GetProtocolInfo", "ConnectionManager:2", "<Sink>x:y:z:*</Sink>"));
    EXPECT_EQ(kvdmc_sink_check(R2, "x:y:z"), 1);
    c = only_call();
    EXPECT_EQ(c.url, R2_CM);
    EXPECT_EQ(c.service, "ConnectionManager:2");
    script.answer("GetPositionInfo",
                  cast_script::ok("GetPositionInfo", "AVTransport:2",
                                  "<RelTime>0:00:03</RelTime><TrackDuration>0:01:00</TrackDuration>"));
    int pos, dur;
    EXPECT_EQ(kvdmc_cast_position(R2, &pos, &dur), 0);
    EXPECT_EQ(only_call().url, R2_AVT);
    EXPECT_EQ(pos * 1000 + dur, 3060);

    // A version 1 fault is what the host gets; version 2 is not tried.
    script.answer(R1_AVT + " Play", cast_script::fault(200, "704", "Playing failed"));
    EXPECT_EQ(kvdmc_cast_play(R1), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "UPnP error 704: Playing failed");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_UPNP);
    EXPECT_EQ(only_call().url, R1_AVT);

    script.answer(R1_RC + " SetMute", cast_script::broken("connection refused"));
    EXPECT_EQ(kvdmc_cast_mute(R1, 1), KVDMC_E_NET);
    EXPECT_STREQ(kvdmc_last_error(), "transport: connection refused");
    EXPECT_EQ(only_call().url, R1_RC);

    cast_script::reply not_found;
    not_found.code = 404;
    not_found.body = "<html>no such page</html>";
    script.answer(R1_CM + " GetProtocolInfo", not_found);
    EXPECT_EQ(kvdmc_sink_check(R1, "a"), KVDMC_E_NET);
    EXPECT_EQ(kvdmc_last_error(), "HTTP 404 from " + R1_CM);
    EXPECT_EQ(only_call().url, R1_CM);

    // A renderer without any service reports the missing version 1 service.
    EXPECT_EQ(kvdmc_cast_stop(R0), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "device has no AVTransport:1 service");
    EXPECT_LT(kvdmc_last_code(), 0);
    EXPECT_LT(kvdmc_cast_volume(R0, -1), 0);
    EXPECT_STREQ(kvdmc_last_error(), "device has no RenderingControl:2 service");
    EXPECT_EQ(script.ncalls(), 0u);
}

TEST_F(Cast, FailuresOfTheSoapCall) {
    kvdmc_cast_allow(R1);
    script.answer("Seek", cast_script::fault(200, "710", "Seek mode not supported"));
    EXPECT_EQ(kvdmc_cast_seek(R1, 10), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "UPnP error 710: Seek mode not supported");

    script.answer("Stop", cast_script::fault(403, "x", "y"));
    EXPECT_EQ(kvdmc_cast_stop(R1), KVDMC_E_AUTH);

    cast_script::reply no_response;
    no_response.body = "<s:Envelope><s:Body><u:Other/></s:Body></s:Envelope>";
    script.answer("GetTransportInfo", no_response);
    EXPECT_EQ(kvdmc_cast_state(R1), KVDMC_E_PARSE);
    EXPECT_STREQ(kvdmc_last_error(), "SOAP GetTransportInfo: no GetTransportInfoResponse in the response");

    script.answer("GetVolume", cast_script::broken(""));
    EXPECT_EQ(kvdmc_cast_volume(R1, -1), KVDMC_E_NET);
    EXPECT_STREQ(kvdmc_last_error(), "transport: failed");

    // A record without POST counts as no transport (none at all would fall
    // back to the built-in HTTP transport).
    quorlin_io no_post{nullptr, nullptr, nullptr, nullptr};
    kvdmc_set_io(&no_post);
    EXPECT_LT(kvdmc_cast_play(R1), 0);
    EXPECT_STREQ(kvdmc_last_error(), "no quorlin_io backend");
}

TEST_F(Cast, SinkCheckMatching) {
    const std::string sink = "http-get:*:video/mp4:*,http-get:*:audio/mpeg:DLNA.ORG_PN=MP3,"
                             "http-get:*:audio/L16;rate=44100;channels=2:*,rtsp-rtp-udp:*:video/h264:*,";
    script.answer("GetProtocolInfo", cast_script::ok("GetProtocolInfo", "ConnectionManager:1",
                                                     "<Source></Source><Sink>" + sink + "</Sink>"));
    struct {
        const char *mime;
        int result;
    } cases[] = {{"http-get:*:video/mp4", 1},
                 {"http-get:*:video/mp", 0},
                 {"http-get:*:audio/L16", 1},
                 {"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3", 1},
                 {"video/mp4", 0},
                 {"http-get:*:VIDEO/MP4", 0},
                 {"rtsp-rtp-udp:*:video/h264", 1},
                 {"http-get:*:video/mp4:*,http", 0}};
    for (auto &c : cases) EXPECT_EQ(kvdmc_sink_check(R1, c.mime), c.result) << c.mime;

    EXPECT_EQ(kvdmc_sink_check(R1, nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "sink_check: null mime");
    EXPECT_EQ(kvdmc_sink_check(R1, ""), KVDMC_E_ARG);
    EXPECT_EQ(kvdmc_sink_check("uuid:nowhere", "a"), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "unknown device uuid:nowhere");

    script.answer("GetProtocolInfo",
                  cast_script::ok("GetProtocolInfo", "ConnectionManager:1", "<Sink></Sink>"));
    EXPECT_EQ(kvdmc_sink_check(R1, "http-get:*:video/mp4"), 0);

    // A list far beyond 16 KB is read whole: a format at its end is found, and
    // an entry cut at some buffer boundary cannot match by accident.
    std::string big;
    for (int i = 0; i < 600; i++) big += "http-get:*:audio/x-test-" + std::to_string(i) + ":*,";
    big += "http-get:*:video/x-last:*";
    script.answer("GetProtocolInfo",
                  cast_script::ok("GetProtocolInfo", "ConnectionManager:1", "<Sink>" + big + "</Sink>"));
    EXPECT_EQ(kvdmc_sink_check(R1, "http-get:*:video/x-last"), 1);
    EXPECT_EQ(kvdmc_sink_check(R1, "http-get:*:video/x-la"), 0);
}

} // namespace

// What reaches the renderer is valid text whatever the host passes: URL bytes beyond
// ASCII, spaces and control bytes percent-encoded, titles that are not UTF-8 as U+FFFD.
TEST_F(Cast, UrlsAndTitlesAreValidText) {
    kvdmc_cast_allow(R1);
    struct {
        const char *url, *sent, *title, *title_read;
    } rows[] = {
        {"http://h/caf\xE9 1.mp3", "http://h/caf%E9%201.mp3", "Caf\xE9", "Caf\xEF\xBF\xBD"},
        {" http://h/a\tb\x7F\n", "http://h/a%09b%7F", "ok \xC3\xA9", "ok \xC3\xA9"},
        {"http://h/\xC3\xA9t\xC3\xA9.mp4", "http://h/%C3%A9t%C3%A9.mp4", "\xED\xA0\x80x",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDx"},
        {"http://h/100%25.mp3?q=a+b", "http://h/100%25.mp3?q=a+b", "", ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.sent);
        ASSERT_EQ(kvdmc_cast_set_uri(R1, row.url, "audio/mpeg", row.title), 0) << kvdmc_last_error();
        auto c = only_call();
        EXPECT_NE(c.args.find(std::string("<CurrentURI>") + row.sent + "</CurrentURI>"), std::string::npos)
            << c.args;
        std::string meta = c.args.substr(c.args.find("<CurrentURIMetaData>") + 20);
        meta = docs::xml_unescape(meta.substr(0, meta.find("</CurrentURIMetaData>")));
        ASSERT_EQ(kvdmc_parse_didl(meta.c_str()), 0) << kvdmc_last_error();
        EXPECT_STREQ(kvdmc_best_res_url(0), row.sent);
        // The title as read back; an empty title sends no title element.
        std::string item = kvdmc_item_json(0);
        EXPECT_NE(item.find(std::string("\"title\":\"") + row.title_read + "\""), std::string::npos) << item;
        EXPECT_EQ(meta.find("dc:title") != std::string::npos, row.title_read[0] != 0);
    }
    // A URL of nothing but spaces is no URL.
    EXPECT_EQ(kvdmc_cast_set_uri(R1, " \n", nullptr, nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_set_uri: null url");
    EXPECT_EQ(script.ncalls(), 0u);
}

// ---------------------------------------------------------------- metadata that describes the media

namespace {

const char *const TRACK_URL = "http://192.0.2.5:8200/MediaItems/22.mp3";
const char *const CLIP_URL = "http://192.0.2.5:8200/MediaItems/23.mkv";
const char *const PHOTO_URL = "http://192.0.2.5:8200/MediaItems/24.jpg";
const char *const TRACK_PI =
    "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_FLAGS=01700000000000000000000000000000";
const char *const CLIP_PI = "http-get:*:video/x-matroska:DLNA.ORG_OP=01;DLNA.ORG_CI=0";
// What a res without DLNA parameters carries to the renderer.
#define DLNA_PARAMS "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000"

// A browse result the host has read: a track, a clip and a photo of a server.
std::string library() {
    return docs::didl(
        "<item id=\"64$3$1\" parentID=\"64$3\" restricted=\"1\"><dc:title>Song &amp; Dance</dc:title>"
        "<upnp:class>object.item.audioItem.musicTrack</upnp:class>" +
        docs::res(TRACK_PI, TRACK_URL, " size=\"4000123\" duration=\"0:03:25.000\"") +
        "</item><item id=\"2$8\" parentID=\"2\" restricted=\"1\"><dc:title>Clip</dc:title>"
        "<upnp:class>object.item.videoItem.movie</upnp:class>" +
        docs::res(CLIP_PI, CLIP_URL, " size=\"734003200\" duration=\"1:30:00\" resolution=\"1920x1080\"") +
        "</item><item id=\"3$1\" parentID=\"3\" restricted=\"1\"><dc:title>Beach</dc:title>"
        "<upnp:class>object.item.imageItem.photo</upnp:class>" +
        docs::res("http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG", PHOTO_URL, " resolution=\"4000x3000\"") +
        "</item>");
}

std::string didl_doc(const std::string &id, const std::string &parent, const std::string &inner) {
    return "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\"><item id=\"" +
           id + "\" parentID=\"" + parent + "\" restricted=\"1\">" + inner + "</item></DIDL-Lite>";
}

// The metadata of the last SetAVTransportURI as the renderer reads it after its one decode.
std::string sent_metadata(const cast_script::call &c) {
    size_t a = c.args.find("<CurrentURIMetaData>") + 20;
    std::string esc = c.args.substr(a, c.args.find("</CurrentURIMetaData>") - a);
    EXPECT_EQ(esc.find('<'), std::string::npos) << "escaped once more as the argument";
    return docs::xml_unescape(esc);
}

} // namespace

TEST_F(Cast, MetadataDescribesTheMediaInEachMode) {
    kvdmc_cast_allow(R1);
    struct {
        const char *mode, *url, *mime, *title;
        std::string want; // the document the renderer reads
    } rows[] = {
        {"item", TRACK_URL, "video/mp4", "",
         didl_doc("64$3$1", "64$3",
                  "<dc:title>Song &amp; Dance</dc:title><upnp:class>object.item.audioItem.musicTrack"
                  "</upnp:class><res protocolInfo=\"" +
                      std::string(TRACK_PI) + "\" size=\"4000123\" duration=\"0:03:25.000\">" + TRACK_URL +
                      "</res>")},
        {"item", TRACK_URL, nullptr, "Host <title>",
         didl_doc("64$3$1", "64$3",
                  "<dc:title>Host &lt;title&gt;</dc:title><upnp:class>object.item.audioItem.musicTrack"
                  "</upnp:class><res protocolInfo=\"" +
                      std::string(TRACK_PI) + "\" size=\"4000123\" duration=\"0:03:25.000\">" + TRACK_URL +
                      "</res>")},
        {"item", CLIP_URL, nullptr, nullptr,
         didl_doc("2$8", "2",
                  "<dc:title>Clip</dc:title><upnp:class>object.item.videoItem.movie</upnp:class><res "
                  "protocolInfo=\"" +
                      std::string(CLIP_PI) +
                      "\" size=\"734003200\" duration=\"1:30:00\" resolution=\"1920x1080\">" + CLIP_URL +
                      "</res>")},
        {"item", PHOTO_URL, "image/jpeg", nullptr,
         didl_doc("3$1", "3",
                  "<dc:title>Beach</dc:title><upnp:class>object.item.imageItem.photo</upnp:class><res "
                  "protocolInfo=\"http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_LRG\" resolution=\"4000x3000\">" +
                      std::string(PHOTO_URL) + "</res>")},
        // Not an item of the table: the class follows the MIME type, no DLNA profile.
        {"item", "http://h/a.flac", "audio/flac", "A",
         didl_doc("", "",
                  "<dc:title>A</dc:title><upnp:class>object.item.audioItem.musicTrack</upnp:class><res "
                  "protocolInfo=\"http-get:*:audio/flac:" DLNA_PARAMS "\">http://h/a.flac</res>")},
        {"item", "http://h/p.png", "image/png", nullptr,
         didl_doc("", "",
                  "<upnp:class>object.item.imageItem.photo</upnp:class><res "
                  "protocolInfo=\"http-get:*:image/png:" DLNA_PARAMS "\">http://h/p.png</res>")},
        {"item", "http://h/v?a=1&b=2", nullptr, nullptr,
         didl_doc("", "",
                  "<upnp:class>object.item.videoItem</upnp:class><res "
                  "protocolInfo=\"http-get:*:video/mp4:" DLNA_PARAMS "\">http://h/v?a=1&amp;b=2</res>")},
        // The fixed document, item or not.
        {"minimal", TRACK_URL, "audio/mpeg", nullptr,
         didl_doc("", "",
                  "<res protocolInfo=\"http-get:*:audio/mpeg:*\">" + std::string(TRACK_URL) +
                      "</res><upnp:class>object.item.videoItem</upnp:class>")},
        {"none", TRACK_URL, "audio/mpeg", "T", ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(r.mode) + " " + r.url);
        ASSERT_EQ(kvdmc_config("cast_metadata", r.mode), 0);
        ASSERT_EQ(kvdmc_parse_didl(library().c_str()), 0) << kvdmc_last_error();
        ASSERT_EQ(kvdmc_cast_set_uri(R1, r.url, r.mime, r.title), 0) << kvdmc_last_error();
        std::string meta = sent_metadata(only_call());
        EXPECT_EQ(meta, r.want);
        if (!meta.empty()) { // well-formed, and the URL reads back
            ASSERT_EQ(kvdmc_parse_didl(meta.c_str()), 0) << kvdmc_last_error();
            EXPECT_STREQ(kvdmc_best_res_url(0), r.url);
        }
    }
    // A protocolInfo longer than the item table keeps is not sent cut inside its flags.
    std::string long_pi = "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_FLAGS=" + std::string(300, '1');
    ASSERT_EQ(kvdmc_config("cast_metadata", "item"), 0);
    ASSERT_EQ(kvdmc_parse_didl(docs::didl("<item id=\"9\" parentID=\"0\"><dc:title>L</dc:title>" +
                                          docs::res(long_pi.c_str(), "http://h/l.mp3") + "</item>")
                                   .c_str()),
              0);
    ASSERT_EQ(kvdmc_cast_set_uri(R1, "http://h/l.mp3", nullptr, nullptr), 0) << kvdmc_last_error();
    EXPECT_NE(sent_metadata(only_call()).find("protocolInfo=\"http-get:*:audio/mpeg:" DLNA_PARAMS "\""),
              std::string::npos);
    for (const char *bad : {"full", "Item", "", " none"}) {
        EXPECT_EQ(kvdmc_config("cast_metadata", bad), KVDMC_E_CONFIG) << bad;
        EXPECT_STREQ(kvdmc_last_error(), "cast_metadata must be item, minimal or none");
    }
    ASSERT_EQ(kvdmc_config("cast_metadata", nullptr), 0); // back to item
    ASSERT_EQ(kvdmc_cast_set_uri(R1, "http://h/s.mp3", "audio/mpeg", nullptr), 0);
    EXPECT_NE(sent_metadata(only_call()).find("audioItem.musicTrack"), std::string::npos);
}

// ---------------------------------------------------------------- format aliases

TEST_F(Cast, SinkAliasesAndTheNamesRenderersList) {
    // A TV that names its formats its own way.
    const std::string sink = "http-get:*:video/x-mkv:*,http-get:*:audio/mp3:*,http-get:*:audio/x-flac:*,"
                             "http-get:*:audio/wave:*,http-get:*:audio/x-m4a:*,http-get:*:video/avi:*,"
                             "http-get:*:image/jpg:*,http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_MP_HD_720p_AAC";
    script.answer("GetProtocolInfo", cast_script::ok("GetProtocolInfo", "ConnectionManager:1",
                                                     "<Source></Source><Sink>" + sink + "</Sink>"));
    struct {
        const char *mime;
        int result;
    } rows[] = {
        {"http-get:*:video/x-matroska", 1},
        {"http-get:*:video/mkv", 1},
        {"http-get:*:video/x-mkv", 1},
        {"http-get:*:audio/mpeg", 1},
        {"http-get:*:audio/x-mpeg", 1},
        {"http-get:*:audio/mpeg3", 1},
        {"http-get:*:audio/flac", 1},
        {"http-get:*:audio/wav", 1},
        {"http-get:*:audio/vnd.wave", 1},
        {"http-get:*:audio/mp4", 1},
        {"http-get:*:audio/m4a", 1},
        {"http-get:*:video/x-msvideo", 1},
        {"http-get:*:video/msvideo", 1},
        {"http-get:*:image/jpeg", 1},
        {"http-get:*:video/mp4", 1},
        {"http-get:*:audio/mpeg:*", 1},
        {"http-get:*:audio/ogg", 0},
        {"http-get:*:image/png", 0},
        {"http-get:*:video/x-matrosk", 0},
        {"rtsp-rtp-udp:*:audio/mpeg", 0},
        {"audio/mpeg", 0},
        {"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3", 0}, // the additional info must match too
    };
    for (const auto &r : rows) EXPECT_EQ(kvdmc_sink_check(R1, r.mime), r.result) << r.mime;
    script.take_calls();

    // Casting after the check names formats as this renderer lists them.
    kvdmc_cast_allow(R1);
    ASSERT_EQ(kvdmc_parse_didl(library().c_str()), 0);
    struct {
        const char *url, *mime, *pi;
    } casts[] = {
        {"http://h/s.mp3", "audio/mpeg", "http-get:*:audio/mp3:" DLNA_PARAMS},
        {CLIP_URL, nullptr, "http-get:*:video/x-mkv:DLNA.ORG_OP=01;DLNA.ORG_CI=0"},
        {"http://h/v.mp4", "video/mp4", "http-get:*:video/mp4:" DLNA_PARAMS}, // listed as it is
        {"http://h/o.ogg", "audio/ogg", "http-get:*:audio/ogg:" DLNA_PARAMS}, // listed under no name
        {PHOTO_URL, nullptr, "http-get:*:image/jpg:DLNA.ORG_PN=JPEG_LRG"},
    };
    for (const auto &c : casts) {
        ASSERT_EQ(kvdmc_cast_set_uri(R1, c.url, c.mime, nullptr), 0);
        std::string meta = sent_metadata(only_call());
        EXPECT_NE(meta.find(std::string("protocolInfo=\"") + c.pi + "\""), std::string::npos) << meta;
    }
    // Another renderer, never checked, gets the names the server or the host gave.
    kvdmc_cast_allow(R2);
    ASSERT_EQ(kvdmc_cast_set_uri(R2, "http://h/s.mp3", "audio/mpeg", nullptr), 0);
    EXPECT_NE(sent_metadata(only_call()).find("protocolInfo=\"http-get:*:audio/mpeg:" DLNA_PARAMS "\""),
              std::string::npos);
}

TEST_F(Cast, EachSinkListReplacesTheFormatNamesOfTheLast) {
    std::string huge = "http-get:*:audio/mpeg:*";
    while (huge.size() <= 65536) huge += ",http-get:*:video/x-pad" + std::to_string(huge.size()) + ":*";
    struct {
        std::string sink;
        const char *pi; // what a cast of an MP3 then names it, before the DLNA parameters
    } lists[] = {
        {"http-get:*:audio/mp3:*", "http-get:*:audio/mp3:"},
        {huge, "http-get:*:audio/mpeg:"}, // too long to remember: no name from the list before
        {"http-get:*:audio/x-mpeg:*", "http-get:*:audio/x-mpeg:"},
    };
    kvdmc_cast_allow(R1);
    for (const auto &l : lists) {
        SCOPED_TRACE(l.sink.substr(0, 40));
        script.answer("GetProtocolInfo", cast_script::ok("GetProtocolInfo", "ConnectionManager:1",
                                                         "<Source></Source><Sink>" + l.sink + "</Sink>"));
        ASSERT_EQ(kvdmc_sink_check(R1, "http-get:*:audio/mpeg"), 1) << kvdmc_last_error();
        script.take_calls();
        ASSERT_EQ(kvdmc_cast_set_uri(R1, "http://h/s.mp3", "audio/mpeg", nullptr), 0);
        std::string meta = sent_metadata(only_call());
        EXPECT_NE(meta.find(std::string("protocolInfo=\"") + l.pi + DLNA_PARAMS "\""), std::string::npos)
            << meta;
    }
}

// ---------------------------------------------------------------- busy renderers

TEST_F(Cast, BusyRenderersAreRetriedOnce) {
    kvdmc_cast_allow(R1);
    using r = cast_script;
    auto state = [](const char *s) {
        return r::ok("GetTransportInfo", "AVTransport:1",
                     std::string("<CurrentTransportState>") + s + "</CurrentTransportState>");
    };
    const r::reply locked = r::fault(500, "705", "Transport is locked");
    const r::reply no_transition = r::fault(500, "701", "Transition not available");
    struct {
        const char *what;
        const char *op; // "uri" or an action
        int retry;
        std::vector<std::pair<std::string, std::vector<r::reply>>> once;
        std::vector<std::string> calls;
        int rc;
        const char *err;
    } rows[] = {
        {"locked, stopped, taken",
         "uri",
         1,
         {{"SetAVTransportURI", {locked}}},
         {"SetAVTransportURI", "Stop", "SetAVTransportURI"},
         0,
         nullptr},
        {"busy, Stop has nothing to stop, taken",
         "uri",
         1,
         {{"SetAVTransportURI", {no_transition}}, {"Stop", {no_transition}}},
         {"SetAVTransportURI", "Stop", "SetAVTransportURI"},
         0,
         nullptr},
        {"still locked: the second answer stands",
         "uri",
         1,
         {{"SetAVTransportURI", {locked, locked}}},
         {"SetAVTransportURI", "Stop", "SetAVTransportURI"},
         KVDMC_E_UPNP,
         "UPnP error 705: Transport is locked"},
        {"another fault is not retried",
         "uri",
         1,
         {{"SetAVTransportURI", {r::fault(500, "718", "Invalid InstanceID")}}},
         {"SetAVTransportURI"},
         KVDMC_E_UPNP,
         "UPnP error 718: Invalid InstanceID"},
        {"retries off",
         "uri",
         0,
         {{"SetAVTransportURI", {locked}}},
         {"SetAVTransportURI"},
         KVDMC_E_UPNP,
         "UPnP error 705: Transport is locked"},
        {"Play while transitioning",
         "Play",
         1,
         {{"Play", {no_transition}},
          {"GetTransportInfo", {state("TRANSITIONING"), state("TRANSITIONING"), state("STOPPED")}}},
         {"Play", "GetTransportInfo", "GetTransportInfo", "GetTransportInfo", "Play"},
         0,
         nullptr},
        {"Play refused while stopped: the first fault stands",
         "Play",
         1,
         {{"Play", {no_transition}}, {"GetTransportInfo", {state("STOPPED")}}},
         {"Play", "GetTransportInfo"},
         KVDMC_E_UPNP,
         "UPnP error 701: Transition not available"},
        {"state unreadable: the first fault stands",
         "Play",
         1,
         {{"Play", {no_transition}}, {"GetTransportInfo", {r::fault(500, "501", "Action Failed")}}},
         {"Play", "GetTransportInfo"},
         KVDMC_E_UPNP,
         "UPnP error 701: Transition not available"},
        {"Play locked is not retried",
         "Play",
         1,
         {{"Play", {locked}}},
         {"Play"},
         KVDMC_E_UPNP,
         "UPnP error 705: Transport is locked"},
        {"Pause is not retried",
         "Pause",
         1,
         {{"Pause", {no_transition}}},
         {"Pause"},
         KVDMC_E_UPNP,
         "UPnP error 701: Transition not available"},
        {"Play retries off",
         "Play",
         0,
         {{"Play", {no_transition}}},
         {"Play"},
         KVDMC_E_UPNP,
         "UPnP error 701: Transition not available"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(kvdmc_config("cast_retry", row.retry ? "1" : "0"), 0);
        script.once.clear();
        for (const auto &o : row.once) script.answer_once(o.first, o.second);
        script.answer("GetTransportInfo", state("PLAYING"));
        int rc = !strcmp(row.op, "uri")    ? kvdmc_cast_set_uri(R1, TRACK_URL, "audio/mpeg", nullptr)
                 : !strcmp(row.op, "Play") ? kvdmc_cast_play(R1)
                                           : kvdmc_cast_pause(R1);
        EXPECT_EQ(rc, row.rc);
        std::vector<std::string> actions;
        for (const auto &c : script.take_calls()) actions.push_back(c.action);
        EXPECT_EQ(actions, row.calls);
        if (row.err) {
            EXPECT_STREQ(kvdmc_last_error(), row.err);
            EXPECT_EQ(kvdmc_last_code(), row.rc);
        }
    }
    // A renderer that never leaves TRANSITIONING is polled for a bounded time, then
    // asked once more.
    ASSERT_EQ(kvdmc_config("cast_retry", "1"), 0);
    script.once.clear();
    script.answer_once("Play", {no_transition});
    script.answer("GetTransportInfo", state("TRANSITIONING"));
    EXPECT_EQ(kvdmc_cast_play(R1), 0);
    auto calls = script.take_calls();
    EXPECT_EQ(calls.back().action, "Play");
    EXPECT_GE(calls.size(), 4u);
    EXPECT_LE(calls.size(), 2u + 21u);
    ASSERT_EQ(kvdmc_config("cast_retry", nullptr), 0);
}

// ---------------------------------------------------------------- renderers inside other devices

// A speaker's renderer is an embedded device with its own transport; over IPv6 the
// control URLs keep the literal host whole.
TEST_F(Cast, SpeakersEmbeddedRendererIsDriven) {
    kvdmc_use_fake();
    const char *loc = "http://[fe80::20e:58ff:fea0:b1c2%25eth0]:1400/xml/device_description.xml";
    ASSERT_EQ(kvdmc_fake_set(loc, 200, docs::speaker_description("RINCON_1").c_str()), 0);
    ASSERT_EQ(kvdmc_fake_ssdp(docs::alive("uuid:RINCON_1::upnp:rootdevice", loc).c_str(), "192.0.2.9"), 0)
        << kvdmc_last_error();
    quorlin_io io = script.io();
    kvdmc_set_io(&io);
    kvdmc_cast_allow("uuid:RINCON_1_MR");
    script.answer("GetVolume",
                  cast_script::ok("GetVolume", "RenderingControl:1", "<CurrentVolume>12</CurrentVolume>"));
    EXPECT_EQ(kvdmc_cast_volume("uuid:RINCON_1_MR", -1), 12);
    EXPECT_EQ(only_call().url,
              "http://[fe80::20e:58ff:fea0:b1c2%25eth0]:1400/MediaRenderer/RenderingControl/Control");
    ASSERT_EQ(kvdmc_cast_play("uuid:RINCON_1_MR"), 0) << kvdmc_last_error();
    cast_script::call c = only_call();
    EXPECT_EQ(c.url, "http://[fe80::20e:58ff:fea0:b1c2%25eth0]:1400/MediaRenderer/AVTransport/Control");
    EXPECT_EQ(c.service, "AVTransport:1");
    // The speaker's server is a device of its own, and no renderer.
    EXPECT_EQ(kvdmc_cast_play("uuid:RINCON_1_MS"), KVDMC_E_REFUSED);
}
