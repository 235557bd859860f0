// Builders of the documents peers send and the component reads or writes:
// device descriptions, SSDP datagrams, SOAP envelopes and DIDL-Lite, for every
// test and benchmark. Each builder writes its document byte for byte as given,
// so a test that needs a particular spelling (line breaks, header order,
// whitespace) states it here once instead of keeping a copy of its own.
#pragma once

#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace docs {

constexpr const char *SERVER_TYPE = "urn:schemas-upnp-org:device:MediaServer:1";
constexpr const char *RENDERER_TYPE = "urn:schemas-upnp-org:device:MediaRenderer:1";
constexpr const char *CDS_TYPE = "urn:schemas-upnp-org:service:ContentDirectory:1";
constexpr const char *SSDP_HOST = "239.255.255.250:1900";

inline std::string service_type(const std::string &frag) {
    return "urn:schemas-upnp-org:service:" + frag;
}

// ---------------------------------------------------------------- text

inline std::string xml_escape(const std::string &s) {
    std::string o;
    o.reserve(s.size() + s.size() / 8);
    for (char c : s) {
        switch (c) {
        case '&':
            o += "&amp;";
            break;
        case '<':
            o += "&lt;";
            break;
        case '>':
            o += "&gt;";
            break;
        case '"':
            o += "&quot;";
            break;
        default:
            o += c;
        }
    }
    return o;
}

inline std::string xml_unescape(const std::string &s) {
    static const std::pair<const char *, char> refs[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string o;
    for (size_t i = 0; i < s.size();) {
        bool done = false;
        for (auto &r : refs) {
            size_t n = strlen(r.first);
            if (s.compare(i, n, r.first) == 0) {
                o += r.second;
                i += n;
                done = true;
                break;
            }
        }
        if (!done) o += s[i++];
    }
    return o;
}

// Text of the first <tag>...</tag> in s, or "" (and *found false).
inline std::string tag_text(const std::string &s, const std::string &tag, bool *found = nullptr) {
    size_t a = s.find("<" + tag + ">");
    size_t b = a == std::string::npos ? a : s.find("</" + tag + ">", a);
    if (found) *found = b != std::string::npos;
    if (b == std::string::npos) return "";
    a += tag.size() + 2;
    return s.substr(a, b - a);
}

inline std::string repeat(const std::string &unit, size_t n) {
    std::string s;
    s.reserve(unit.size() * n);
    for (size_t i = 0; i < n; i++) s += unit;
    return s;
}

// ---------------------------------------------------------------- device descriptions

struct service {
    std::string type;
    std::string control;
    std::string id = "urn:upnp-org:serviceId:x";
    std::string eventsub = "/ev";
    std::string scpd = "/scpd.xml";
};

inline std::string service_xml(const service &s) {
    return "<service><serviceType>" + s.type + "</serviceType><serviceId>" + s.id +
           "</serviceId><controlURL>" + s.control + "</controlURL><eventSubURL>" + s.eventsub +
           "</eventSubURL><SCPDURL>" + s.scpd + "</SCPDURL></service>";
}

inline std::string service_xml(const std::string &type, const std::string &control) {
    return service_xml(service{type, control});
}

// A service such as "ContentDirectory:1" with its id and paths named after it
// (/ctl/ContentDirectory, /evt/ContentDirectory, /ContentDirectory.xml).
inline service named_service(const std::string &frag) {
    std::string base = frag.substr(0, frag.find(':'));
    return service{service_type(frag), "/ctl/" + base, "urn:upnp-org:serviceId:" + base, "/evt/" + base,
                   "/" + base + ".xml"};
}

constexpr const char *SPEC_VERSION = "<specVersion><major>1</major><minor>0</minor></specVersion>";

struct device {
    std::string udn;
    std::string type = SERVER_TYPE;
    // Elements between deviceType and UDN, in order; their texts go in as written.
    std::vector<std::pair<std::string, std::string>> fields = {
        {"friendlyName", "Box"}, {"manufacturer", "Maker"}, {"modelName", "M1"}};
    std::string after_udn;        // raw XML between UDN and serviceList
    std::string services;         // the serviceList's content
    std::vector<device> embedded; // the deviceList after the serviceList, when not empty
    std::string before_device;    // raw XML inside root before the device (specVersion, URLBase)
    std::string decl_break = "\n";
    std::string trailer;
};

// One device element with its embedded devices.
inline std::string device_xml(const device &d) {
    std::string s = "<device><deviceType>" + d.type + "</deviceType>";
    for (const auto &f : d.fields) s += "<" + f.first + ">" + f.second + "</" + f.first + ">";
    s += "<UDN>" + d.udn + "</UDN>" + d.after_udn + "<serviceList>" + d.services + "</serviceList>";
    if (!d.embedded.empty()) {
        s += "<deviceList>";
        for (const device &e : d.embedded) s += device_xml(e);
        s += "</deviceList>";
    }
    return s + "</device>";
}

inline std::string description(const device &d) {
    return "<?xml version=\"1.0\"?>" + d.decl_break + "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">" +
           d.before_device + device_xml(d) + "</root>" + d.trailer;
}

// The plain shape most table tests use.
inline std::string description(const std::string &udn, const std::string &type,
                               const std::string &friendly = "Box",
                               const std::string &services = service_xml(CDS_TYPE, "/ctl/cds"),
                               const std::string &extra = "") {
    device d;
    d.udn = udn;
    d.type = type;
    d.fields[0].second = friendly;
    d.services = services;
    d.before_device = extra;
    return description(d);
}

// A media server offering the named services ("ContentDirectory:1", ...).
inline std::string server_description(const std::string &udn, const std::vector<std::string> &services,
                                      const std::string &name = "Test Server") {
    device d;
    d.udn = udn;
    d.fields = {{"friendlyName", name}, {"manufacturer", "Acme"}, {"modelName", "Box 2"}};
    d.before_device = SPEC_VERSION;
    for (const std::string &svc : services) d.services += service_xml(named_service(svc));
    d.trailer = "\n";
    return description(d);
}

// A renderer with the given services: each entry is a service fragment such
// as "AVTransport:1" and its control path.
inline std::string renderer_description(const std::string &udn,
                                        const std::vector<std::pair<std::string, std::string>> &services) {
    device d;
    d.udn = udn;
    d.type = RENDERER_TYPE;
    d.fields = {{"friendlyName", "Test renderer"}};
    d.before_device = SPEC_VERSION;
    d.decl_break = "";
    for (const auto &s : services) d.services += service_xml(service_type(s.first), s.second);
    return description(d);
}

// ---------------------------------------------------------------- devices people own

// Services named after their fragments ("AVTransport:1"), controlled at
// <prefix>/<Name>/Control the way speakers and receivers lay them out.
inline std::string services_at(const std::string &prefix, const std::vector<std::string> &frags) {
    std::string s;
    for (const std::string &f : frags) {
        std::string name = f.substr(0, f.find(':'));
        s += service_xml(service{service_type(f), prefix + "/" + name + "/Control",
                                 "urn:upnp-org:serviceId:" + name, prefix + "/" + name + "/Event",
                                 prefix + "/xml/" + name + ".xml"});
    }
    return s;
}

// Where the speaker and the receiver below are described.
constexpr const char *SPEAKER_LOC = "http://192.168.1.30:1400/xml/device_description.xml";
constexpr const char *RECEIVER_LOC = "http://192.168.1.40:60006/upnp/desc/aios_device/aios_device.xml";

// A network speaker: a vendor root with seven services of its own, and inside it a
// media server (uuid:<id>_MS, no maker or model of its own) and a media renderer
// (uuid:<id>_MR) with vendor services beside the standard ones.
inline std::string speaker_description(const std::string &id, const std::string &room = "Kitchen") {
    device root;
    root.udn = "uuid:" + id;
    root.type = "urn:schemas-upnp-org:device:ZonePlayer:1";
    root.fields = {
        {"friendlyName", "192.168.1.30 - " + room}, {"manufacturer", "Acme Sound"}, {"modelName", "Play:1"}};
    root.before_device = SPEC_VERSION;
    root.services = services_at("", {"AlarmClock:1", "MusicServices:1", "AudioIn:1", "DeviceProperties:1",
                                     "SystemProperties:1", "ZoneGroupTopology:1", "GroupManagement:1"});
    device ms;
    ms.udn = "uuid:" + id + "_MS";
    ms.type = SERVER_TYPE;
    ms.fields = {{"friendlyName", room + " Media"}};
    ms.services = services_at("/MediaServer", {"ContentDirectory:1", "ConnectionManager:1"});
    device mr;
    mr.udn = "uuid:" + id + "_MR";
    mr.type = RENDERER_TYPE;
    mr.fields = {{"friendlyName", room}, {"manufacturer", "Acme Sound"}, {"modelName", "Play:1 Renderer"}};
    mr.services = services_at("/MediaRenderer", {"RenderingControl:1", "ConnectionManager:1", "AVTransport:1",
                                                 "Queue:1", "GroupRenderingControl:1"});
    root.embedded = {ms, mr};
    return description(root);
}

// An AV receiver: a vendor root, its renderer listed before its server, relative
// control URLs under a URLBase.
inline std::string receiver_description(const std::string &id, const std::string &base) {
    device root;
    root.udn = "uuid:" + id;
    root.type = "urn:schemas-vendor-com:device:AiosDevice:1";
    root.fields = {{"friendlyName", "Living Room AVR"}, {"manufacturer", "Acme AV"}, {"modelName", "AVR-X"}};
    root.before_device = std::string(SPEC_VERSION) + "<URLBase>" + base + "</URLBase>";
    root.services = services_at("ACT", {"ZoneControl:1", "GroupControl:1"});
    device mr;
    mr.udn = "uuid:" + id + "-renderer";
    mr.type = RENDERER_TYPE;
    mr.fields = {{"friendlyName", "Living Room AVR"}, {"modelName", "AVR-X Renderer"}};
    mr.services =
        services_at("upnp/renderer", {"AVTransport:1", "RenderingControl:1", "ConnectionManager:1"});
    device ms;
    ms.udn = "uuid:" + id + "-server";
    ms.type = SERVER_TYPE;
    ms.fields = {{"friendlyName", "Living Room AVR Server"}};
    ms.services = services_at("upnp/server", {"ContentDirectory:1", "ConnectionManager:1"});
    root.embedded = {mr, ms};
    return description(root);
}

// A network TV tuner: a container root and `tuners` embedded media servers.
inline std::string tuner_description(const std::string &id, int tuners) {
    device root;
    root.udn = "uuid:" + id;
    root.type = "urn:schemas-upnp-org:device:Basic:1";
    root.fields = {{"friendlyName", "TV Tuner"}, {"manufacturer", "Acme TV"}, {"modelName", "Quad"}};
    for (int k = 1; k <= tuners; k++) {
        device ms;
        ms.udn = "uuid:" + id + "-tuner" + std::to_string(k);
        ms.fields = {{"friendlyName", "TV Tuner " + std::to_string(k)}};
        ms.services =
            services_at("/tuner" + std::to_string(k), {"ContentDirectory:1", "ConnectionManager:1"});
        root.embedded.push_back(ms);
    }
    return description(root);
}

// A home router: a gateway with a WAN device and a connection device inside, no media device.
inline std::string router_description(const std::string &id) {
    device root;
    root.udn = "uuid:" + id;
    root.type = "urn:schemas-upnp-org:device:InternetGatewayDevice:1";
    root.fields = {{"friendlyName", "Home Router"}, {"manufacturer", "Acme Net"}, {"modelName", "R1"}};
    root.services = services_at("/igd", {"Layer3Forwarding:1"});
    device wan;
    wan.udn = "uuid:" + id + "-wan";
    wan.type = "urn:schemas-upnp-org:device:WANDevice:1";
    wan.services = services_at("/wan", {"WANCommonInterfaceConfig:1"});
    device conn;
    conn.udn = "uuid:" + id + "-conn";
    conn.type = "urn:schemas-upnp-org:device:WANConnectionDevice:1";
    conn.services = services_at("/conn", {"WANIPConnection:1"});
    wan.embedded = {conn};
    root.embedded = {wan};
    return description(root);
}

// ---------------------------------------------------------------- SSDP datagrams

// A datagram: the start line, the header lines as given, the empty line.
inline std::string ssdp_lines(const std::string &start, std::initializer_list<std::string> lines) {
    std::string s = start + "\r\n";
    for (const std::string &l : lines) s += l + "\r\n";
    return s + "\r\n";
}

inline std::string header(const char *name, const std::string &value) {
    return std::string(name) + ": " + value;
}

// A NOTIFY; HOST, CACHE-CONTROL (max_age < 0), LOCATION and SERVER are left
// out when empty.
struct notify_fields {
    std::string host = SSDP_HOST;
    int max_age = 1800;
    std::string location;
    std::string nt = "upnp:rootdevice";
    std::string nts = "ssdp:alive";
    std::string server;
    std::string usn;
};

inline std::string notify(const notify_fields &f) {
    std::string s = "NOTIFY * HTTP/1.1\r\n";
    if (!f.host.empty()) s += header("HOST", f.host) + "\r\n";
    if (f.max_age >= 0) s += header("CACHE-CONTROL", "max-age=" + std::to_string(f.max_age)) + "\r\n";
    if (!f.location.empty()) s += header("LOCATION", f.location) + "\r\n";
    s += header("NT", f.nt) + "\r\n" + header("NTS", f.nts) + "\r\n";
    if (!f.server.empty()) s += header("SERVER", f.server) + "\r\n";
    return s + header("USN", f.usn) + "\r\n\r\n";
}

inline std::string alive(const std::string &usn, const std::string &location, int max_age = 1800) {
    notify_fields f;
    f.max_age = max_age;
    f.location = location;
    f.usn = usn;
    return notify(f);
}

inline std::string byebye(const std::string &nt, const std::string &usn) {
    notify_fields f;
    f.host.clear();
    f.max_age = -1;
    f.nt = nt;
    f.nts = "ssdp:byebye";
    f.usn = usn;
    return notify(f);
}

// The alive NOTIFY a device of the given type sends for itself.
inline std::string announce(const std::string &udn, const std::string &type, const std::string &location) {
    notify_fields f;
    f.location = location;
    f.nt = type;
    f.usn = udn + "::" + type;
    return notify(f);
}

// A search reply; EXT is the empty header some devices add after CACHE-CONTROL.
struct reply_fields {
    int max_age = 1800;
    bool ext = false;
    std::string st;
    std::string usn;
    std::string location;
};

inline std::string reply(const reply_fields &f) {
    return "HTTP/1.1 200 OK\r\n" + header("CACHE-CONTROL", "max-age=" + std::to_string(f.max_age)) + "\r\n" +
           (f.ext ? "EXT:\r\n" : "") + header("ST", f.st) + "\r\n" + header("USN", f.usn) + "\r\n" +
           header("LOCATION", f.location) + "\r\n\r\n";
}

inline std::string reply(const std::string &st, const std::string &usn, const std::string &location,
                         int max_age = 1800) {
    reply_fields f;
    f.max_age = max_age;
    f.st = st;
    f.usn = usn;
    f.location = location;
    return reply(f);
}

// ---------------------------------------------------------------- SOAP envelopes

// How an envelope is laid out. Peers differ in the declaration, the encodingStyle
// attribute and the whitespace around the body; the reader must take them all.
struct envelope_form {
    const char *decl;
    const char *decl_break;
    bool encoding_style;
    const char *trailer;
    bool indented; // Body and Fault on lines of their own, as a pretty printer writes them
};

namespace form {
// What the component sends.
constexpr envelope_form request{"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "", true, "", false};
// Media servers: the declaration on a line of its own, CRLF line ends.
constexpr envelope_form server{"<?xml version=\"1.0\" encoding=\"utf-8\"?>", "\r\n", true, "\r\n", false};
// Renderers: a plain declaration on a line of its own.
constexpr envelope_form renderer{"<?xml version=\"1.0\"?>", "\n", true, "", false};
// One line, without encodingStyle.
constexpr envelope_form bare{"<?xml version=\"1.0\"?>", "", false, "", false};
// Indented line by line.
constexpr envelope_form indented{"<?xml version=\"1.0\"?>", "\n", true, "\n", true};
} // namespace form

inline std::string envelope(const std::string &body, const envelope_form &f) {
    const char *in = f.indented ? "\n " : "";
    return std::string(f.decl) + f.decl_break +
           "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"" +
           (f.encoding_style ? " s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"" : "") + ">" +
           in + "<s:Body>" + body + in + "</s:Body>" + (f.indented ? "\n" : "") + "</s:Envelope>" + f.trailer;
}

// The request the component sends for `action` of service `frag` (e.g. "ContentDirectory:1").
inline std::string soap_request(const std::string &action, const std::string &frag, const std::string &args) {
    return envelope("<u:" + action + " xmlns:u=\"" + service_type(frag) + "\">" + args + "</u:" + action +
                        ">",
                    form::request);
}

// A response of `action` carrying the output arguments `outs` (raw XML).
inline std::string action_response(const std::string &action, const std::string &frag,
                                   const std::string &outs, const envelope_form &f) {
    return envelope("<u:" + action + "Response xmlns:u=\"" + service_type(frag) + "\">" + outs +
                        "</u:" + action + "Response>",
                    f);
}

// A UPnP fault; the code is text so tests can send codes no int holds.
inline std::string fault(const std::string &code, const std::string &desc, const envelope_form &f) {
    auto ln = [&](int depth) { return f.indented ? "\n" + std::string((size_t)depth, ' ') : std::string(); };
    return envelope(ln(2) + "<s:Fault>" + ln(3) + "<faultcode>s:Client</faultcode>" + ln(3) +
                        "<faultstring>UPnPError</faultstring>" + ln(3) + "<detail>" + ln(4) +
                        "<UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">" + ln(5) + "<errorCode>" +
                        code + "</errorCode>" + ln(5) + "<errorDescription>" + desc + "</errorDescription>" +
                        ln(4) + "</UPnPError>" + ln(3) + "</detail>" + ln(2) + "</s:Fault>",
                    f);
}

// A fault the way media servers send it (with status 500).
inline std::string fault(int code, const std::string &desc) {
    return fault(std::to_string(code), desc, form::indented);
}

// A Browse response carrying didl (escaped into Result).
inline std::string browse_response(const std::string &didl, int nret, int total, unsigned uid,
                                   const std::string &frag = "ContentDirectory:1") {
    return action_response("Browse", frag,
                           "<Result>" + xml_escape(didl) + "</Result><NumberReturned>" +
                               std::to_string(nret) + "</NumberReturned><TotalMatches>" +
                               std::to_string(total) + "</TotalMatches><UpdateID>" + std::to_string(uid) +
                               "</UpdateID>",
                           form::server);
}

// ---------------------------------------------------------------- DIDL-Lite

inline std::string didl_open(bool dlna_ns = true) {
    return std::string("<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
                       "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                       "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\"") +
           (dlna_ns ? " xmlns:dlna=\"urn:schemas-dlna-org:metadata-1-0/\">" : ">");
}

inline std::string didl(const std::string &body, bool dlna_ns = true) {
    return didl_open(dlna_ns) + body + "</DIDL-Lite>";
}

inline std::string res(const char *pi, const char *url, const char *extra = "") {
    return std::string("<res protocolInfo=\"") + pi + "\"" + extra + ">" + url + "</res>";
}

// One audio item the way small servers write them.
inline std::string track(const std::string &parent, int i) {
    std::string id = parent + "$" + std::to_string(i);
    return "<item id=\"" + id + "\" parentID=\"" + parent + "\" restricted=\"1\"><dc:title>Track " +
           std::to_string(i) +
           "</dc:title><upnp:class>object.item.audioItem.musicTrack</upnp:class><dc:date>2021-03-04</dc:date>"
           "<res protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01\" size=\"" +
           std::to_string(1000 + i) + "\" duration=\"0:00:02.000\">http://10.0.0.9:8200/MediaItems/" + id +
           ".mp3</res><sec:CaptionInfoEx sec:type=\"srt\">http://10.0.0.9:8200/Captions/" + id +
           ".srt</sec:CaptionInfoEx></item>";
}

// ---------------------------------------------------------------- documents shaped like real servers'

// A DIDL-Lite page (the unescaped Result of a Browse) with `items` items.
// rich: music and video items with several res elements carrying protocolInfo,
// size, duration, bitrate and resolution, album art with dlna:profileID, and
// titles and names full of escaped characters (&amp; &lt; &gt; &quot; &apos;);
// 256 rich items come to about 200 KB. Otherwise: a lean page with title,
// class and one res per item and no escapes.
inline std::string didl_page(int items, bool rich) {
    std::string d = didl_open();
    char b[4096];
    for (int i = 0; i < items; i++) {
        if (!rich) {
            snprintf(
                b, sizeof b,
                "<item id=\"64$3$%d\" parentID=\"64$3\" restricted=\"1\"><dc:title>Track %d</dc:title>"
                "<upnp:class>object.item.audioItem.musicTrack</upnp:class>"
                "<res protocolInfo=\"http-get:*:audio/mpeg:*\">http://10.0.0.2:8200/MediaItems/%d.mp3</res>"
                "</item>",
                i, i, 1000 + i);
            d += b;
            continue;
        }
        bool video = i % 4 == 3;
        snprintf(b, sizeof b,
                 "<item id=\"64$3$1$%d\" parentID=\"64$3$1\" restricted=\"1\">"
                 "<dc:title>Track %d &amp; Friends &lt;Live&gt; &quot;Hall&quot; &#8211; "
                 "Rock &apos;n&apos; Roll</dc:title>"
                 "<upnp:class>%s</upnp:class>"
                 "<upnp:artist role=\"Performer\">The %d Sisters &amp; Brothers</upnp:artist>"
                 "<upnp:album>Hits &amp; More %d</upnp:album>"
                 "<upnp:genre>Rock &amp; Roll</upnp:genre>"
                 "<dc:date>2019-%02d-%02d</dc:date>"
                 "<upnp:albumArtURI dlna:profileID=\"JPEG_TN\">http://192.168.1.20:8200/AlbumArt/%d-%d.jpg"
                 "</upnp:albumArtURI>",
                 i, i, video ? "object.item.videoItem" : "object.item.audioItem.musicTrack", i % 50, i % 20,
                 i % 12 + 1, i % 28 + 1, 9000 + i, i);
        d += b;
        if (video)
            snprintf(
                b, sizeof b,
                "<res protocolInfo=\"http-get:*:video/mp4:DLNA.ORG_PN=AVC_MP4_MP_HD_720p_AAC;DLNA.ORG_OP=01;"
                "DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000\" size=\"%d\" "
                "duration=\"0:%02d:%02d.000\" bitrate=\"%d\" resolution=\"1280x720\" nrAudioChannels=\"2\" "
                "sampleFrequency=\"48000\">http://192.168.1.20:8200/MediaItems/%d.mp4</res>"
                "<res protocolInfo=\"http-get:*:video/x-matroska:*\" size=\"%d\" resolution=\"1920x1080\">"
                "http://192.168.1.20:8200/MediaItems/%d.mkv</res>",
                180000000 + i * 977, i % 60, i % 59, 500000 + i, 30000 + i, 390000000 + i, 30000 + i);
        else
            snprintf(
                b, sizeof b,
                "<res protocolInfo=\"http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;"
                "DLNA.ORG_FLAGS=01700000000000000000000000000000\" size=\"%d\" duration=\"0:0%d:%02d.000\" "
                "bitrate=\"40000\" sampleFrequency=\"44100\" nrAudioChannels=\"2\">"
                "http://192.168.1.20:8200/MediaItems/%d.mp3</res>",
                4000000 + i * 131, i % 7, i % 60, 20000 + i);
        d += b;
        d += "</item>";
    }
    d += "</DIDL-Lite>";
    return d;
}

// A page the way a music server writes it: about 750 bytes per item, so 256 of
// them make a response just under the reader's bound once escaped.
inline std::string music_page(int items, int first = 0) {
    std::string d = didl_open();
    char b[2048];
    for (int k = 0; k < items; k++) {
        int i = first + k;
        snprintf(
            b, sizeof b,
            "<item id=\"64$3$1$%d\" parentID=\"64$3$1\" restricted=\"1\"><dc:title>%02d - Song Number %d "
            "(Remastered)</dc:title><upnp:class>object.item.audioItem.musicTrack</upnp:class>"
            "<upnp:artist>Some Artist</upnp:artist><upnp:album>An Album Title %d"
            "</upnp:album><upnp:genre>Rock</upnp:genre><dc:date>2001-01-01</dc:date>"
            "<upnp:originalTrackNumber>%d</upnp:originalTrackNumber><upnp:albumArtURI dlna:profileID="
            "\"JPEG_TN\">http://192.168.1.20:8200/AlbumArt/"
            "%d-%d.jpg</upnp:albumArtURI><res size=\"%d\" duration=\"0:04:%02d.120\" bitrate=\"40000\" "
            "sampleFrequency=\"44100\" nrAudioChannels=\"2\" protocolInfo=\"http-get:*:audio/mpeg:"
            "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000\">"
            "http://192.168.1.20:8200/MediaItems/%d.mp3</res></item>",
            i, i % 20 + 1, i, i / 12, i % 20 + 1, 500 + i, i, 4000000 + i * 313, i % 60, 1000 + i);
        d += b;
    }
    return d + "</DIDL-Lite>";
}

// The rich page with two subtitle resources and a caption element on every item.
inline std::string rich_page_with_subtitles() {
    std::string d = didl_page(256, true);
    std::string out;
    out.reserve(d.size() * 3 / 2);
    size_t at = 0, n = 0;
    for (size_t e; (e = d.find("</item>", at)) != std::string::npos; at = e + 7, n++) {
        out.append(d, at, e - at);
        char b[400];
        snprintf(
            b, sizeof b,
            "<res protocolInfo=\"http-get:*:text/srt:*\">http://192.168.1.20:8200/C/%zu.srt</res>"
            "<sec:CaptionInfoEx sec:type=\"srt\">http://192.168.1.20:8200/C/%zu.en.srt</sec:CaptionInfoEx>"
            "</item>",
            n, n);
        out += b;
    }
    out.append(d, at, std::string::npos);
    out.insert(out.find('>'), " xmlns:sec=\"http://www.sec.co.kr/\"");
    return out;
}

// A media server's device description as a typical server sends it (about 4 KB).
inline std::string typical_server_description() {
    std::string d =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
        "<root xmlns=\"urn:schemas-upnp-org:device-1-0\" "
        "xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">\r\n"
        "  <specVersion>\r\n    <major>1</major>\r\n    <minor>0</minor>\r\n  </specVersion>\r\n"
        "  <URLBase>http://192.168.1.20:8200/</URLBase>\r\n"
        "  <device>\r\n"
        "    <deviceType>urn:schemas-upnp-org:device:MediaServer:1</deviceType>\r\n"
        "    <friendlyName>Living Room &amp; Den: Media</friendlyName>\r\n"
        "    <manufacturer>Example Audio &amp; Video Ltd.</manufacturer>\r\n"
        "    <manufacturerURL>http://www.example.com/</manufacturerURL>\r\n"
        "    <modelDescription>Home media server &lt;DLNA 1.5&gt;</modelDescription>\r\n"
        "    <modelName>Media Server</modelName>\r\n"
        "    <modelNumber>1.3.0</modelNumber>\r\n"
        "    <modelURL>http://www.example.com/server/</modelURL>\r\n"
        "    <serialNumber>00000000</serialNumber>\r\n"
        "    <UDN>uuid:4d696e69-444c-164e-9d41-b827eb5fa3c1</UDN>\r\n"
        "    <dlna:X_DLNADOC xmlns:dlna=\"urn:schemas-dlna-org:device-1-0\">DMS-1.50</dlna:X_DLNADOC>\r\n"
        "    <presentationURL>http://192.168.1.20:8200/</presentationURL>\r\n"
        "    <iconList>\r\n";
    const char *icons[][3] = {{"image/png", "48", "png"},
                              {"image/png", "120", "png"},
                              {"image/jpeg", "48", "jpg"},
                              {"image/jpeg", "120", "jpg"}};
    char b[1024];
    for (auto &ic : icons) {
        snprintf(b, sizeof b,
                 "      <icon>\r\n        <mimetype>%s</mimetype>\r\n        <width>%s</width>\r\n"
                 "        <height>%s</height>\r\n        <depth>24</depth>\r\n"
                 "        <url>/icons/sm.%s</url>\r\n      </icon>\r\n",
                 ic[0], ic[1], ic[1], ic[2]);
        d += b;
    }
    d += "    </iconList>\r\n    <serviceList>\r\n";
    const char *svcs[][3] = {{"ContentDirectory", "1", "ContentDir"},
                             {"ConnectionManager", "1", "ConnectionMgr"},
                             {"X_MS_MediaReceiverRegistrar", "1", "X_MS_MediaReceiverRegistrar"}};
    for (auto &s : svcs) {
        snprintf(b, sizeof b,
                 "      <service>\r\n"
                 "        <serviceType>urn:%s:service:%s:%s</serviceType>\r\n"
                 "        <serviceId>urn:%s:serviceId:%s</serviceId>\r\n"
                 "        <controlURL>/ctl/%s</controlURL>\r\n"
                 "        <eventSubURL>/evt/%s</eventSubURL>\r\n"
                 "        <SCPDURL>/%s.xml</SCPDURL>\r\n"
                 "      </service>\r\n",
                 s[0][0] == 'X' ? "microsoft.com" : "schemas-upnp-org", s[0], s[1],
                 s[0][0] == 'X' ? "microsoft.com" : "upnp-org", s[0], s[2], s[2], s[2]);
        d += b;
    }
    d += "    </serviceList>\r\n"
         "    <deviceList>\r\n"
         "      <device>\r\n"
         "        <deviceType>urn:schemas-upnp-org:device:Basic:1</deviceType>\r\n"
         "        <friendlyName>Embedded helper</friendlyName>\r\n"
         "        <manufacturer>Example</manufacturer>\r\n"
         "        <modelName>Helper</modelName>\r\n"
         "        <UDN>uuid:4d696e69-444c-164e-9d41-b827eb5fa3c2</UDN>\r\n"
         "      </device>\r\n"
         "    </deviceList>\r\n"
         "  </device>\r\n"
         "</root>\r\n";
    return d;
}

} // namespace docs
