// Casting through the public API against a scripted renderer transport.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kvdmc.h"
#include "tests/cast_script.h"
#include "tests/docs.h"
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

    int code_before = kvdmc_last_code();
    EXPECT_EQ(kvdmc_cast_allow(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_allow: null udn");
    EXPECT_EQ(kvdmc_cast_allow("::urn:x"), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "cast_allow: empty udn");
    EXPECT_EQ(kvdmc_last_code(), code_before); // the list never writes the last code

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

TEST_F(Cast, SetUriMetadataAndEscaping) {
    kvdmc_cast_allow(R1);
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
        {"0:00:04", "NOT_IMPLEMENTED", -9, 4, 0, "cast_position: bad TrackDuration 'NOT_IMPLEMENTED'"},
        {"NOT_IMPLEMENTED", "0:00:10", -9, 0, 0, "cast_position: bad RelTime 'NOT_IMPLEMENTED'"},
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
    } mutes[] = {{"1", 1}, {"true", 1}, {"True", 0}, {"0", 0}, {"yes", 0}, {"", 0}};
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
    script.answer(R1_AVT + " Play", cast_script::fault(200, "701", "Transition not available"));
    EXPECT_EQ(kvdmc_cast_play(R1), KVDMC_E_UPNP);
    EXPECT_STREQ(kvdmc_last_error(), "UPnP error 701: Transition not available");
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
