// Hostile inputs generated up to the size bounds, for the XML reader and every
// parser built on it: deep nesting, long runs, long names, many attributes,
// counts no integer holds, unterminated constructs, floods of references. Each
// row must end in a defined success or failure with sane counts. Nothing here
// is timed: a row that stops advancing is caught by the test's time-out.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <functional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "helpers/docs.h"
#include "http/io_fake.h"
#include "kvdmc.h"
#include "parse/xml.h"

using docs::repeat;

namespace {

// head, then as many units as fit in limit bytes, then tail.
std::string fill(const std::string &head, const std::string &unit, const std::string &tail,
                 size_t limit = XML_MAX_DOC) {
    return head + repeat(unit, (limit - head.size() - tail.size()) / unit.size()) + tail;
}

// Room left in a document of the reader's size for a run between head and tail.
size_t room(const std::string &head, const std::string &tail) {
    return XML_MAX_DOC - head.size() - tail.size();
}

enum outcome { SUCCEEDS, FAILS, EITHER };

const char *outcome_name(outcome o) {
    return o == SUCCEEDS ? "success" : o == FAILS ? "failure" : "either";
}

void expect_outcome(outcome want, bool succeeded) {
    if (want != EITHER) {
        EXPECT_EQ(succeeded, want == SUCCEEDS) << "expected " << outcome_name(want);
    }
}

bool valid_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

// A JSON text the component handed out: one whole object.
rapidjson::Document json(const char *text) {
    rapidjson::Document d;
    d.Parse(text);
    EXPECT_FALSE(d.HasParseError()) << text;
    EXPECT_TRUE(d.IsObject()) << text;
    return d;
}

// ---------------------------------------------------------------- the XML reader

struct xml_summary {
    bool opened = false;
    int result = 0; // 0 end of document, -1 error
    std::string err;
    size_t events = 0, starts = 0, ends = 0, texts = 0, text_bytes = 0, max_name = 0, max_attr_name = 0;
    int max_depth = 0, min_depth = 0, max_attrs = 0;
};

xml_summary read_all(const std::string &doc) {
    xml_summary s;
    char err[256] = "";
    xmlrd *x = xml_open(doc.data(), doc.size(), err, sizeof err);
    if (!x) {
        s.result = -1;
        s.err = err;
        return s;
    }
    s.opened = true;
    // Every event consumes input or ends a CDATA part, so a reader that stops
    // advancing shows as more events than bytes.
    for (size_t guard = 0; guard <= doc.size() + 2; guard++) {
        const char *p = nullptr;
        size_t n = 0;
        int ev = xml_next(x, &p, &n);
        if (ev <= 0) {
            s.result = ev;
            if (ev < 0) s.err = xml_error(x);
            xml_close(x);
            return s;
        }
        s.events++;
        int d = xml_depth(x);
        s.max_depth = d > s.max_depth ? d : s.max_depth;
        s.min_depth = d < s.min_depth ? d : s.min_depth;
        if (ev == XML_EV_TEXT) {
            s.texts++;
            s.text_bytes += n;
            EXPECT_LT(n, XML_TEXT_CAP);
            continue;
        }
        EXPECT_LT(n, XML_NAME_CAP);
        s.max_name = n > s.max_name ? n : s.max_name;
        if (ev == XML_EV_END) {
            s.ends++;
            continue;
        }
        s.starts++;
        s.max_attrs = xml_attr_count(x) > s.max_attrs ? xml_attr_count(x) : s.max_attrs;
        for (int i = 0; i < xml_attr_count(x); i++) {
            const xml_attr_t &a = xml_attrs(x)[i];
            EXPECT_EQ(memchr(a.name, 0, a.nlen), nullptr);
            EXPECT_EQ(memchr(a.val, 0, a.vlen), nullptr);
            EXPECT_LT(a.vlen, sizeof a.buf);
            s.max_attr_name = xml_attrs(x)[i].nlen > s.max_attr_name ? xml_attrs(x)[i].nlen : s.max_attr_name;
        }
    }
    xml_close(x);
    s.result = -2;
    s.err = "runaway: more events than input bytes";
    return s;
}

struct xml_row {
    const char *name;
    std::function<std::string()> make;
    outcome want;
    std::function<void(const xml_summary &)> check;
};

const size_t UNITS_AMP = room("<a>", "</a>") / 5;

const xml_row XML_ROWS[] = {
    {"nesting far past the depth bound", [] { return fill("", "<a>", ""); }, FAILS,
     [](const xml_summary &s) { EXPECT_EQ(s.starts, (size_t)XML_MAX_DEPTH); }},
    {"nesting exactly at the depth bound",
     [] { return repeat("<a>", XML_MAX_DEPTH) + "x" + repeat("</a>", XML_MAX_DEPTH); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.max_depth, XML_MAX_DEPTH); }},
    {"stray end tags", [] { return fill("", "</a>", ""); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.ends, XML_MAX_DOC / 4); }},
    {"one text run of the whole document",
     [] { return "<a>" + std::string(room("<a>", "</a>"), 'x') + "</a>"; }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.text_bytes, room("<a>", "</a>")); }},
    {"a run of named references", [] { return fill("<a>", "&amp;", "</a>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.text_bytes, UNITS_AMP); }},
    {"a run of references to the last code point", [] { return fill("<a>", "&#x10FFFF;", "</a>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.text_bytes, room("<a>", "</a>") / 10 * 4); }},
    {"references split at every buffer boundary", [] { return fill("<a>", "x&lt;", "</a>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.text_bytes, room("<a>", "</a>") / 5 * 2); }},
    // An '&' that starts no reference is text: these read through as long runs of text.
    {"a run of unknown references", [] { return fill("<a>", "&bogus;", "</a>"); }, SUCCEEDS, nullptr},
    {"an ampersand that never ends", [] { return "<a>&" + std::string(room("<a>&", "</a>"), 'a') + "</a>"; },
     SUCCEEDS, nullptr},
    {"numeric references beyond any code point", [] { return fill("<a>", "&#99999999999;", "</a>"); },
     SUCCEEDS, nullptr},
    {"an element name of the whole document", [] { return "<" + std::string(room("<", "/>"), 'n') + "/>"; },
     SUCCEEDS, [](const xml_summary &s) { EXPECT_EQ(s.max_name, XML_NAME_CAP - 1); }},
    {"an end tag name of the whole document",
     [] { return "<a></" + std::string(room("<a></", ">"), 'n') + ">"; }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.max_name, XML_NAME_CAP - 1); }},
    {"an attribute name of the whole document",
     [] { return "<a " + std::string(room("<a ", "=\"v\"/>"), 'n') + "=\"v\"/>"; }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.max_attr_name, XML_ATTR_NAME_CAP - 1); }},
    // Values longer than an entry are kept cut and marked, not refused with the document.
    {"an attribute value of the whole document",
     [] { return "<a b=\"" + std::string(room("<a b=\"", "\"/>"), 'v') + "\"/>"; }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.max_attrs, 1); }},
    {"an attribute value of references", [] { return fill("<a b=\"", "&amp;", "\"/>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.max_attrs, 1); }},
    {"attributes by the ten thousand", [] { return fill("<a", " b=\"c\"", "/>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.max_attrs, XML_MAX_ATTR); }},
    {"elements by the ten thousand", [] { return fill("<r>", "<a/>", "</r>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.starts, room("<r>", "</r>") / 4 + 1); }},
    {"comments by the ten thousand", [] { return fill("<a>", "<!---->", "</a>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.events, 2u); }},
    {"processing instructions by the ten thousand", [] { return fill("", "<?p?>", "<a/>"); }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.starts, 1u); }},
    {"a declaration behind the screened prolog", [] { return fill("", "<?p?>", "<!DOCTYPE a><a/>"); }, FAILS,
     [](const xml_summary &s) { EXPECT_TRUE(s.opened); }},
    {"CDATA of the whole document",
     [] { return "<a><![CDATA[" + std::string(room("<a><![CDATA[", "]]></a>"), 'x') + "]]></a>"; }, SUCCEEDS,
     [](const xml_summary &s) { EXPECT_EQ(s.text_bytes, room("<a><![CDATA[", "]]></a>")); }},
    {"an unterminated comment", [] { return "<a><!--" + std::string(room("<a><!--", ""), '-'); }, FAILS,
     nullptr},
    {"an unterminated CDATA section",
     [] { return "<a><![CDATA[" + std::string(room("<a><![CDATA[", ""), ']'); }, FAILS, nullptr},
    {"an unterminated processing instruction", [] { return "<?" + std::string(room("<?", ""), '?'); }, FAILS,
     nullptr},
    {"an unterminated attribute value", [] { return "<a b=\"" + std::string(room("<a b=\"", ""), 'v'); },
     FAILS, nullptr},
    {"an unterminated start tag", [] { return "<a" + std::string(room("<a", ""), ' '); }, FAILS, nullptr},
    {"a run of open brackets", [] { return std::string(XML_MAX_DOC, '<'); }, FAILS, nullptr},
    {"one byte over the size bound", [] { return std::string(XML_MAX_DOC + 1, ' '); }, FAILS,
     [](const xml_summary &s) { EXPECT_FALSE(s.opened); }},
    {"a NUL byte deep inside", [] { return "<a>" + std::string(100000, 'x') + '\0' + "</a>"; }, FAILS,
     [](const xml_summary &s) { EXPECT_FALSE(s.opened); }},
};

TEST(Pathological, XmlReader) {
    for (const xml_row &r : XML_ROWS) {
        SCOPED_TRACE(r.name);
        std::string doc = r.make();
        xml_summary s = read_all(doc);
        ASSERT_NE(s.result, -2) << s.err;
        expect_outcome(r.want, s.result == 0);
        if (s.result != 0) {
            EXPECT_FALSE(s.err.empty());
        }
        EXPECT_LE(s.max_depth, XML_MAX_DEPTH);
        EXPECT_LE(s.max_attrs, XML_MAX_ATTR);
        if (r.check) r.check(s);
    }
}

// ---------------------------------------------------------------- device descriptions

const char *const LOCATION = "http://192.0.2.1:80/d.xml";

std::string described(const std::string &before_device, const std::string &after_udn = "",
                      const std::string &services = docs::service_xml(docs::CDS_TYPE, "/ctl")) {
    docs::device d;
    d.udn = "uuid:patho";
    d.before_device = before_device;
    d.after_udn = after_udn;
    d.services = services;
    return docs::description(d);
}

std::string with_field(const char *name, const std::string &value) {
    docs::device d;
    d.udn = "uuid:patho";
    d.fields.push_back({name, value});
    return docs::description(d);
}

// Fits the generated part into the reader's bound with a description around it.
size_t desc_room() {
    return XML_MAX_DOC - described("").size() - 64;
}

struct desc_row {
    const char *name;
    std::function<std::string()> make;
    outcome want;
    std::function<void(const rapidjson::Document &)> check;
};

const desc_row DESC_ROWS[] = {
    {"nesting past the depth bound before the device", [] { return described(fill("", "<x>", "", 4000)); },
     FAILS, nullptr},
    {"nesting past the depth bound after the UDN", [] { return described("", fill("", "<x>", "", 4000)); },
     SUCCEEDS, nullptr},
    {"a UDN of the whole document",
     [] {
         docs::device d;
         d.udn = "uuid:" + std::string(desc_room(), 'u');
         return docs::description(d);
     },
     SUCCEEDS, [](const rapidjson::Document &j) { EXPECT_EQ(j["udn"].GetStringLength(), 79u); }},
    {"a friendlyName of references",
     [] {
         docs::device d;
         d.udn = "uuid:patho";
         d.fields[0].second = repeat("&amp;", desc_room() / 5);
         return docs::description(d);
     },
     SUCCEEDS, [](const rapidjson::Document &j) { EXPECT_EQ(j["name"].GetString(), std::string(120, '&')); }},
    {"services by the thousand",
     [] { return described("", "", fill("", docs::service_xml(docs::CDS_TYPE, "/ctl"), "", desc_room())); },
     SUCCEEDS, [](const rapidjson::Document &j) { EXPECT_EQ(j["services"].Size(), 8u); }},
    {"a control URL of the whole document",
     [] { return described("", "", docs::service_xml(docs::CDS_TYPE, "/" + std::string(desc_room(), 'c'))); },
     SUCCEEDS,
     [](const rapidjson::Document &j) {
         ASSERT_EQ(j["services"].Size(), 1u);
         EXPECT_LE(j["services"][0]["control"].GetStringLength(), 255u);
     }},
    {"a URLBase of the whole document",
     [] { return described("<URLBase>http://b/" + std::string(desc_room(), 'p') + "/</URLBase>"); }, SUCCEEDS,
     [](const rapidjson::Document &j) { EXPECT_LE(j["services"][0]["control"].GetStringLength(), 255u); }},
    {"a port of the whole document in URLBase",
     [] { return described("<URLBase>http://b:" + std::string(desc_room(), '9') + "/</URLBase>"); }, SUCCEEDS,
     nullptr},
    {"UDN elements by the thousand",
     [] { return described("", fill("", "<UDN>uuid:again</UDN>", "", 200000)); }, SUCCEEDS,
     [](const rapidjson::Document &j) { EXPECT_STREQ(j["udn"].GetString(), "uuid:again"); }},
    {"empty device fields by the thousand",
     [] { return described(fill("", "<UDN/><deviceType/>", "", 200000)); }, SUCCEEDS, nullptr},
    {"many attributes on every element",
     [] { return described(fill("", "<x" + repeat(" a=\"b\"", 40) + "/>", "", 200000)); }, SUCCEEDS, nullptr},
    {"a document cut inside the service list",
     [] {
         std::string d = described("", "", fill("", docs::service_xml(docs::CDS_TYPE, "/ctl"), "", 100000));
         return d.substr(0, d.size() - 5000);
     },
     SUCCEEDS, [](const rapidjson::Document &j) { EXPECT_EQ(j["services"].Size(), 8u); }},
    {"a field opened and never closed",
     [] { return with_field("friendlyName", std::string(desc_room(), 'f')); }, SUCCEEDS,
     [](const rapidjson::Document &j) { EXPECT_EQ(j["name"].GetStringLength(), 120u); }},
    {"one byte over the size bound",
     [] { return described("", std::string(XML_MAX_DOC + 1 - described("").size(), ' ')); }, FAILS, nullptr},
};

TEST(Pathological, DeviceDescriptions) {
    for (const desc_row &r : DESC_ROWS) {
        SCOPED_TRACE(r.name);
        std::string doc = r.make();
        int rc = kvdmc_parse_description(doc.c_str(), LOCATION);
        EXPECT_TRUE(rc == 0 || rc == -9) << rc << ": " << kvdmc_last_error();
        expect_outcome(r.want, rc == 0);
        if (rc != 0) {
            EXPECT_NE(kvdmc_last_error()[0], 0);
            continue;
        }
        rapidjson::Document j = json(kvdmc_last_json());
        if (HasFailure()) continue;
        EXPECT_LE(j["udn"].GetStringLength(), 79u);
        EXPECT_LE(j["name"].GetStringLength(), 120u);
        EXPECT_LE(j["services"].Size(), 8u);
        if (r.check) r.check(j);
    }
}

// ---------------------------------------------------------------- DIDL-Lite

std::string item_with(const std::string &inner, const std::string &attrs = " id=\"i\"") {
    return docs::didl("<item" + attrs + ">" + inner + "</item>");
}

size_t didl_room() {
    return XML_MAX_DOC - item_with("").size() - 64;
}

struct didl_row {
    const char *name;
    std::function<std::string()> make;
    outcome want;
    std::function<void(int items)> check;
};

// The JSON of item i, parsed.
rapidjson::Document item(int i) {
    return json(kvdmc_item_json(i));
}

const didl_row DIDL_ROWS[] = {
    {"items past the table", [] { return docs::didl(fill("", "<item/>", "", didl_room())); }, FAILS,
     [](int n) { EXPECT_EQ(n, 4096); }},
    {"containers past the table",
     [] { return docs::didl(fill("", "<container childCount=\"1\"/>", "", didl_room())); }, FAILS,
     [](int n) { EXPECT_EQ(n, 4096); }},
    {"resources by the thousand",
     [] {
         std::string r;
         for (int i = 0; r.size() < didl_room() - 100; i++)
             r +=
                 docs::res("http-get:*:a/b:*", "http://h/r", (" size=\"" + std::to_string(i) + "\"").c_str());
         return item_with(r);
     },
     SUCCEEDS,
     [](int n) {
         ASSERT_EQ(n, 1);
         EXPECT_GT(item(0)["res"]["size"].GetInt64(), 1000);
     }},
    {"a size beyond 64 bits",
     [] {
         return item_with(docs::res("http-get:*:a/b:*", "http://h/r", " size=\"99999999999999999999999\""));
     },
     SUCCEEDS, [](int) { EXPECT_EQ(item(0)["res"]["size"].GetInt64(), INT64_MAX); }},
    {"a negative size beyond 64 bits",
     [] {
         return item_with(docs::res("http-get:*:a/b:*", "http://h/r", " size=\"-99999999999999999999999\""));
     },
     SUCCEEDS, [](int) { EXPECT_EQ(item(0)["res"]["size"].GetInt64(), -INT64_MAX); }},
    {"a size of 400 digits",
     [] {
         return item_with(docs::res("http-get:*:a/b:*", "http://h/r",
                                    (" size=\"" + std::string(400, '7') + "\"").c_str()));
     },
     SUCCEEDS, [](int) { EXPECT_EQ(item(0)["res"]["size"].GetInt64(), INT64_MAX); }},
    {"a childCount beyond 64 bits",
     [] { return docs::didl("<container id=\"c\" childCount=\"99999999999999999999999\"/>"); }, SUCCEEDS,
     [](int) { EXPECT_EQ(item(0)["childcount"].GetInt(), INT_MAX); }},
    {"subtitles by the thousand",
     [] {
         return item_with(fill("", "<sec:CaptionInfoEx>http://h/s.srt</sec:CaptionInfoEx>", "", didl_room()));
     },
     SUCCEEDS, [](int) { EXPECT_EQ(item(0)["subs"].Size(), 8u); }},
    {"a title of three-byte letters",
     [] { return item_with("<dc:title>" + fill("x", "\xE3\x81\x82", "", didl_room() - 30) + "</dc:title>"); },
     SUCCEEDS, [](int) { EXPECT_LE(item(0)["title"].GetStringLength(), 250u); }},
    {"a title of references to four-byte letters",
     [] { return item_with("<dc:title>" + fill("", "&#x1F600;", "", didl_room() - 30) + "</dc:title>"); },
     SUCCEEDS,
     [](int) {
         std::string t = item(0)["title"].GetString();
         EXPECT_EQ(t.size(), 248u);
         EXPECT_TRUE(valid_utf8(t));
     }},
    {"nesting past the depth bound inside an item", [] { return item_with(fill("", "<x>", "", 4000)); },
     FAILS, nullptr},
    {"an item never closed", [] { return docs::didl_open() + "<item id=\"i\"><dc:title>open"; }, SUCCEEDS,
     [](int n) { EXPECT_EQ(n, 1); }},
    {"the id behind the attribute bound",
     [] { return item_with("", repeat(" x=\"y\"", 20) + " id=\"late\""); }, SUCCEEDS,
     [](int) { EXPECT_STREQ(item(0)["id"].GetString(), ""); }},
    {"an id of the longest length kept",
     [] { return item_with("", " id=\"" + std::string(1023, 'i') + "\""); }, SUCCEEDS,
     [](int n) {
         ASSERT_EQ(n, 1);
         EXPECT_EQ(strlen(item(0)["id"].GetString()), 1023u);
     }},
    {"an id longer than an attribute value holds",
     [] { return item_with("", " id=\"" + std::string(1024, 'i') + "\""); }, SUCCEEDS,
     [](int n) { EXPECT_EQ(n, 0) << "an object whose id would be cut is skipped"; }},
    {"items nested in items",
     [] { return docs::didl(repeat("<item id=\"n\">", 30) + repeat("</item>", 30)); }, SUCCEEDS,
     [](int n) { EXPECT_EQ(n, 30); }},
};

TEST(Pathological, DidlLite) {
    for (const didl_row &r : DIDL_ROWS) {
        SCOPED_TRACE(r.name);
        std::string doc = r.make();
        ASSERT_LE(doc.size(), XML_MAX_DOC);
        int rc = kvdmc_parse_didl(doc.c_str());
        EXPECT_TRUE(rc == 0 || rc == -9) << rc << ": " << kvdmc_last_error();
        expect_outcome(r.want, rc == 0);
        int n = kvdmc_item_count();
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 4096);
        for (int i = 0; i < n && !HasFailure(); i++) json(kvdmc_item_json(i));
        if (rc == 0) {
            EXPECT_EQ((int)json(kvdmc_last_json())["items"].Size(), n);
        }
        if (r.check && !HasFailure()) r.check(n);
    }
}

// ---------------------------------------------------------------- SSDP datagrams

struct ssdp_row {
    const char *name;
    std::function<std::string()> make;
    outcome want;
    int max_age; // checked on success when > 0
};

const std::string REPLY_HEAD = "HTTP/1.1 200 OK\r\nST: a\r\nUSN: b\r\nLOCATION: http://h/\r\n";

const ssdp_row SSDP_ROWS[] = {
    {"max-age beyond 64 bits",
     [] { return REPLY_HEAD + "CACHE-CONTROL: max-age=" + std::string(100, '9') + "\r\n\r\n"; }, SUCCEEDS,
     1800},
    {"max-age after thousands of zeros",
     [] { return REPLY_HEAD + "CACHE-CONTROL: max-age=" + std::string(3900, '0') + "120\r\n\r\n"; }, SUCCEEDS,
     120},
    {"max-age negative beyond 64 bits",
     [] { return REPLY_HEAD + "CACHE-CONTROL: max-age=-" + std::string(100, '9') + "\r\n\r\n"; }, SUCCEEDS,
     1800},
    {"header lines to the size bound", [] { return fill(REPLY_HEAD, "X: y\r\n", "\r\n", 4096); }, SUCCEEDS,
     1800},
    {"empty lines to the size bound",
     [] { return fill("HTTP/1.1 200 OK", "\r\n", "ST: a\r\nUSN: b\r\nLOCATION: c", 4096); }, SUCCEEDS, 1800},
    {"line feeds without carriage returns",
     [] { return fill("NOTIFY * HTTP/1.1\nNT: t\nNTS: ssdp:alive\n", "\n", "", 4096); }, SUCCEEDS, 1800},
    {"a header name of the whole datagram", [] { return "HTTP/1.1 200 OK\r\n" + std::string(4000, 'A'); },
     FAILS, 0},
    {"a status line of the whole datagram", [] { return "HTTP/1.1 " + std::string(4000, '2'); }, FAILS, 0},
    {"every header twice over",
     [] { return fill("NOTIFY * HTTP/1.1\r\n", "NT: t\r\nNTS: ssdp:alive\r\n", "", 4096); }, SUCCEEDS, 1800},
    {"one byte over the size bound", [] { return fill(REPLY_HEAD, "X", "\r\n", 4097); }, FAILS, 0},
};

TEST(Pathological, SsdpDatagrams) {
    for (const ssdp_row &r : SSDP_ROWS) {
        SCOPED_TRACE(r.name);
        std::string pkt = r.make();
        int rc = kvdmc_parse_ssdp(pkt.c_str());
        EXPECT_TRUE(rc == 0 || rc == -1) << rc;
        expect_outcome(r.want, rc == 0);
        if (rc != 0) continue;
        rapidjson::Document j = json(kvdmc_last_json());
        if (HasFailure()) continue;
        EXPECT_LE(j["st"].GetStringLength(), 159u);
        EXPECT_LE(j["usn"].GetStringLength(), 239u);
        EXPECT_LE(j["location"].GetStringLength(), 511u);
        if (r.max_age > 0) {
            EXPECT_EQ(j["max_age"].GetInt(), r.max_age);
        }
    }
}

// ---------------------------------------------------------------- SOAP responses

const char *const UDN = "uuid:patho-server";
const char *const CTL = "http://192.0.2.7:80/ctl/ContentDirectory";

std::string browse_body(const std::string &result, const std::string &nret, const std::string &total,
                        const std::string &uid = "1") {
    return docs::action_response("Browse", "ContentDirectory:1",
                                 "<Result>" + result + "</Result><NumberReturned>" + nret +
                                     "</NumberReturned><TotalMatches>" + total + "</TotalMatches><UpdateID>" +
                                     uid + "</UpdateID>",
                                 docs::form::server);
}

std::string one_item() {
    return docs::xml_escape(docs::didl("<item id=\"1\"><dc:title>t</dc:title></item>"));
}

const std::string HUGE_COUNT(30, '9');

struct soap_row {
    const char *name;
    int status;
    std::function<std::string()> make;
    int rc;         // the browse result
    int code;       // the last code
    unsigned posts; // requests the browse made
};

const soap_row SOAP_ROWS[] = {
    {"counts beyond 64 bits", 200, [] { return browse_body(one_item(), HUGE_COUNT, HUGE_COUNT); }, 1, -8, 1},
    {"negative counts beyond 64 bits", 200,
     [] { return browse_body(one_item(), "-" + HUGE_COUNT, "-" + HUGE_COUNT); }, 1, 0, 1},
    {"an UpdateID beyond 64 bits", 200, [] { return browse_body(one_item(), "1", "1", HUGE_COUNT); }, 1, 0,
     1},
    // The same item on every page: the second page repeats the first and ends the listing.
    {"one item per page and a total beyond 64 bits", 200,
     [] { return browse_body(one_item(), "1", HUGE_COUNT); }, 1, -8, 2},
    {"a fault code beyond 64 bits", 500, [] { return docs::fault(HUGE_COUNT, "x", docs::form::indented); },
     -6, -6, 1},
    {"a fault description of the whole document", 500,
     [] { return docs::fault("701", std::string(200000, 'd'), docs::form::indented); }, -6, -4, 1},
    {"a Result nested past the depth bound", 200,
     [] { return browse_body(docs::xml_escape(docs::didl(repeat("<x>", 40))), "1", "1"); }, -6, -9, 1},
    {"an envelope nested past the depth bound", 200,
     [] { return repeat("<x>", 40) + browse_body(one_item(), "1", "1"); }, -6, -9, 1},
    {"Result arguments by the thousand", 200,
     [] {
         std::string outs = repeat("<Result>" + one_item() + "</Result>", 500);
         return docs::action_response("Browse", "ContentDirectory:1", outs, docs::form::server);
     },
     500, 0, 1},
    {"NumberReturned arguments by the thousand", 200,
     [] {
         std::string outs = "<Result>" + one_item() + "</Result>" +
                            fill("", "<NumberReturned>9</NumberReturned>", "", 200000) +
                            "<TotalMatches>5</TotalMatches>";
         return docs::action_response("Browse", "ContentDirectory:1", outs, docs::form::server);
     },
     1, 0, 1},
    {"an envelope cut inside the Result", 200,
     [] {
         std::string b = browse_body(one_item(), "1", "1");
         return b.substr(0, b.find("&lt;/DIDL-Lite&gt;"));
     },
     1, 0, 1},
    {"a body of whitespace before the envelope", 200,
     [] { return std::string(200000, ' ') + browse_body(one_item(), "1", "1"); }, 1, 0, 1},
};

class PathologicalSoap : public ::testing::Test {
  protected:
    void SetUp() override {
        kvdmc_config("browse_page", nullptr);
        kvdmc_use_fake();
        kvdmc_fake_reset();
        kvdmc_devices_clear();
        kvdmc_cache_clear();
        const char *loc = "http://192.0.2.7:80/d.xml";
        ASSERT_EQ(kvdmc_fake_set(loc, 200, docs::server_description(UDN, {"ContentDirectory:1"}).c_str()), 0);
        ASSERT_EQ(kvdmc_fake_ssdp(docs::announce(UDN, docs::SERVER_TYPE, loc).c_str(), "192.0.2.7"), 0)
            << kvdmc_last_error();
    }
    void TearDown() override {
        kvdmc_fake_reset();
        kvdmc_devices_clear();
        kvdmc_cache_clear();
    }
};

TEST_F(PathologicalSoap, BrowseResponses) {
    for (const soap_row &r : SOAP_ROWS) {
        SCOPED_TRACE(r.name);
        kvdmc_cache_clear();
        ASSERT_EQ(fake_set_post(CTL, "Browse", r.status, r.make().c_str()), 0);
        unsigned before = kvdmc_fake_calls(nullptr);
        int rc = kvdmc_browse(UDN, "0", 0, 0, 0);
        EXPECT_EQ(rc, r.rc) << kvdmc_last_error();
        EXPECT_EQ(kvdmc_last_code(), r.code) << kvdmc_last_error();
        EXPECT_EQ(kvdmc_fake_calls(nullptr) - before, r.posts);
        EXPECT_LT(strlen(kvdmc_last_error()), 256u);
        int n = kvdmc_item_count();
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 4096);
        if (rc >= 0) {
            EXPECT_EQ(rc, n);
        }
    }
}

// ---------------------------------------------------------------- URL resolution

struct url_row {
    const char *name;
    std::function<std::string()> base, ref;
    outcome want;
};

const size_t BIG = 200000;

const url_row URL_ROWS[] = {
    {"a host of 200 KB", [] { return "http://" + std::string(BIG, 'h') + "/"; },
     [] { return std::string("a"); }, FAILS},
    {"a port of 200 KB digits", [] { return "http://h:" + std::string(BIG, '9') + "/"; },
     [] { return std::string("a"); }, SUCCEEDS},
    {"a path of 200 KB", [] { return "http://h/" + std::string(BIG, 'p'); }, [] { return std::string("a"); },
     FAILS},
    {"a scheme of 200 KB", [] { return std::string(BIG, 's') + "://h/"; }, [] { return std::string("a"); },
     FAILS},
    {"a reference of 200 KB", [] { return std::string("http://h/"); }, [] { return std::string(BIG, 'r'); },
     SUCCEEDS},
    {"an absolute reference of 200 KB", [] { return std::string("http://h/"); },
     [] { return "http://" + std::string(BIG, 'r'); }, SUCCEEDS},
    {"a base of separators", [] { return repeat("://", BIG / 3); }, [] { return std::string("a"); }, FAILS},
    {"a base of slashes", [] { return "http://h" + std::string(1000, '/'); }, [] { return std::string("a"); },
     SUCCEEDS},
    {"a base of colons", [] { return "http://h" + std::string(BIG, ':'); }, [] { return std::string("a"); },
     EITHER},
};

TEST(Pathological, UrlResolution) {
    for (const url_row &r : URL_ROWS) {
        SCOPED_TRACE(r.name);
        std::string base = r.base(), ref = r.ref();
        const char *out = kvdmc_resolve_url(base.c_str(), ref.c_str());
        expect_outcome(r.want, out != nullptr);
        if (out) {
            EXPECT_LE(strlen(out), 1279u);
        } else {
            EXPECT_NE(kvdmc_last_error()[0], 0);
        }
    }
}

} // namespace
