// Device descriptions (one document scanned into records), URL resolution and its export,
// UDN keys.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "base/exports.h"
#include "base/protocol.h"
#include "helpers/docs.h"
#include "kvdmc.h"
#include "parse/description.h"

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
    EXPECT_EQ(n.err, "resolve: bad base url");
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
    EXPECT_STREQ(d.d.udn, "uuid:embedded"); // the device element, not the text around it
    EXPECT_STREQ(d.d.device_type, "t2");
    EXPECT_EQ(d.d.nsvc, 1);
    // References are decoded; white space around an identifier is not part of it.
    parsed r = parse("<r><UDN> uuid:a&amp;b </UDN><deviceType>t</deviceType></r>");
    EXPECT_STREQ(r.d.udn, "uuid:a&b");
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

// ---------------------------------------------------------------- device trees

namespace {

struct want_device {
    std::string udn, friendly, manufacturer, model;
    std::vector<std::string> services; // fragments, in order
    std::string first_control;
};

std::vector<std::string> fragments_of(const device_t &d) {
    std::vector<std::string> v;
    for (int i = 0; i < d.nsvc; i++)
        v.push_back(std::string(d.svc[i].type).substr(strlen(SERVICE_TYPE_PREFIX)));
    return v;
}

// Nine media servers, one of them two levels down inside a non-media device, and
// a self-closing device element between them.
std::string nine_servers() {
    device root;
    root.udn = "uuid:many";
    root.type = "urn:x:device:Container:1";
    root.services = services_at("/root", {"Root:1"});
    device bridge;
    bridge.udn = "uuid:bridge";
    bridge.type = "urn:x:device:Bridge:1";
    device deep;
    deep.udn = "uuid:deep";
    deep.fields = {{"friendlyName", "Deep"}};
    deep.services = services_at("/deep", {"ContentDirectory:1"});
    bridge.embedded = {deep};
    root.embedded = {bridge};
    for (int k = 1; k <= 8; k++) {
        device ms;
        ms.udn = "uuid:s" + std::to_string(k);
        ms.services = services_at("/s" + std::to_string(k), {"ContentDirectory:1"});
        root.embedded.push_back(ms);
    }
    std::string doc = description(root);
    doc.insert(doc.find("<device><deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType><friendly"
                        "Name>Box</friendlyName><manufacturer>Maker</manufacturer><modelName>M1</modelName>"
                        "<UDN>uuid:s1"),
               "<device/>");
    return doc;
}

} // namespace

TEST(DescTree, OneRecordPerMediaDevice) {
    const std::vector<std::string> cds_cm = {"ContentDirectory:1", "ConnectionManager:1"};
    struct row {
        const char *what;
        std::string doc;
        const char *location;
        std::vector<want_device> want;
    } rows[] = {
        {"speaker: vendor root, embedded server and renderer with their own services",
         speaker_description("RINCON_000E58A0B1C2"),
         SPEAKER_LOC,
         {{"uuid:RINCON_000E58A0B1C2_MS", "Kitchen Media", "Acme Sound", "Play:1", cds_cm,
           "http://192.168.1.30:1400/MediaServer/ContentDirectory/Control"},
          {"uuid:RINCON_000E58A0B1C2_MR",
           "Kitchen",
           "Acme Sound",
           "Play:1 Renderer",
           {"RenderingControl:1", "ConnectionManager:1", "AVTransport:1", "Queue:1",
            "GroupRenderingControl:1"},
           "http://192.168.1.30:1400/MediaRenderer/RenderingControl/Control"}}},
        {"receiver: renderer listed before server, relative controls under URLBase",
         receiver_description("5f9ec1b3-ed59-1900-4530-0005cdaa0001", "http://192.168.1.40:60006/"),
         RECEIVER_LOC,
         {{"uuid:5f9ec1b3-ed59-1900-4530-0005cdaa0001-renderer",
           "Living Room AVR",
           "Acme AV",
           "AVR-X Renderer",
           {"AVTransport:1", "RenderingControl:1", "ConnectionManager:1"},
           "http://192.168.1.40:60006/upnp/renderer/AVTransport/Control"},
          {"uuid:5f9ec1b3-ed59-1900-4530-0005cdaa0001-server", "Living Room AVR Server", "Acme AV", "AVR-X",
           cds_cm, "http://192.168.1.40:60006/upnp/server/ContentDirectory/Control"}}},
        {"tuner box: four embedded servers",
         tuner_description("tv", 4),
         "http://10.0.0.7/desc.xml",
         {{"uuid:tv-tuner1", "TV Tuner 1", "Acme TV", "Quad", cds_cm,
           "http://10.0.0.7:80/tuner1/ContentDirectory/Control"},
          {"uuid:tv-tuner2", "TV Tuner 2", "Acme TV", "Quad", cds_cm,
           "http://10.0.0.7:80/tuner2/ContentDirectory/Control"},
          {"uuid:tv-tuner3", "TV Tuner 3", "Acme TV", "Quad", cds_cm,
           "http://10.0.0.7:80/tuner3/ContentDirectory/Control"},
          {"uuid:tv-tuner4", "TV Tuner 4", "Acme TV", "Quad", cds_cm,
           "http://10.0.0.7:80/tuner4/ContentDirectory/Control"}}},
        {"router: no media device, the root alone with its own services",
         router_description("gw"),
         "http://10.0.0.1:5000/igd.xml",
         {{"uuid:gw",
           "Home Router",
           "Acme Net",
           "R1",
           {"Layer3Forwarding:1"},
           "http://10.0.0.1:5000/igd/Layer3Forwarding/Control"}}},
        {"nine servers, one two levels down: the first eight in document order",
         nine_servers(),
         "http://10.0.0.8/d.xml",
         {{"uuid:deep",
           "Deep",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/deep/ContentDirectory/Control"},
          {"uuid:s1",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s1/ContentDirectory/Control"},
          {"uuid:s2",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s2/ContentDirectory/Control"},
          {"uuid:s3",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s3/ContentDirectory/Control"},
          {"uuid:s4",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s4/ContentDirectory/Control"},
          {"uuid:s5",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s5/ContentDirectory/Control"},
          {"uuid:s6",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s6/ContentDirectory/Control"},
          {"uuid:s7",
           "Box",
           "Maker",
           "M1",
           {"ContentDirectory:1"},
           "http://10.0.0.8:80/s7/ContentDirectory/Control"}}},
    };
    api_enter();
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<device_t> out(DESC_MAX_MEDIA);
        char err[256] = "";
        int n = desc_parse_devices(r.doc.c_str(), r.location, out.data(), DESC_MAX_MEDIA, err, sizeof err);
        ASSERT_EQ(n, (int)r.want.size()) << err;
        for (int i = 0; i < n; i++) {
            const device_t &d = out[i];
            const want_device &w = r.want[i];
            EXPECT_EQ(d.udn, w.udn);
            EXPECT_EQ(d.friendly, w.friendly);
            EXPECT_EQ(d.manufacturer, w.manufacturer);
            EXPECT_EQ(d.model_name, w.model);
            EXPECT_EQ(fragments_of(d), w.services);
            EXPECT_EQ(d.svc[0].control, w.first_control);
            EXPECT_STREQ(d.location, r.location);
            EXPECT_EQ(d.kind, 0); // the table classifies
        }
        // The exported parse describes the first media device, or the root.
        ASSERT_EQ(kvdmc_parse_description(r.doc.c_str(), r.location), 0);
        EXPECT_NE(std::string(kvdmc_last_json()).find("{\"udn\":\"" + r.want[0].udn + "\",\"kind\":0,"),
                  std::string::npos)
            << kvdmc_last_json();
    }
}

// Cheap NAS firmware writes a bare '&' in its name; the description still reads.
TEST(DescTree, BareAmpersandInANasName) {
    device d;
    d.udn = "uuid:nas-1";
    d.fields = {{"friendlyName", "R&N:DGND3700 & Co"}, {"manufacturer", "R&N"}, {"modelName", "DGND3700"}};
    d.services = service_xml(CDS_TYPE, "/ctl/cds?a=1&b=2");
    parsed p = parse(description(d));
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.d.friendly, "R&N:DGND3700 & Co");
    EXPECT_STREQ(p.d.manufacturer, "R&N");
    EXPECT_STREQ(p.d.svc[0].control, "http://192.168.1.5:8200/ctl/cds?a=1&b=2");
    ASSERT_EQ(kvdmc_parse_description(description(d).c_str(), "http://h/d.xml"), 0);
    EXPECT_NE(std::string(kvdmc_last_json()).find("\"name\":\"R&N:DGND3700 & Co\""), std::string::npos);
}

TEST(DescTree, WrappedIdentifiersAreTrimmedNamesAreNot) {
    device d;
    d.udn = "\n      uuid:wrapped-1\n    ";
    d.type = std::string("\n      ") + SERVER_TYPE + "\n    ";
    d.fields = {{"friendlyName", "  My NAS  "}, {"manufacturer", " Acme "}, {"modelName", "\tNAS 2\t"}};
    d.before_device = "<URLBase>\n  http://10.0.0.5:8200/media/\n</URLBase>";
    d.services =
        service_xml(service{"\r\n  " + std::string(CDS_TYPE) + "\r\n", "\n  ctl/cds\n",
                            "\n  urn:upnp-org:serviceId:ContentDirectory\n", " /evt/cds ", "\t/cds.xml\t"});
    parsed p = parse(description(d), "http://10.0.0.5:8200/rootDesc.xml");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.d.udn, "uuid:wrapped-1");
    EXPECT_STREQ(p.d.device_type, SERVER_TYPE);
    EXPECT_STREQ(p.d.base, "http://10.0.0.5:8200/media/");
    ASSERT_EQ(p.d.nsvc, 1);
    EXPECT_STREQ(p.d.svc[0].type, CDS_TYPE);
    EXPECT_STREQ(p.d.svc[0].id, "urn:upnp-org:serviceId:ContentDirectory");
    EXPECT_STREQ(p.d.svc[0].control, "http://10.0.0.5:8200/media/ctl/cds");
    EXPECT_STREQ(p.d.svc[0].eventsub, "/evt/cds");
    EXPECT_STREQ(p.d.svc[0].scpd, "/cds.xml");
    EXPECT_STREQ(p.d.friendly, "  My NAS  ");
    EXPECT_STREQ(p.d.manufacturer, " Acme ");
    EXPECT_STREQ(p.d.model_name, "\tNAS 2\t");
    // An identifier of white space alone is absent.
    d.udn = "\n  ";
    EXPECT_EQ(parse(description(d)).err, "description has no UDN");
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

TEST(ResolveUrl, Ipv6LiteralHosts) {
    struct {
        const char *base, *ref, *want;
    } rows[] = {
        {"http://[fe80::1]:8080/desc.xml", "/ctl", "http://[fe80::1]:8080/ctl"},
        {"http://[fe80::1%25eth0]:8080/d/desc.xml", "ctl", "http://[fe80::1%25eth0]:8080/d/ctl"},
        {"http://[fe80::1%25eth0]/d/desc.xml", "ctl", "http://[fe80::1%25eth0]:80/d/ctl"},
        {"https://[2001:db8::5]", "a", "https://[2001:db8::5]:443/a"},
        {"http://[::1]:49152", "x", "http://[::1]:49152/x"},
        {"http://[fe80::1:8080/d", "c", "http://[fe80:0/c"}, // no closing bracket: cut at the first colon
    };
    for (const auto &r : rows) EXPECT_EQ(resolve(r.base, r.ref), r.want) << r.base;

    parsed p = parse(speaker_description("V6"), "http://[fe80::20e:58ff:fea0:b1c2%25eth0]:1400/xml/d.xml");
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.d.svc[0].control,
                 "http://[fe80::20e:58ff:fea0:b1c2%25eth0]:1400/MediaServer/ContentDirectory/Control");
}

TEST(SameHost, ControlHostCheck) {
    struct {
        const char *control, *location;
        bool same;
    } rows[] = {
        {"http://10.0.0.1:80/a", "http://10.0.0.1:9/d.xml", true},
        {"http://10.0.0.2/a", "http://10.0.0.1/d.xml", false},
        {"http://[fe80::1]:8080/c", "http://[fe80::1]:8080/d.xml", true},
        {"http://[fe80::1]:8080/c", "http://[fe80::2]:8080/d.xml", false},
        // A device's own URLs carry no zone; the LOCATION may have one added.
        {"http://[fe80::1]:8080/c", "http://[fe80::1%25eth0]:8080/d.xml", true},
        {"http://[FE80::1%25eth0]/c", "http://[fe80::1%25eth0]:1/d.xml", true},
        {"http://[fe80::1%25eth1]/c", "http://[fe80::1%25eth0]/d.xml", false},
        {"http://[fe80::1]/c", "http://fe80/d.xml", false},
        {"http://evil@[fe80::1]/c", "http://[fe80::1]/d.xml", true},
        {"http://[fe80::1]/c", "http://[fe80::1]:80@10.0.0.9/d.xml", false},
    };
    for (const auto &r : rows)
        EXPECT_EQ(url_same_host(r.control, r.location), r.same) << r.control << " " << r.location;
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
