// Device descriptions, URL resolution, UDN keys and the device table.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

#include "upnp/discover.h"
#include "docs.h"
#include "base/exports.h"
#include "http/io.h"
#include "kvdmc.h"

using namespace docs;

namespace {

struct parsed {
    int rc;
    std::string err;
    device_t d;
};

parsed parse(const std::string &xml, const char *location = "http://192.168.1.5:8200/rootDesc.xml") {
    api_enter(); // the exported callers run the entry steps before parsing
    parsed p{};
    char err[256] = "";
    memset(&p.d, 0, sizeof p.d);
    p.rc = desc_parse(xml.c_str(), location, &p.d, err, sizeof err);
    p.err = err;
    return p;
}

std::string key_of(const char *s) {
    char out[DEVICE_KEY_CAP];
    udn_key_of(s, out);
    return out;
}

std::string resolve(const char *base, const char *ref) {
    const char *r = kvdmc_resolve_url(base, ref);
    return r ? r : std::string("null: ") + kvdmc_last_error();
}

} // namespace

// ---------------------------------------------------------------- descriptions

TEST(DescParse, ControlsResolveAgainstLocationOrUrlBase) {
    std::string svcs = service_xml(CDS_TYPE, "/ctl/cds") + service_xml("urn:x:service:B:1", "ctl/b") +
                       service_xml("urn:x:service:C:1", "http://other:1/c");
    parsed p = parse(description("uuid:dev-1", SERVER_TYPE, "Box", svcs));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.d.base, "http://192.168.1.5:8200/rootDesc.xml");
    EXPECT_STREQ(p.d.location, "http://192.168.1.5:8200/rootDesc.xml");
    ASSERT_EQ(p.d.nsvc, 3);
    EXPECT_STREQ(p.d.svc[0].control, "http://192.168.1.5:8200/ctl/cds");
    EXPECT_STREQ(p.d.svc[1].control, "http://192.168.1.5:8200/ctl/b");
    EXPECT_STREQ(p.d.svc[2].control, "http://other:1/c");
    EXPECT_STREQ(p.d.svc[0].eventsub, "/ev"); // kept as written
    EXPECT_STREQ(p.d.svc[0].scpd, "/scpd.xml");
    EXPECT_STREQ(p.d.svc[0].type, CDS_TYPE);
    EXPECT_STREQ(p.d.svc[0].id, "urn:upnp-org:serviceId:x");
    EXPECT_STREQ(p.d.udn, "uuid:dev-1");
    EXPECT_STREQ(p.d.friendly, "Box");
    EXPECT_STREQ(p.d.manufacturer, "Maker");
    EXPECT_STREQ(p.d.model_name, "M1");
    EXPECT_EQ(p.d.udn_key[0], 0); // the table sets the key, not the parser

    parsed b = parse(description("uuid:dev-1", SERVER_TYPE, "Box", service_xml(CDS_TYPE, "c"),
                                 "<URLBase>https://base.example/dir/</URLBase>"));
    ASSERT_EQ(b.rc, 0);
    EXPECT_STREQ(b.d.base, "https://base.example/dir/");
    EXPECT_STREQ(b.d.svc[0].control, "https://base.example:443/dir/c");

    // An unresolvable control stays as written and the resolver's message is left behind.
    parsed n = parse(description("uuid:dev-1", SERVER_TYPE, "Box", service_xml(CDS_TYPE, "/c")), "not-a-url");
    ASSERT_EQ(n.rc, 0);
    EXPECT_STREQ(n.d.svc[0].control, "/c");
    EXPECT_STREQ(kvdmc_last_error(), "resolve: bad base url");
    parsed none = parse(description("uuid:dev-1", SERVER_TYPE), nullptr);
    ASSERT_EQ(none.rc, 0);
    EXPECT_STREQ(none.d.location, "");
}

TEST(DescParse, ServicesNeedTypeAndControlAndStopAtEight) {
    std::string svcs =
        "<service><serviceId>a</serviceId><controlURL>/a</controlURL></service>"   // no type
        "<service><serviceType>t</serviceType><controlURL></controlURL></service>" // empty control
        "<service><serviceType>t</serviceType></service>";                         // no control
    for (int i = 0; i < 9; i++) svcs += service_xml("urn:x:service:S" + std::to_string(i) + ":1", "/c");
    // Service fields outside a service are not captured.
    parsed p = parse(description("uuid:d", SERVER_TYPE, "Box", svcs, "<controlURL>/stray</controlURL>"));
    ASSERT_EQ(p.rc, 0);
    ASSERT_EQ(p.d.nsvc, 8);
    EXPECT_STREQ(p.d.svc[0].type, "urn:x:service:S0:1");
    EXPECT_STREQ(p.d.svc[7].type, "urn:x:service:S7:1");
}

TEST(DescParse, FieldCapsPrefixesAndCaptureRules) {
    std::string long_name(200, 'n');
    std::string xml = "<root><device><deviceType>" + std::string(SERVER_TYPE) +
                      "</deviceType><friendlyName>" + long_name +
                      "</friendlyName><UDN>uuid:" + std::string(100, 'u') +
                      "</UDN><dlna:X_DLNADOC>DMS-1.50</dlna:X_DLNADOC><modelName/>\n  <manufacturer>" +
                      std::string(130, 'm') + "</manufacturer></device></root>";
    parsed p = parse(xml);
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(std::string(p.d.friendly), long_name.substr(0, 120));
    EXPECT_EQ(strlen(p.d.udn), 79u);
    EXPECT_STREQ(p.d.dlna_doc, "");       // prefixed names are not recognised
    EXPECT_STREQ(p.d.model_name, "\n  "); // an empty element takes the next text
    EXPECT_EQ(strlen(p.d.manufacturer), 120u);

    parsed d = parse("<root><X_DLNADOC>" + std::string(70, 'x') +
                     "</X_DLNADOC><UDN>u</UDN><deviceType>t</deviceType>"
                     "<device><UDN>uuid:embedded</UDN><deviceType>t2</deviceType>" +
                     service_xml("s:e", "/e") + "</device></root>");
    ASSERT_EQ(d.rc, 0);
    EXPECT_EQ(strlen(d.d.dlna_doc), 60u);
    EXPECT_STREQ(d.d.udn, "uuid:embedded"); // last occurrence wins
    EXPECT_STREQ(d.d.device_type, "t2");
    EXPECT_EQ(d.d.nsvc, 1);
    // References are decoded, whitespace kept.
    parsed r = parse("<r><UDN> uuid:a&amp;b </UDN><deviceType>t</deviceType></r>");
    EXPECT_STREQ(r.d.udn, " uuid:a&b ");
}

TEST(DescParse, Failures) {
    EXPECT_EQ(parse("").err, "empty description");
    char err[64] = "";
    device_t d{};
    EXPECT_EQ(desc_parse(nullptr, "x", &d, err, sizeof err), -1);
    EXPECT_STREQ(err, "empty description");

    EXPECT_EQ(parse("<r><deviceType>t</deviceType><friendlyName>f</friendlyName></r>").err,
              "description has no UDN");
    EXPECT_EQ(parse("<r><UDN>uuid:x</UDN></r>").err, "description has no deviceType");
    EXPECT_EQ(parse("<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"x\">]><r/>").err,
              "DOCTYPE not allowed");
    // A reader error ends the scan; what was gathered before it decides.
    parsed broken = parse("<r><UDN>uuid:x</UDN><deviceType>t</deviceType><bad attr>");
    EXPECT_EQ(broken.rc, 0);
    EXPECT_EQ(parse("<r><UDN>uuid:x</UDN><bad attr><deviceType>t</deviceType>").err,
              "description has no deviceType");

    ASSERT_EQ(kvdmc_config("desc_max_bytes", "1024"), 0);
    std::string doc = description("uuid:x", SERVER_TYPE);
    doc += std::string(1024 - doc.size(), ' ');
    EXPECT_EQ(parse(doc).rc, 0);
    EXPECT_EQ(parse(doc + " ").err, "description over desc_max_bytes");
    // The reader's own bound wins over a larger desc_max_bytes.
    ASSERT_EQ(kvdmc_config("desc_max_bytes", "8388608"), 0);
    EXPECT_EQ(parse(doc + std::string(262144, ' ')).err, "xml over 262144 bytes");
    ASSERT_EQ(kvdmc_config("desc_max_bytes", nullptr), 0);
}

// ---------------------------------------------------------------- URL resolution and keys

TEST(ResolveUrl, SchemesPortsAndPaths) {
    EXPECT_EQ(resolve("https://h", "a"), "https://h:443/a");
    EXPECT_EQ(resolve("http://h:8080", "p"), "http://h:8080/p");
    EXPECT_EQ(resolve("http://h", "//x"), "http://h:80//x");
    EXPECT_EQ(resolve("http://h/a/b.xml", "/c"), "http://h:80/c");
    EXPECT_EQ(resolve("http://h/a/b.xml", "c/../d"), "http://h:80/a/c/../d"); // no dot-segment removal
    EXPECT_EQ(resolve("http://h/a?x=/y", "c"), "http://h:80/a?x=/c");         // the query is part of the path
    EXPECT_EQ(resolve("http://h:12ab/x/y", "z"), "http://h:12/x/z");
    EXPECT_EQ(resolve("http://h:/p", "q"), "http://h:0/q");
    EXPECT_EQ(resolve("http:///p/", "q"), "http://:80/p/q");
    EXPECT_EQ(resolve("hxxps://h", "q"), "hxxps://h:443/q"); // only bytes 1 and 5 pick the port
    EXPECT_EQ(resolve("http://h/d/", ""), "http://h:80/d/");
    EXPECT_EQ(resolve("x", "rtsp://abs/olute"), "rtsp://abs/olute");
    // A run of port digits beyond int saturates instead of overflowing.
    EXPECT_EQ(resolve("http://h:99999999999999999999/", "a"), "http://h:2147483647/a");
}

TEST(ResolveUrl, RefusalsAndBounds) {
    EXPECT_EQ(resolve(nullptr, "a"), "null: resolve: null url");
    EXPECT_EQ(resolve("http://h", nullptr), "null: resolve: null url");
    EXPECT_EQ(resolve("", "a"), "null: resolve: null url");
    EXPECT_EQ(resolve("h/a", "b"), "null: resolve: bad base url");
    EXPECT_EQ(resolve("abcdefghijklmnop://h", "b"), "null: resolve: bad base url"); // 16-byte scheme
    EXPECT_EQ(resolve("abcdefghijklmno://h", "b"), "abcdefghijklmno://h:80/b");
    EXPECT_EQ(resolve(("http://" + std::string(256, 'h')).c_str(), "b"), "null: resolve: bad base url");
    EXPECT_EQ(resolve(("http://" + std::string(255, 'h')).c_str(), "b").size(), 7 + 255 + 3 + 2u);
    EXPECT_EQ(resolve(("http://h/" + std::string(1023, 'p')).c_str(), "b"), "null: resolve: bad base url");
    EXPECT_EQ(resolve(("http://h/" + std::string(1021, 'p') + "/").c_str(), "b").size(), 11u + 1023 + 1);
    EXPECT_EQ(resolve("http://h", std::string(2000, 'r').c_str()).size(), 1279u);
}

TEST(ResolveUrl, ResultBufferIsPerThread) {
    const char *mine = kvdmc_resolve_url("http://a", "x");
    std::thread([] { kvdmc_resolve_url("http://b", "y"); }).join();
    EXPECT_STREQ(mine, "http://a:80/x");
}

TEST(UdnKey, UsnAndUdnMeetInOneKey) {
    EXPECT_EQ(key_of("uuid:ABC-1::urn:schemas-upnp-org:device:MediaServer:1"), "uuid:abc-1");
    EXPECT_EQ(key_of("uuid:abc-1"), "uuid:abc-1");
    EXPECT_EQ(key_of("UUID:ABC-1"), "uuid:abc-1"); // no lower-case prefix: nothing skipped
    EXPECT_EQ(key_of("x-uuid:Dev::y"), "dev");     // a prefix not at the start is skipped
    EXPECT_EQ(key_of("::x"), "");
    EXPECT_EQ(key_of(""), "");
    EXPECT_EQ(key_of(("uuid:" + std::string(200, 'A')).c_str()), "uuid:" + std::string(74, 'a'));
}

// ---------------------------------------------------------------- device table

namespace {

constexpr const char *LOC1 = "http://10.0.0.1:8200/desc.xml";
constexpr const char *LOC2 = "http://10.0.0.2:49152/d.xml";

class Table : public ::testing::Test {
  protected:
    void SetUp() override {
        kvdmc_config("device_max", nullptr); // also clears fake mode; selected again below
        kvdmc_use_fake();
        kvdmc_fake_reset();
        kvdmc_devices_clear();
        g_dev_clock_skew_ms = 0;
    }
    void TearDown() override {
        g_dev_clock_skew_ms = 0;
        kvdmc_devices_clear();
        kvdmc_fake_reset();
    }
    static void serve(const char *loc, const std::string &udn, const char *type,
                      const std::string &friendly = "Box") {
        ASSERT_EQ(kvdmc_fake_set(loc, 200, description(udn, type, friendly).c_str()), 0);
    }
    static int inject(const std::string &pkt) { return kvdmc_fake_ssdp(pkt.c_str(), "10.0.0.1"); }
    static void advance_s(int s) { g_dev_clock_skew_ms += (uint64_t)s * 1000; }
    static const device_t *row(const char *udn) {
        int i = kvdmc_find_device(udn);
        return i < 0 ? nullptr : &g_dev[i];
    }
};

} // namespace

TEST_F(Table, ClassifiesMediaDevicesAndRefusesOthers) {
    serve(LOC1, "uuid:srv", SERVER_TYPE, "Server");
    serve(LOC2, "uuid:rnd", RENDERER_TYPE);
    ASSERT_EQ(
        kvdmc_fake_set("http://h/both.xml", 200,
                       description("uuid:both", "urn:x:device:MediaServer:2 device:MediaRenderer:1").c_str()),
        0);
    ASSERT_EQ(inject(alive("uuid:srv::upnp:rootdevice", LOC1, 100)), 0);
    ASSERT_EQ(inject(reply(RENDERER_TYPE, "uuid:rnd::x", LOC2)), 0);
    ASSERT_EQ(inject(alive("uuid:both", "http://h/both.xml")), 0);
    ASSERT_EQ(kvdmc_device_count(), 3);
    const device_t *s = row("uuid:srv");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->kind, 1);
    EXPECT_STREQ(s->udn_key, "uuid:srv");
    EXPECT_EQ(s->max_age_s, 100);
    EXPECT_EQ(s->desc_ok, 1);
    EXPECT_EQ(s->added_ms, s->fetched_ms);
    EXPECT_EQ(row("uuid:rnd")->kind, 2);
    EXPECT_EQ(row("uuid:both")->kind, 2);

    const char *igd = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
    serve("http://h/igd.xml", "uuid:igd", igd, "Router");
    EXPECT_EQ(inject(alive("uuid:igd", "http://h/igd.xml")), -9);
    EXPECT_EQ(std::string(kvdmc_last_error()),
              std::string("Router is ") + igd + ": not a media device (Hue-style false positive dropped)");
    serve("http://h/hue.xml", "uuid:hue", "urn:x:device:Basic:1", "");
    EXPECT_EQ(inject(alive("uuid:hue", "http://h/hue.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(),
                 "uuid:hue is urn:x:device:Basic:1: not a media device (Hue-style false positive dropped)");
    EXPECT_EQ(kvdmc_device_count(), 3);
    // Refused devices are not remembered: the next announcement fetches again.
    EXPECT_EQ(inject(alive("uuid:igd", "http://h/igd.xml")), -9);
    EXPECT_EQ(kvdmc_fake_calls("http://h/igd.xml"), 2u);
}

TEST_F(Table, KnownDeviceRefreshesWithoutFetchingAndExpires) {
    serve(LOC1, "uuid:srv", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:srv", LOC1, 60)), 0);
    advance_s(59);
    EXPECT_EQ(kvdmc_device_count(), 1);
    // A reply from the same device (upper-case USN) refreshes the row.
    ASSERT_EQ(inject(reply(SERVER_TYPE, "uuid:SRV::" + std::string(SERVER_TYPE), LOC1, 60)), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC1), 1u);
    advance_s(59);
    EXPECT_EQ(kvdmc_device_count(), 1);
    advance_s(1);
    // Look-ups see an expired row until something purges.
    EXPECT_EQ(kvdmc_find_device("uuid:srv"), 0);
    EXPECT_EQ(kvdmc_device_count(), 0);

    // A lifetime of 0 or less never expires.
    ssdp_reply r{};
    strcpy(r.usn, "uuid:srv");
    strcpy(r.location, LOC1);
    r.max_age_s = 0;
    char err[256];
    ASSERT_EQ(devices_add_from_reply(&r, err, sizeof err), 0);
    advance_s(1000000);
    EXPECT_EQ(kvdmc_device_count(), 1);
}

TEST_F(Table, PurgeKeepsLiveRowsWhenExpiredOnesAreMovedIn) {
    for (int i = 0; i < 6; i++) {
        std::string loc = "http://h/" + std::to_string(i);
        serve(loc.c_str(), "uuid:d" + std::to_string(i), SERVER_TYPE);
        ASSERT_EQ(inject(alive("uuid:d" + std::to_string(i), loc, i % 2 ? 60 : 600)), 0);
    }
    advance_s(60);
    EXPECT_EQ(kvdmc_device_count(), 3);
    for (int i = 0; i < 6; i += 2)
        EXPECT_GE(kvdmc_find_device(("uuid:d" + std::to_string(i)).c_str()), 0) << i;
}

TEST_F(Table, DeviceMaxRefusesNewButRefreshesKnown) {
    ASSERT_EQ(kvdmc_config("device_max", "1"), 0);
    serve(LOC1, "uuid:a", SERVER_TYPE);
    serve(LOC2, "uuid:b", RENDERER_TYPE);
    ASSERT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    EXPECT_EQ(inject(alive("uuid:b", LOC2)), -9);
    EXPECT_STREQ(kvdmc_last_error(), "device cache full (1)");
    advance_s(30);
    EXPECT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    advance_s(45);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_EQ(kvdmc_find_device("uuid:b"), -1);
}

TEST_F(Table, ReplyKeysAndFetchFailures) {
    // An empty USN keys the reply by its ST.
    serve(LOC1, "uuid:st-key", SERVER_TYPE);
    ASSERT_EQ(inject(reply("uuid:st-key", "", LOC1)), 0);
    ASSERT_EQ(inject(reply("uuid:st-key", "", LOC1)), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC1), 1u);
    EXPECT_EQ(inject(reply("", "", LOC1)), -9);
    EXPECT_STREQ(kvdmc_last_error(), "no UDN in reply");
    EXPECT_EQ(inject(reply("x", "::y", LOC1)), -9);
    EXPECT_STREQ(kvdmc_last_error(), "no UDN in reply");

    EXPECT_EQ(inject(alive("uuid:nowhere", "http://h/none")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description fetch failed: fake: no route for this URL");
    ASSERT_EQ(kvdmc_fake_fail("http://h/fail", "connection refused"), 0);
    EXPECT_EQ(inject(alive("uuid:f", "http://h/fail")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description fetch failed: connection refused");
    ASSERT_EQ(kvdmc_fake_set("http://h/bad", 200, "<root><UDN>uuid:q</UDN></root>"), 0);
    EXPECT_EQ(inject(alive("uuid:q", "http://h/bad")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description has no deviceType");
    // A UDN whose key is empty could never be addressed.
    ASSERT_EQ(kvdmc_fake_set("http://h/nokey", 200, description("::x", SERVER_TYPE).c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:k", "http://h/nokey")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "description has no UDN");
    // The HTTP status is not judged.
    ASSERT_EQ(kvdmc_fake_set(LOC2, 404, description("uuid:s404", SERVER_TYPE).c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:s404", LOC2)), 0);
    EXPECT_EQ(kvdmc_device_count(), 2);
}

TEST_F(Table, MismatchedUsnRefreshesTheUdnRowInsteadOfAddingOne) {
    serve(LOC1, "uuid:real-udn", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:other-usn::upnp:rootdevice", LOC1, 60)), 0);
    advance_s(40);
    ASSERT_EQ(inject(alive("uuid:other-usn::upnp:rootdevice", LOC1, 60)), 0);
    EXPECT_EQ(kvdmc_fake_calls(LOC1), 1u); // the row remembers the key it was announced under
    EXPECT_EQ(kvdmc_device_count(), 1);
    advance_s(40);
    EXPECT_EQ(kvdmc_device_count(), 1); // refreshed by the second announcement

    // Also when the table is full.
    ASSERT_EQ(kvdmc_config("device_max", "1"), 0);
    ASSERT_EQ(inject(reply(SERVER_TYPE, "", LOC1, 60)), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);
}

TEST_F(Table, MovedDeviceIsReadAgain) {
    serve(LOC1, "uuid:mover", SERVER_TYPE, "Old name");
    ASSERT_EQ(inject(alive("uuid:mover", LOC1, 60)), 0);
    serve(LOC2, "uuid:mover", RENDERER_TYPE, "New name");
    advance_s(30);
    ASSERT_EQ(inject(alive("uuid:mover", LOC2, 60)), 0);
    ASSERT_EQ(kvdmc_device_count(), 1);
    const device_t *d = row("uuid:mover");
    EXPECT_STREQ(d->location, LOC2);
    EXPECT_STREQ(d->friendly, "New name");
    EXPECT_EQ(d->kind, 2);
    EXPECT_STREQ(d->svc[0].control, "http://10.0.0.2:49152/ctl/cds");
    EXPECT_EQ(kvdmc_fake_calls(LOC2), 1u);
    // The same LOCATION, or none, never fetches.
    ASSERT_EQ(inject(alive("uuid:mover", LOC2, 60)), 0);
    ASSERT_EQ(inject(ssdp_lines("NOTIFY * HTTP/1.1", {"NT: upnp:rootdevice", "NTS: ssdp:alive",
                                                      "USN: uuid:mover", "CACHE-CONTROL: max-age=60"})),
              0);
    EXPECT_EQ(kvdmc_fake_calls(LOC2), 1u);
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 2u);

    // A move whose fetch fails leaves the row as it was, unrefreshed, so it expires.
    advance_s(30);
    EXPECT_EQ(inject(alive("uuid:mover", "http://10.0.0.3/gone.xml", 60)), -9);
    EXPECT_STREQ(row("uuid:mover")->location, LOC2);
    advance_s(30);
    EXPECT_EQ(kvdmc_device_count(), 0);
}

TEST_F(Table, MoveToAnotherDevicesDescriptionLeavesTheRow) {
    serve(LOC1, "uuid:a", SERVER_TYPE);
    serve(LOC2, "uuid:b", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    serve("http://h/igd", "uuid:a", "urn:x:device:InternetGatewayDevice:1");
    EXPECT_EQ(inject(alive("uuid:a", "http://h/igd", 60)), -9);
    EXPECT_EQ(row("uuid:a")->kind, 1);
    // The new LOCATION serves device b: b gets its own row, a is left to expire.
    advance_s(30);
    ASSERT_EQ(inject(alive("uuid:a", LOC2, 60)), 0);
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_STREQ(row("uuid:a")->location, LOC1);
    advance_s(30);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_GE(kvdmc_find_device("uuid:b"), 0);
}

TEST_F(Table, FindForgetClearAndByebye) {
    serve(LOC1, "uuid:One", SERVER_TYPE);
    serve(LOC2, "uuid:two", RENDERER_TYPE);
    serve("http://h/3", "uuid:three", RENDERER_TYPE);
    ASSERT_EQ(inject(alive("uuid:One", LOC1)), 0);
    ASSERT_EQ(inject(alive("uuid:two", LOC2)), 0);
    ASSERT_EQ(inject(alive("uuid:three", "http://h/3")), 0);
    kvdmc_config("no such key", "x"); // leaves a last code of -10 behind
    EXPECT_EQ(kvdmc_find_device("UUID:ONE"), 0);
    EXPECT_EQ(kvdmc_find_device(("uuid:one::" + std::string(SERVER_TYPE)).c_str()), 0);
    EXPECT_EQ(kvdmc_find_device("uuid:none"), -1);
    EXPECT_EQ(kvdmc_find_device(nullptr), -1);
    EXPECT_STREQ(kvdmc_last_error(), "find_device: null udn");

    // Forgetting moves the last row into the freed place.
    EXPECT_EQ(kvdmc_forget("uuid:one"), 0);
    EXPECT_EQ(kvdmc_find_device("uuid:three"), 0);
    EXPECT_EQ(kvdmc_forget("uuid:one"), KVDMC_E_UNKNOWN);
    EXPECT_STREQ(kvdmc_last_error(), "forget: unknown udn");
    EXPECT_EQ(kvdmc_forget(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "forget: null udn");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);

    // A byebye removes by USN, or by NT when the USN is empty; unknown ones change nothing.
    EXPECT_EQ(inject(byebye("upnp:rootdevice", "uuid:TWO::upnp:rootdevice")), 0);
    EXPECT_EQ(inject(byebye("uuid:zzz", "")), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_EQ(inject(byebye("uuid:three", "")), 0);
    EXPECT_EQ(kvdmc_device_count(), 0);

    ASSERT_EQ(inject(alive("uuid:two", LOC2)), 0);
    kvdmc_devices_clear();
    EXPECT_EQ(kvdmc_device_count(), 0);
    EXPECT_EQ(kvdmc_forget("uuid:two"), KVDMC_E_UNKNOWN);
}

TEST_F(Table, DiscoverValidatesAndRefusesInFakeMode) {
    EXPECT_EQ(kvdmc_discover(0, 1000), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "discover: kind must be 1, 2 or 3");
    EXPECT_EQ(kvdmc_discover(4, 1000), KVDMC_E_ARG);
    EXPECT_EQ(kvdmc_discover(1, 99), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "discover: timeout_ms must be 100..30000");
    EXPECT_EQ(kvdmc_discover(1, 30001), KVDMC_E_ARG);

    serve(LOC1, "uuid:short", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:short", LOC1, 60)), 0);
    advance_s(60);
    kvdmc_config("no such key", "x");
    EXPECT_EQ(kvdmc_discover(3, 100), KVDMC_E_FAKE);
    EXPECT_STREQ(kvdmc_last_error(), "ssdp disabled (fake mode): inject packets with kvdmc_fake_ssdp");
    EXPECT_EQ(kvdmc_discover(1, 30000), KVDMC_E_FAKE);
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_CONFIG);
    plat_guard g(&g_lock);
    EXPECT_EQ(g_ndev, 0); // purged before refusing
}

// Injection on one thread, look-ups and removals on another: the table stays whole.
TEST_F(Table, ConcurrentInjectionAndLookups) {
    for (int i = 0; i < 8; i++) {
        std::string loc = "http://h/c" + std::to_string(i);
        serve(loc.c_str(), "uuid:c" + std::to_string(i), SERVER_TYPE);
    }
    std::thread injector([] {
        for (int round = 0; round < 50; round++)
            for (int i = 0; i < 8; i++)
                inject(alive("uuid:c" + std::to_string(i), "http://h/c" + std::to_string(i)));
    });
    int bad = 0;
    for (int round = 0; round < 400; round++) {
        int n = kvdmc_device_count();
        if (n < 0 || n > 8) bad++;
        kvdmc_forget(("uuid:c" + std::to_string(round % 8)).c_str());
        kvdmc_find_device("uuid:c3");
    }
    injector.join();
    EXPECT_EQ(bad, 0);
    plat_guard g(&g_lock);
    for (int i = 0; i < g_ndev; i++)
        for (int j = i + 1; j < g_ndev; j++) EXPECT_STRNE(g_dev[i].udn_key, g_dev[j].udn_key);
}

// ---------------------------------------------------------------- the table over a host transport

namespace {

// Counts what the component hands back and answers from a few fixed fields.
struct host_io {
    int rc = 0;
    const char *body = nullptr;
    const char *err = nullptr;
    int gets = 0, frees = 0;
    static char *dup(const char *s) { return s ? strdup(s) : nullptr; }
    static int get(void *ctx, const char *, char **out_body, int *code, char **out_err) {
        host_io *h = (host_io *)ctx;
        h->gets++;
        *out_body = dup(h->body);
        *out_err = dup(h->err);
        *code = 200;
        return h->rc;
    }
    static void release(void *ctx, void *p) {
        ((host_io *)ctx)->frees++;
        free(p);
    }
    quorlin_io record() { return quorlin_io{this, get, nullptr, release}; }
};

class HostTable : public ::testing::Test {
  protected:
    void SetUp() override { kvdmc_devices_clear(); }
    void TearDown() override {
        kvdmc_devices_clear();
        kvdmc_set_io(nullptr);
    }
    static int add(const char *usn, const char *loc, std::string *msg) {
        ssdp_reply r{};
        strcpy(r.usn, usn);
        strcpy(r.location, loc);
        r.max_age_s = 1800;
        char err[256] = "";
        int rc = devices_add_from_reply(&r, err, sizeof err);
        *msg = err;
        return rc;
    }
};

} // namespace

TEST_F(HostTable, EveryHandedOutTextIsReleasedOnce) {
    host_io h;
    std::string desc = description("uuid:h", SERVER_TYPE);
    quorlin_io rec = h.record();
    ASSERT_EQ(kvdmc_set_io(&rec), 0);
    std::string msg;

    h.rc = 0, h.body = desc.c_str(), h.err = "warning"; // success with an error text
    EXPECT_EQ(add("uuid:h", LOC1, &msg), 0);
    EXPECT_EQ(h.frees, 2);
    h.rc = 7, h.body = desc.c_str(), h.err = "boom"; // failure with both
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "description fetch failed: boom");
    EXPECT_EQ(h.frees, 4);
    h.rc = 0, h.body = nullptr, h.err = nullptr; // success without a body
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "description fetch failed: transport error");
    h.rc = 0, h.body = "<not a description/>", h.err = nullptr;
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "description has no UDN");
    EXPECT_EQ(h.frees, 5);
    EXPECT_EQ(h.gets, 4);

    // A record without http_get counts as no transport.
    rec.http_get = nullptr;
    ASSERT_EQ(kvdmc_set_io(&rec), 0);
    EXPECT_EQ(add("uuid:x", LOC2, &msg), -1);
    EXPECT_EQ(msg, "no quorlin_io backend");
    EXPECT_EQ(h.gets, 4);
    EXPECT_EQ(kvdmc_device_count(), 1);
}

// The host may tune the description bound while another thread parses a description.
TEST(Description, ConfigChangesWhileTheHostParses) {
    std::string xml = description("uuid:race", "urn:schemas-upnp-org:device:MediaServer:1");
    std::thread tuner([] {
        for (int i = 0; i < 200; i++) kvdmc_config("desc_max_bytes", (i & 1) ? "1024" : "262144");
    });
    for (int i = 0; i < 200; i++) EXPECT_EQ(kvdmc_parse_description(xml.c_str(), "http://h/d.xml"), 0);
    tuner.join();
    kvdmc_config("desc_max_bytes", nullptr);
}
