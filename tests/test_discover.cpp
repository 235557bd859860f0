// Device descriptions, URL resolution, UDN keys and the device table.
// kvdmc-test: tsan
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "upnp/discover.h"
#include "helpers/docs.h"
#include "base/exports.h"
#include "base/protocol.h"
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

constexpr const char *SPEAKER_LOC = "http://192.168.1.30:1400/xml/device_description.xml";
constexpr const char *RECEIVER_LOC = "http://192.168.1.40:60006/upnp/desc/aios_device/aios_device.xml";

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

TEST_F(Table, ByebyeUnderEitherFormRemovesTheRowOfAMismatchedUsn) {
    struct {
        const char *nt, *usn;
    } byes[] = {
        {"upnp:rootdevice", "uuid:other-usn::upnp:rootdevice"}, // as it announced itself
        {SERVER_TYPE, "uuid:OTHER-USN::urn:schemas-upnp-org:device:MediaServer:1"},
        {"uuid:other-usn", ""},                                // by NT alone
        {"upnp:rootdevice", "uuid:real-udn::upnp:rootdevice"}, // by its UDN
    };
    serve(LOC1, "uuid:real-udn", SERVER_TYPE);
    for (const auto &b : byes) {
        SCOPED_TRACE(std::string(b.nt) + " " + b.usn);
        ASSERT_EQ(inject(alive("uuid:other-usn::upnp:rootdevice", LOC1, 60)), 0);
        ASSERT_EQ(kvdmc_device_count(), 1);
        EXPECT_EQ(inject(byebye(b.nt, b.usn)), 0);
        EXPECT_EQ(kvdmc_device_count(), 0);
        EXPECT_EQ(kvdmc_find_device("uuid:real-udn"), -1);
    }
}

TEST_F(Table, MovedDeviceIsReadAgain) {
    serve(LOC1, "uuid:mover", SERVER_TYPE, "Old name");
    ASSERT_EQ(inject(alive("uuid:mover", LOC1, 60)), 0);
    serve(LOC2, "uuid:mover", RENDERER_TYPE, "New name");
    advance_s(30);
    // The device is no longer at its old LOCATION: the move is followed.
    kvdmc_fake_fail(LOC1, "connection refused");
    ASSERT_EQ(inject(alive("uuid:mover", LOC2, 60)), 0) << kvdmc_last_error();
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
    EXPECT_EQ(kvdmc_fake_calls(nullptr), 3u); // the old LOCATION was asked once

    // A move whose fetch fails leaves the row as it was, unrefreshed, so it expires.
    advance_s(30);
    kvdmc_fake_fail(LOC2, "connection refused");
    EXPECT_EQ(inject(alive("uuid:mover", "http://10.0.0.3/gone.xml", 60)), -9);
    EXPECT_STREQ(row("uuid:mover")->location, LOC2);
    advance_s(30);
    EXPECT_EQ(kvdmc_device_count(), 0);
}

TEST_F(Table, MoveToAnotherDevicesDescriptionLeavesTheRow) {
    serve(LOC1, "uuid:a", SERVER_TYPE);
    serve(LOC2, "uuid:b", SERVER_TYPE);
    ASSERT_EQ(inject(alive("uuid:a", LOC1, 60)), 0);
    kvdmc_fake_fail(LOC1, "connection refused");
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

TEST_F(Table, EveryMediaDeviceOfADescriptionIsARow) {
    const std::string id = "RINCON_000E58A0B1C2";
    const std::string ms = "uuid:" + id + "_MS", mr = "uuid:" + id + "_MR";
    ASSERT_EQ(kvdmc_fake_set(SPEAKER_LOC, 200, speaker_description(id).c_str()), 0);
    ASSERT_EQ(inject(alive("uuid:" + id + "::upnp:rootdevice", SPEAKER_LOC, 60)), 0);
    ASSERT_EQ(kvdmc_device_count(), 2);
    EXPECT_EQ(row(ms.c_str())->kind, 1);
    EXPECT_EQ(row(mr.c_str())->kind, 2);
    EXPECT_EQ(row(("uuid:" + id).c_str()), nullptr); // the vendor root is no row
    // The renderer carries its own transport, not the root's vendor services.
    const device_t *r = row(mr.c_str());
    ASSERT_EQ(r->nsvc, 5);
    EXPECT_STREQ(r->svc[2].type, "urn:schemas-upnp-org:service:AVTransport:1");
    EXPECT_STREQ(r->svc[2].control, "http://192.168.1.30:1400/MediaRenderer/AVTransport/Control");
    EXPECT_STREQ(row(ms.c_str())->friendly, "Kitchen Media");

    struct {
        const char *what;
        std::string pkt;
    } refreshers[] = {
        {"renderer by type", announce(mr, RENDERER_TYPE, SPEAKER_LOC)},
        {"server by type", announce(ms, SERVER_TYPE, SPEAKER_LOC)},
        {"renderer by UDN", alive(mr, SPEAKER_LOC, 60)},
        {"a service of the server",
         alive(ms + "::urn:schemas-upnp-org:service:ContentDirectory:1", SPEAKER_LOC, 60)},
        {"the root", alive("uuid:" + id, SPEAKER_LOC, 60)},
        {"renderer without LOCATION",
         ssdp_lines("NOTIFY * HTTP/1.1",
                    {"NT: " + mr, "NTS: ssdp:alive", "USN: " + mr, "CACHE-CONTROL: max-age=60"})},
    };
    for (const auto &f : refreshers) {
        SCOPED_TRACE(f.what);
        advance_s(50);
        ASSERT_EQ(inject(f.pkt), 0) << kvdmc_last_error();
        advance_s(50); // both rows expire unless the announcement refreshed both
        EXPECT_EQ(kvdmc_device_count(), 2);
        EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 1u);
    }

    // A byebye takes only its own device; its return is read again.
    ASSERT_EQ(inject(byebye(RENDERER_TYPE, mr + "::" + RENDERER_TYPE)), 0);
    EXPECT_EQ(kvdmc_device_count(), 1);
    EXPECT_GE(kvdmc_find_device(ms.c_str()), 0);
    ASSERT_EQ(inject(alive(mr, SPEAKER_LOC, 60)), 0); // plain UDN: the server's row is refreshed
    EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 1u);
    ASSERT_EQ(inject(announce(mr, RENDERER_TYPE, SPEAKER_LOC)), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 2u);
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_EQ(row(mr.c_str())->kind, 2);
    // Each device announcing itself afterwards finds its row without a fetch.
    ASSERT_EQ(inject(announce(ms, SERVER_TYPE, SPEAKER_LOC)), 0);
    ASSERT_EQ(inject(announce(mr, RENDERER_TYPE, SPEAKER_LOC)), 0);
    EXPECT_EQ(kvdmc_fake_calls(SPEAKER_LOC), 2u);
}

TEST_F(Table, EmbeddedDevicesAnnounceFirstMoveTogetherAndFitWhole) {
    const std::string id = "5f9ec1b3-0001";
    const std::string rend = "uuid:" + id + "-renderer", srv = "uuid:" + id + "-server";
    ASSERT_EQ(
        kvdmc_fake_set(RECEIVER_LOC, 200, receiver_description(id, "http://192.168.1.40:60006/").c_str()), 0);
    // The receiver's renderer announces first: both its devices become rows.
    ASSERT_EQ(inject(announce(rend, RENDERER_TYPE, RECEIVER_LOC)), 0);
    ASSERT_EQ(kvdmc_device_count(), 2);
    EXPECT_EQ(row(rend.c_str())->kind, 2);
    EXPECT_EQ(row(srv.c_str())->kind, 1);
    ASSERT_EQ(inject(announce(srv, SERVER_TYPE, RECEIVER_LOC)), 0);
    EXPECT_EQ(kvdmc_fake_calls(RECEIVER_LOC), 1u);

    // Moved: the server's announcement at the new LOCATION reads both again once the
    // old one no longer answers.
    const char *moved = "http://192.168.1.41:60006/upnp/desc/aios_device/aios_device.xml";
    ASSERT_EQ(kvdmc_fake_set(moved, 200, receiver_description(id, "http://192.168.1.41:60006/").c_str()), 0);
    EXPECT_EQ(inject(announce(srv, SERVER_TYPE, moved)), -9);
    EXPECT_EQ(std::string(kvdmc_last_error()), "device " + srv + " still answers at " + RECEIVER_LOC);
    kvdmc_fake_fail(RECEIVER_LOC, "connection refused");
    ASSERT_EQ(inject(announce(srv, SERVER_TYPE, moved)), 0) << kvdmc_last_error();
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_STREQ(row(rend.c_str())->location, moved);
    EXPECT_STREQ(row(srv.c_str())->svc[0].control,
                 "http://192.168.1.41:60006/upnp/server/ContentDirectory/Control");

    // A tuner box is four rows against device_max: all of them enter or none.
    ASSERT_EQ(kvdmc_fake_set("http://10.0.0.7/desc.xml", 200, tuner_description("tv", 4).c_str()), 0);
    ASSERT_EQ(kvdmc_config("device_max", "5"), 0);
    EXPECT_EQ(inject(alive("uuid:tv", "http://10.0.0.7/desc.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "device cache full (5)");
    EXPECT_EQ(kvdmc_device_count(), 2);
    ASSERT_EQ(kvdmc_config("device_max", "6"), 0);
    ASSERT_EQ(inject(alive("uuid:tv", "http://10.0.0.7/desc.xml")), 0);
    EXPECT_EQ(kvdmc_device_count(), 6);
    for (int k = 1; k <= 4; k++) EXPECT_EQ(row(("uuid:tv-tuner" + std::to_string(k)).c_str())->kind, 1);

    // A router holds no media device at all.
    ASSERT_EQ(kvdmc_config("device_max", "7"), 0);
    ASSERT_EQ(kvdmc_fake_set("http://10.0.0.1:5000/igd.xml", 200, router_description("gw").c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:gw", "http://10.0.0.1:5000/igd.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(),
                 "Home Router is urn:schemas-upnp-org:device:InternetGatewayDevice:1: not a "
                 "media device (Hue-style false positive dropped)");
}

TEST_F(Table, ImpostorTreeIsRefusedWhole) {
    ASSERT_EQ(kvdmc_fake_set(SPEAKER_LOC, 200, speaker_description("A").c_str()), 0);
    ASSERT_EQ(inject(alive("uuid:A", SPEAKER_LOC)), 0);
    // Another host describes a tree whose renderer claims the speaker's.
    device evil;
    evil.udn = "uuid:evil";
    evil.type = "urn:x:device:Root:1";
    device fresh_srv, stolen;
    fresh_srv.udn = "uuid:evil_MS";
    stolen.udn = "uuid:A_MR";
    stolen.type = RENDERER_TYPE;
    evil.embedded = {fresh_srv, stolen};
    ASSERT_EQ(kvdmc_fake_set("http://10.0.0.66/e.xml", 200, description(evil).c_str()), 0);
    EXPECT_EQ(inject(alive("uuid:evil", "http://10.0.0.66/e.xml")), -9);
    EXPECT_STREQ(kvdmc_last_error(), "UDN uuid:A_MR already claimed by another device");
    EXPECT_EQ(kvdmc_device_count(), 2);
    EXPECT_STREQ(row("uuid:A_MR")->location, SPEAKER_LOC);
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
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_ARG);

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
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_FAKE);
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
