// Casting to renderers as people own them: metadata they refuse, seek units and volume
// scales of their own, a Stop with nothing loaded. Against a scripted renderer whose
// service descriptions the test writes.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kvdmc.h"
#include "tests/helpers/cast_script.h"
#include "tests/helpers/docs.h"

namespace {

const char *const TV = "uuid:tv-quirks";
const std::string HOST = "http://192.0.2.20:80";
const std::string AVT_SCPD = HOST + "/AVTransport.xml";
const std::string RC_SCPD = HOST + "/RenderingControl.xml";
const char *const URL = "http://192.0.2.5:8200/a.mp3";

using r = cast_script;

std::string scpd_var(const std::string &name, const std::string &allowed) {
    return "<stateVariable sendEvents=\"no\"><name>" + name + "</name><dataType>string</dataType>" + allowed +
           "</stateVariable>";
}

std::string scpd(const std::string &vars) {
    return "<?xml version=\"1.0\"?><scpd xmlns=\"urn:schemas-upnp-org:service-1-0\"><specVersion><major>1"
           "</major><minor>0</minor></specVersion><actionList/><serviceStateTable>" +
           vars + "</serviceStateTable></scpd>";
}

std::string seek_modes(const std::vector<std::string> &modes) {
    std::string l = "<allowedValueList>";
    for (const auto &m : modes) l += "<allowedValue>" + m + "</allowedValue>";
    return scpd(scpd_var("TransportState", "<allowedValueList><allowedValue>STOPPED</allowedValue>"
                                           "</allowedValueList>") +
                scpd_var("A_ARG_TYPE_SeekMode", l + "</allowedValueList>"));
}

std::string volume_range(const std::string &lo, const std::string &hi) {
    return scpd(scpd_var("Mute", "") +
                scpd_var("Volume", "<allowedValueRange><minimum>" + lo + "</minimum><maximum>" + hi +
                                       "</maximum><step>1</step></allowedValueRange>"));
}

// The form of CurrentURIMetaData a SetAVTransportURI carried.
std::string form_of(const r::call &c) {
    size_t a = c.args.find("<CurrentURIMetaData>") + 20;
    std::string meta = docs::xml_unescape(c.args.substr(a, c.args.find("</CurrentURIMetaData>") - a));
    if (meta.empty()) return "none";
    return meta.find("<res") < meta.find("<upnp:class>") ? "minimal" : "item";
}

class CastQuirks : public ::testing::Test {
  protected:
    cast_script script;

    void SetUp() override {
        kvdmc_devices_clear();
        kvdmc_cast_clear();
        for (const char *k : {"cast_metadata", "cast_retry", "cast_dlna_flags"}) kvdmc_config(k, nullptr);
        place(HOST + "/desc.xml");
        kvdmc_cast_allow(TV);
        for (const char *a : {"SetAVTransportURI", "Stop", "Seek"})
            script.answer(a, r::ok(a, "AVTransport:1", ""));
        script.answer("SetVolume", r::ok("SetVolume", "RenderingControl:1", ""));
    }
    void TearDown() override {
        kvdmc_use_fake();
        for (const char *k : {"cast_metadata", "cast_retry", "cast_dlna_flags"}) kvdmc_config(k, nullptr);
    }

    // The renderer's row, read from a description at loc (its services' descriptions
    // beside it), with the script as the transport afterwards.
    void place(const std::string &loc, const std::string &avt_scpd = "") {
        kvdmc_use_fake();
        kvdmc_fake_reset();
        docs::device d;
        d.udn = TV;
        d.type = docs::RENDERER_TYPE;
        for (const char *f : {"AVTransport:1", "RenderingControl:1", "ConnectionManager:1"}) {
            docs::service svc = docs::named_service(f);
            if (!avt_scpd.empty() && svc.type == docs::service_type("AVTransport:1")) svc.scpd = avt_scpd;
            d.services += docs::service_xml(svc);
        }
        ASSERT_EQ(kvdmc_fake_set(loc.c_str(), 200, docs::description(d).c_str()), 0);
        ASSERT_EQ(kvdmc_fake_ssdp(docs::announce(TV, docs::RENDERER_TYPE, loc).c_str(), "192.0.2.20"), 0)
            << kvdmc_last_error();
        quorlin_io io = script.io();
        kvdmc_set_io(&io);
    }
    void forget_and_place() {
        kvdmc_forget(TV);
        place(HOST + "/desc.xml");
    }

    std::vector<std::string> actions() {
        std::vector<std::string> v;
        for (const auto &c : script.take_calls())
            v.push_back(c.action == "SetAVTransportURI" ? "Set:" + form_of(c) : c.action);
        return v;
    }
};

} // namespace

// Which form each refusal leads to, what the cast after it sends first, and what the
// first refusal leaves when every form is refused.
TEST_F(CastQuirks, MetadataLadderLearnsPerRenderer) {
    const r::reply mime = r::fault(500, "714", "Illegal MIME-type");
    const r::reply missing = r::fault(500, "716", "Resource not found");
    const r::reply args = r::fault(500, "402", "Invalid Args");
    const r::reply failed = r::fault(500, "501", "Action Failed");
    const r::reply locked = r::fault(500, "705", "Transport is locked");
    struct {
        const char *what, *first_form;
        int retry;
        std::vector<r::reply> refusals;
        std::vector<std::string> sent, next;
        int rc;
        const char *err;
    } rows[] = {
        {"well behaved: one request", "item", 1, {}, {"Set:item"}, {"Set:item"}, 0, nullptr},
        {"714: minimal taken", "item", 1, {mime}, {"Set:item", "Set:minimal"}, {"Set:minimal"}, 0, nullptr},
        {"716 then 402: none taken",
         "item",
         1,
         {missing, args},
         {"Set:item", "Set:minimal", "Set:none"},
         {"Set:none"},
         0,
         nullptr},
        {"501: minimal taken", "item", 1, {failed}, {"Set:item", "Set:minimal"}, {"Set:minimal"}, 0, nullptr},
        {"busy first, then refused",
         "item",
         1,
         {locked, mime},
         {"Set:item", "Stop", "Set:item", "Set:minimal"},
         {"Set:minimal"},
         0,
         nullptr},
        {"every form refused: the first refusal stands",
         "item",
         1,
         {mime, failed, args},
         {"Set:item", "Set:minimal", "Set:none"},
         {"Set:item"},
         KVDMC_E_UPNP,
         "UPnP error 714: Illegal MIME-type"},
        {"configured minimal starts there",
         "minimal",
         1,
         {mime},
         {"Set:minimal", "Set:none"},
         {"Set:none"},
         0,
         nullptr},
        {"configured none has nowhere to go",
         "none",
         1,
         {mime},
         {"Set:none"},
         {"Set:none"},
         KVDMC_E_UPNP,
         "UPnP error 714: Illegal MIME-type"},
        {"retries off: no ladder",
         "item",
         0,
         {mime},
         {"Set:item"},
         {"Set:item"},
         KVDMC_E_UPNP,
         "UPnP error 714: Illegal MIME-type"},
        {"another fault is no metadata refusal",
         "item",
         1,
         {r::fault(500, "718", "Invalid InstanceID")},
         {"Set:item"},
         {"Set:item"},
         KVDMC_E_UPNP,
         "UPnP error 718: Invalid InstanceID"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        forget_and_place();
        kvdmc_config("cast_metadata", row.first_form);
        kvdmc_config("cast_retry", row.retry ? "1" : "0");
        script.once.clear();
        script.answer_once("SetAVTransportURI", row.refusals);
        EXPECT_EQ(kvdmc_cast_set_uri(TV, URL, "audio/mpeg", "A"), row.rc);
        EXPECT_EQ(actions(), row.sent);
        if (row.err) {
            EXPECT_STREQ(kvdmc_last_error(), row.err);
            EXPECT_EQ(kvdmc_last_code(), row.rc);
        } else {
            EXPECT_EQ(kvdmc_last_code(), 0);
        }
        script.once.clear();
        EXPECT_EQ(kvdmc_cast_set_uri(TV, URL, "audio/mpeg", "A"), 0);
        EXPECT_EQ(actions(), row.next);
    }

    // What was learned goes with the row: forgetting the device, or its description read
    // again at a new LOCATION, starts from the configured form; another renderer never had it.
    kvdmc_config("cast_metadata", nullptr);
    kvdmc_config("cast_retry", nullptr);
    for (int how = 0; how < 2; how++) {
        SCOPED_TRACE(how ? "new LOCATION" : "forgotten");
        forget_and_place();
        script.answer_once("SetAVTransportURI", {mime});
        ASSERT_EQ(kvdmc_cast_set_uri(TV, URL, "audio/mpeg", nullptr), 0);
        script.take_calls();
        if (how)
            place(HOST + "/moved/desc.xml");
        else
            forget_and_place();
        kvdmc_cast_allow(TV);
        ASSERT_EQ(kvdmc_cast_set_uri(TV, URL, "audio/mpeg", nullptr), 0) << kvdmc_last_error();
        EXPECT_EQ(actions(), std::vector<std::string>{"Set:item"});
    }
}

// The res of the item form: the server's own DLNA parameters stay, one without any gets
// the streaming ones, never a profile; the minimal form stays plain; the key turns it off.
TEST_F(CastQuirks, DlnaParametersOnlyWhereTheServerGaveNone) {
    const std::string params = "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    const std::string own = "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=10";
    ASSERT_EQ(
        kvdmc_parse_didl(docs::didl("<item id=\"1\" parentID=\"0\"><dc:title>S</dc:title>" +
                                    docs::res(own.c_str(), "http://192.0.2.5:8200/own.mp3") +
                                    "</item><item id=\"2\" parentID=\"0\"><dc:title>B</dc:title>" +
                                    docs::res("http-get:*:audio/mpeg:*", "http://192.0.2.5:8200/bare.mp3") +
                                    "</item><item id=\"3\" parentID=\"0\"><dc:title>V</dc:title>" +
                                    docs::res("http-get:*:video/mp4:foo=1", "http://192.0.2.5:8200/v.mp4") +
                                    "</item>")
                             .c_str()),
        0)
        << kvdmc_last_error();
    struct {
        const char *mode, *flags, *url, *mime, *pi;
    } rows[] = {
        {"item", "1", "http://192.0.2.5:8200/own.mp3", nullptr, nullptr},
        {"item", "1", "http://192.0.2.5:8200/bare.mp3", nullptr, "http-get:*:audio/mpeg:"},
        {"item", "1", "http://192.0.2.5:8200/v.mp4", nullptr, "http-get:*:video/mp4:foo=1;"},
        {"item", "1", "http://h/x.flac", "audio/flac", "http-get:*:audio/flac:"},
        {"item", "0", "http://192.0.2.5:8200/bare.mp3", nullptr, "http-get:*:audio/mpeg:*"},
        {"item", "0", "http://h/x.flac", "audio/flac", "http-get:*:audio/flac:*"},
        {"minimal", "1", "http://h/x.flac", "audio/flac", "http-get:*:audio/flac:*"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.mode) + " flags " + row.flags + " " + row.url);
        kvdmc_config("cast_metadata", row.mode);
        ASSERT_EQ(kvdmc_config("cast_dlna_flags", row.flags), 0);
        ASSERT_EQ(kvdmc_cast_set_uri(TV, row.url, row.mime, nullptr), 0) << kvdmc_last_error();
        auto calls = script.take_calls();
        ASSERT_EQ(calls.size(), 1u);
        std::string meta = docs::xml_unescape(calls[0].args);
        std::string want = row.pi ? std::string(row.pi) : own;
        if (row.pi && std::string(row.flags) == "1" && std::string(row.mode) == "item") want += params;
        EXPECT_NE(meta.find("protocolInfo=\"" + want + "\""), std::string::npos) << meta;
        if (row.pi) {
            EXPECT_EQ(meta.find("DLNA.ORG_PN"), std::string::npos) << "a profile nobody sent";
        }
    }
    EXPECT_EQ(kvdmc_config("cast_dlna_flags", "x"), KVDMC_E_CONFIG);
}

// The seek unit: from the AVTransport description, REL_TIME whenever it is listed or
// nothing usable is known, ABS_TIME when only that is; a 710 to REL_TIME is sent once
// more as ABS_TIME, and the unit that worked is the row's from then on.
TEST_F(CastQuirks, SeekUnitFromTheServiceDescription) {
    const r::reply unsupported = r::fault(500, "710", "Seek mode not supported");
    struct {
        const char *what;
        std::string desc; // empty: none to be had
        std::vector<r::reply> refusals;
        std::vector<std::string> units, next;
        int rc;
    } rows[] = {
        {"REL_TIME listed",
         seek_modes({"TRACK_NR", "REL_TIME", "ABS_TIME"}),
         {},
         {"REL_TIME"},
         {"REL_TIME"},
         0},
        {"no REL_TIME", seek_modes({"ABS_TIME", "TRACK_NR"}), {}, {"ABS_TIME"}, {"ABS_TIME"}, 0},
        {"neither time unit", seek_modes({"TRACK_NR"}), {}, {"REL_TIME"}, {"REL_TIME"}, 0},
        {"no description", "", {}, {"REL_TIME"}, {"REL_TIME"}, 0},
        {"broken description",
         "<scpd><serviceStateTable><stateVariable><name>A_ARG",
         {},
         {"REL_TIME"},
         {"REL_TIME"},
         0},
        {"no seek variable", scpd(scpd_var("TransportState", "")), {}, {"REL_TIME"}, {"REL_TIME"}, 0},
        {"an empty variable before the seek modes",
         scpd("<stateVariable/>" + scpd_var("A_ARG_TYPE_SeekMode", "<allowedValueList><allowedValue>ABS_TIME"
                                                                   "</allowedValue></allowedValueList>")),
         {},
         {"ABS_TIME"},
         {"ABS_TIME"},
         0},
        {"710 without a description", "", {unsupported}, {"REL_TIME", "ABS_TIME"}, {"ABS_TIME"}, 0},
        {"710 although listed",
         seek_modes({"REL_TIME"}),
         {unsupported},
         {"REL_TIME", "ABS_TIME"},
         {"ABS_TIME"},
         0},
        {"710 twice: the first answer stands",
         "",
         {unsupported, r::fault(500, "711", "Illegal seek target")},
         {"REL_TIME", "ABS_TIME"},
         {"REL_TIME"},
         KVDMC_E_UPNP},
        {"ABS_TIME refused is not sent as REL_TIME",
         seek_modes({"ABS_TIME"}),
         {unsupported},
         {"ABS_TIME"},
         {"ABS_TIME"},
         KVDMC_E_UPNP},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        script.gets.clear();
        if (!row.desc.empty()) script.gets[AVT_SCPD] = row.desc;
        forget_and_place();
        kvdmc_cast_allow(TV);
        script.once.clear();
        script.answer_once("Seek", row.refusals);
        EXPECT_EQ(kvdmc_cast_seek(TV, 3725), row.rc);
        if (row.rc) {
            EXPECT_STREQ(kvdmc_last_error(), "UPnP error 710: Seek mode not supported");
        }
        auto units = [&] {
            std::vector<std::string> v;
            for (const auto &c : script.take_calls()) {
                EXPECT_NE(c.args.find("<Target>1:02:05</Target>"), std::string::npos);
                v.push_back(docs::tag_text(c.args, "Unit"));
            }
            return v;
        };
        EXPECT_EQ(units(), row.units);
        // The description is read once: what the row learned holds without it.
        script.gets.clear();
        script.once.clear();
        EXPECT_EQ(kvdmc_cast_seek(TV, 3725), 0);
        EXPECT_EQ(units(), row.next);
    }
}

// A service description is read only from the device's own host, as its control URLs
// are: one elsewhere is not asked for, and the renderer is driven as one without.
TEST_F(CastQuirks, ServiceDescriptionsOnlyFromTheDevicesHost) {
    const std::string elsewhere = "http://203.0.113.9:49152/AVTransport.xml";
    kvdmc_forget(TV);
    place(HOST + "/desc.xml", elsewhere);
    script.gets[elsewhere] = seek_modes({"ABS_TIME"});
    kvdmc_cast_allow(TV);
    script.take_calls();
    ASSERT_EQ(kvdmc_cast_seek(TV, 61), 0) << kvdmc_last_error();
    auto calls = script.take_calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(docs::tag_text(calls[0].args, "Unit"), "REL_TIME");
}

// Volume on the renderer's own scale, both ways; 0..100, a reversed or broken range
// and no description leave the values as they are.
TEST_F(CastQuirks, VolumeMapsOntoTheRenderersRange) {
    struct {
        const char *what;
        std::string desc;
        std::vector<std::pair<int, int>> sets;         // API value -> DesiredVolume
        std::vector<std::pair<std::string, int>> gets; // CurrentVolume -> API value
    } rows[] = {
        {"0..60",
         volume_range("0", "60"),
         {{0, 0}, {50, 30}, {100, 60}, {33, 20}, {1, 1}},
         {{"30", 50}, {"60", 100}, {"0", 0}, {"61", 100}, {"20", 33}, {"-3", 0}}},
        {"0..100", volume_range("0", "100"), {{0, 0}, {37, 37}, {100, 100}}, {{"37", 37}, {"150", 150}}},
        {"-80..0 (dB-like)",
         volume_range("-80", "0"),
         {{0, -80}, {50, -40}, {100, 0}},
         {{"-40", 50}, {"0", 100}, {"-80", 0}}},
        {"reversed", volume_range("60", "0"), {{50, 50}}, {{"30", 30}}},
        {"not numbers", volume_range("low", "60"), {{50, 50}}, {{"30", 30}}},
        {"no range", scpd(scpd_var("Volume", "")), {{50, 50}}, {{"30", 30}}},
        {"no description", "", {{50, 50}}, {{"30", 30}}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        script.gets.clear();
        if (!row.desc.empty()) script.gets[RC_SCPD] = row.desc;
        forget_and_place();
        kvdmc_cast_allow(TV);
        for (const auto &s : row.sets) {
            EXPECT_EQ(kvdmc_cast_volume(TV, s.first), 0) << kvdmc_last_error();
            auto calls = script.take_calls();
            ASSERT_EQ(calls.size(), 1u);
            EXPECT_EQ(docs::tag_text(calls[0].args, "DesiredVolume"), std::to_string(s.second)) << s.first;
        }
        for (const auto &g : row.gets) {
            script.answer("GetVolume", r::ok("GetVolume", "RenderingControl:1",
                                             "<CurrentVolume>" + g.first + "</CurrentVolume>"));
            EXPECT_EQ(kvdmc_cast_volume(TV, -1), g.second) << g.first;
        }
        script.take_calls();
    }
    EXPECT_EQ(kvdmc_cast_volume(TV, 101), KVDMC_E_ARG);
}

// Stop refused with 701 is done when the renderer says nothing is playing; otherwise
// the refusal stands.
TEST_F(CastQuirks, StopWithNothingLoaded) {
    const r::reply no_transition = r::fault(500, "701", "Transition not available");
    auto state = [](const char *s) {
        return r::ok("GetTransportInfo", "AVTransport:1",
                     std::string("<CurrentTransportState>") + s + "</CurrentTransportState>");
    };
    struct {
        const char *what;
        std::vector<r::reply> stop;
        r::reply info;
        std::vector<std::string> calls;
        int rc;
    } rows[] = {
        {"taken", {}, state("PLAYING"), {"Stop"}, 0},
        {"701 with no media", {no_transition}, state("NO_MEDIA_PRESENT"), {"Stop", "GetTransportInfo"}, 0},
        {"701 while stopped", {no_transition}, state("STOPPED"), {"Stop", "GetTransportInfo"}, 0},
        {"701 while playing", {no_transition}, state("PLAYING"), {"Stop", "GetTransportInfo"}, KVDMC_E_UPNP},
        {"701, state unreadable",
         {no_transition},
         r::fault(500, "501", "Action Failed"),
         {"Stop", "GetTransportInfo"},
         KVDMC_E_UPNP},
        {"another refusal",
         {r::fault(500, "705", "Transport is locked")},
         state("STOPPED"),
         {"Stop"},
         KVDMC_E_UPNP},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        script.once.clear();
        script.answer_once("Stop", row.stop);
        script.answer("GetTransportInfo", row.info);
        EXPECT_EQ(kvdmc_cast_stop(TV), row.rc);
        EXPECT_EQ(kvdmc_last_code(), row.rc);
        if (row.rc) {
            bool busy = row.stop[0].body.find("701") != std::string::npos;
            EXPECT_STREQ(kvdmc_last_error(), busy ? "UPnP error 701: Transition not available"
                                                  : "UPnP error 705: Transport is locked");
        }
        std::vector<std::string> a;
        for (const auto &c : script.take_calls()) a.push_back(c.action);
        EXPECT_EQ(a, row.calls);
    }
}
