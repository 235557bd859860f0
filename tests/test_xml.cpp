// Pull reader: event stream, references, buffer limits, refusals.
#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/sbuf.h"
#include "parse/xml.h"

namespace {

// Owns its document: the reader points into it until closed.
struct reader {
    std::string doc;
    xmlrd *x = nullptr;
    char err[256] = "";
    explicit reader(std::string d) : doc(std::move(d)) {
        x = xml_open(doc.data(), doc.size(), err, sizeof err);
    }
    ~reader() { xml_close(x); }
    reader(const reader &) = delete;
    reader &operator=(const reader &) = delete;
};

// Reads a whole document into a compact trace: S(name,depth) T(text) E(name,depth),
// then "$" at the end or "!message" on an error. Also checks the out-parameters.
std::string trace(const std::string &doc) {
    reader r(doc);
    if (!r.x) return std::string("open:") + r.err;
    std::string out;
    for (int guard = 0; guard < 100000; guard++) {
        const char *s = nullptr;
        size_t n = 12345;
        int ev = xml_next(r.x, &s, &n);
        if (ev <= 0) return out + (ev == 0 ? "$" : std::string("!") + xml_error(r.x));
        EXPECT_EQ(strlen(s), n);
        EXPECT_EQ(xml_event(r.x), ev);
        std::string v(s, n), d = std::to_string(xml_depth(r.x));
        if (ev == XML_EV_START)
            out += "S(" + v + "," + d + ")";
        else if (ev == XML_EV_END)
            out += "E(" + v + "," + d + ")";
        else {
            EXPECT_STREQ(xml_text(r.x), s);
            out += "T(" + v + ")";
        }
    }
    return "runaway";
}

// Concatenated text of every text event, with the event sizes.
std::string all_text(const std::string &doc, std::vector<size_t> *sizes, std::string *tail = nullptr) {
    reader r(doc);
    std::string out;
    if (!r.x) return "open:" + std::string(r.err);
    const char *s;
    size_t n;
    int ev;
    while ((ev = xml_next(r.x, &s, &n)) > 0)
        if (ev == XML_EV_TEXT) {
            out.append(s, n);
            sizes->push_back(n);
        }
    if (tail) *tail = ev == 0 ? "$" : std::string("!") + xml_error(r.x);
    return out;
}

std::string open_err(const std::string &doc) {
    reader r(doc);
    return r.x ? "" : r.err;
}

// The events of doc with each run of text events joined into one T(...). With take, the
// text of every element is taken whole right after its start tag where the reader allows
// it, marked by a "+" after the start tag; with to_front, the first such text is decoded
// to the front of the document itself.
enum take_mode { EVENTS, TAKE, TO_FRONT };
std::string joined_trace(const std::string &doc, int take) {
    reader r(doc);
    if (!r.x) return std::string("open:") + r.err;
    std::string out, text;
    sbuf_scoped sb;
    bool front_used = false;
    auto flush = [&] {
        if (!text.empty()) out += "T(" + text + ")";
        text.clear();
    };
    for (int guard = 0; guard < 100000; guard++) {
        const char *s = nullptr;
        size_t n = 0;
        int ev = xml_next(r.x, &s, &n);
        if (ev <= 0) {
            flush();
            return out + (ev == 0 ? "$" : std::string("!") + xml_error(r.x));
        }
        if (ev == XML_EV_TEXT) {
            text.append(s, n);
            continue;
        }
        flush();
        out += (ev == XML_EV_START ? "S(" : "E(") + std::string(s, n) + ")";
        if (ev == XML_EV_START && take == TO_FRONT && !front_used) {
            size_t len = 0;
            if (xml_take_text_to_front(r.x, r.doc.data(), &len) == 1) {
                front_used = true;
                out += "+";
                text.append(r.doc.data(), len);
            }
        } else if (ev == XML_EV_START && take) {
            sb_reset(&sb.b);
            int t = xml_take_text(r.x, &sb.b);
            EXPECT_GE(t, 0);
            EXPECT_EQ(strlen(sb.str()), sb.b.n);
            if (t == 1) {
                out += "+";
                text.append(sb.str(), sb.b.n);
            }
        }
    }
    return "runaway";
}

// A whole reading as S(name,depth) and E(name,depth), with T(text) for text events when texts
// is set, then "$" or "!message@offset/status". setup sets the reader's modes first; after
// each event but a failure, on_event may check it or read on, appending what it took.
// The document reading() reads, for a check of where a text lies.
const std::string *s_doc_read = nullptr;

std::string reading(const std::string &doc, bool texts, const std::function<void(xmlrd *)> &setup,
                    const std::function<void(xmlrd *, int, std::string &)> &on_event) {
    reader r(doc);
    s_doc_read = &r.doc;
    if (!r.x) return std::string("open:") + r.err;
    setup(r.x);
    std::string out;
    for (int guard = 0; guard < 100000; guard++) {
        const char *s = nullptr;
        size_t n = 0;
        int ev = xml_next(r.x, &s, &n);
        if (ev <= 0)
            return out + (ev == 0 ? "$"
                                  : "!" + std::string(xml_error(r.x)) + "@" +
                                        std::to_string(xml_error_offset(r.x)) + "/" +
                                        std::to_string(xml_error_status(r.x)));
        if (ev == XML_EV_TEXT) {
            if (texts) out += "T(" + std::string(s, n) + ")";
        } else {
            out += (ev == XML_EV_START ? "S(" : "E(") + std::string(s, n) + "," +
                   std::to_string(xml_depth(r.x)) + ")";
        }
        on_event(r.x, ev, out);
    }
    return std::string("runaway");
}

// The end event of the element just passed over, as the events would have given it.
std::string end_event(const xmlrd *x) {
    return "E(" + std::string(xml_name(x, nullptr)) + "," + std::to_string(xml_depth(x)) + ")";
}

} // namespace

TEST(XmlEvents, ElementsTextAndDepth) {
    const struct {
        const char *doc, *events; // events read, then "!" and the failure text
    } rows1[] = {
        {"<a/>", "S(a,0)$"},
        {"<r>x&amp;y</r>", "S(r,1)T(x&y)E(r,0)$"},
        {"<a>\n <b k='v'/>\n</a>", "S(a,1)T(\n )S(b,1)T(\n)E(a,0)$"},
        {"<a></a  >", "S(a,1)E(a,0)$"},
        {"<s:Envelope><u:X/></s:Envelope>", "S(s:Envelope,1)S(u:X,1)E(s:Envelope,0)$"},
    };
    for (const auto &row : rows1) EXPECT_EQ(trace(row.doc), row.events) << row.doc;
    // Markup that is skipped without events; a BOM is plain text.
    EXPECT_EQ(trace("<?xml version=\"1.0\"?><!-- c <x> --><a><?pi ?></a>"), "S(a,1)E(a,0)$");
    EXPECT_EQ(trace("\xEF\xBB\xBF<a/>"), "T(\xEF\xBB\xBF)S(a,0)$");
    EXPECT_EQ(trace("<?"
                    "?><!---->x"),
              "T(x)$");
    // Balance is not checked: stray end tags drive the depth negative, extra roots pass.
    EXPECT_EQ(trace("</a></b><c/><d>"), "E(a,-1)E(b,-2)S(c,-2)S(d,-1)$");
    EXPECT_EQ(trace("<a></b>tail"), "S(a,1)E(b,0)T(tail)$");
    EXPECT_EQ(trace(""), "$");
    EXPECT_EQ(trace("plain"), "T(plain)$");
    // UTF-8 names pass as they stand.
    EXPECT_EQ(trace("<\xC3\xA9t\xC3\xA9/>"), "S(\xC3\xA9t\xC3\xA9,0)$");
}

TEST(XmlEvents, MarkupErrors) {
    const struct {
        const char *doc, *events; // events read, then "!" and the failure text
    } rows2[] = {
        {"<a>x<", "S(a,1)T(x)!truncated tag"},
        {"<a", "!truncated tag"},
        {"<a k='v' ", "!truncated tag"},
        {"<a/", "!truncated tag"},
        {"< a>", "!malformed tag"},
        {"<=>", "!malformed tag"},
        {"<a/ >", "!malformed self-close"},
        {"<a></a b>", "S(a,1)!malformed end tag"},
        {"<a></a", "S(a,1)!malformed end tag"},
        {"<a></", "S(a,1)!malformed end tag"},
        {"<!-- x ->", "!unterminated comment"},
        {"<!-->", "!unterminated comment"},
        {"<?xml x", "!unterminated processing instruction"},
        {"<?>", "!unterminated processing instruction"},
        {"<!ELEMENT a ANY>", "!DOCTYPE/declaration not allowed"},
        {"<a/><!x", "S(a,0)!DOCTYPE/declaration not allowed"},
        {"<a/><!-", "S(a,0)!DOCTYPE/declaration not allowed"},
        {"<![CDATA", "!DOCTYPE/declaration not allowed"},
    };
    for (const auto &row : rows2) EXPECT_EQ(trace(row.doc), row.events) << row.doc;

    // An error is not followed by a good-looking end: the reader keeps failing.
    reader r("<a>ok</a b>");
    const char *s;
    size_t n;
    ASSERT_EQ(xml_next(r.x, &s, &n), 1);
    ASSERT_EQ(xml_next(r.x, &s, &n), 3);
    EXPECT_EQ(xml_next(r.x, &s, &n), -1);
    EXPECT_EQ(xml_event(r.x), XML_EV_TEXT);
    EXPECT_EQ(xml_next(r.x, &s, &n), -1);
    EXPECT_STREQ(xml_error(r.x), "malformed end tag");
}

// Where the reader stopped: the class of the failure and the offset of the markup it
// could not read, for the message a caller builds around it.
TEST(XmlEvents, FailureStatusAndOffset) {
    static const struct {
        const char *doc;
        xml_status status;
        size_t at;
    } rows[] = {
        {"<a>x<", XML_E_SYNTAX, 4},     {"<a k='v' ", XML_E_SYNTAX, 9}, {"<a></a b>", XML_E_SYNTAX, 7},
        {"<a k=1/>", XML_E_SYNTAX, 5},  {"<a k='v/>", XML_E_SYNTAX, 5}, {"<a/><!x", XML_E_REFUSED, 4},
        {"<a><!-- x", XML_E_SYNTAX, 3},
    };
    for (const auto &row : rows) {
        reader r(row.doc);
        ASSERT_NE(r.x, nullptr) << row.doc;
        int ev;
        while ((ev = xml_next(r.x, nullptr, nullptr)) > 0) {
        }
        EXPECT_EQ(ev, XML_EV_ERROR) << row.doc;
        EXPECT_EQ(xml_error_status(r.x), row.status) << row.doc;
        EXPECT_EQ(xml_error_offset(r.x), row.at) << row.doc;
    }
    std::string deep;
    for (int i = 0; i <= XML_MAX_DEPTH; i++) deep += "<d>";
    reader r(deep);
    while (xml_next(r.x, nullptr, nullptr) > 0) {
    }
    EXPECT_EQ(xml_error_status(r.x), XML_E_LIMIT);
    EXPECT_EQ(xml_error_offset(r.x), 3u * XML_MAX_DEPTH);

    // Refusals before reading name their class too.
    xml_status st = XML_OK;
    char err[64];
    EXPECT_EQ(xml_open(nullptr, 0, err, sizeof err, &st), nullptr);
    EXPECT_EQ(st, XML_E_REFUSED);
    std::string big(XML_MAX_DOC + 1, 'x');
    EXPECT_EQ(xml_open(big.data(), big.size(), err, sizeof err, &st), nullptr);
    EXPECT_EQ(st, XML_E_LIMIT);
    EXPECT_EQ(xml_open_str("<!DOCTYPE a><a/>", err, sizeof err, &st), nullptr);
    EXPECT_EQ(st, XML_E_REFUSED);
    xmlrd *x = xml_open_str("<a/>", err, sizeof err, &st);
    EXPECT_NE(x, nullptr);
    EXPECT_EQ(st, XML_OK);
    xml_close(x);
}

TEST(XmlEvents, NullReaderAndAccessors) {
    const char *s = "x";
    size_t n = 7;
    EXPECT_EQ(xml_next(nullptr, &s, &n), 0);
    EXPECT_EQ(xml_event(nullptr), 0);
    EXPECT_EQ(xml_depth(nullptr), 0);
    EXPECT_EQ(xml_attr(nullptr, "a"), nullptr);
    EXPECT_STREQ(xml_text(nullptr), "");
    xml_close(nullptr);

    reader r("<a k='1'>t</a>");
    EXPECT_EQ(xml_event(r.x), 0);
    EXPECT_EQ(xml_attr(r.x, "k"), nullptr);
    ASSERT_EQ(xml_next(r.x, nullptr, nullptr), 1);
    EXPECT_STREQ(xml_attr(r.x, "k"), "1");
    EXPECT_EQ(xml_attr(r.x, nullptr), nullptr);
    EXPECT_STREQ(xml_text(r.x), "");
    ASSERT_EQ(xml_next(r.x, &s, &n), 3);
    EXPECT_EQ(xml_attr(r.x, "k"), nullptr);
    ASSERT_EQ(xml_next(r.x, &s, &n), 2);
    EXPECT_STREQ(xml_text(r.x), "");
    EXPECT_EQ(xml_next(r.x, &s, &n), 0);
    EXPECT_EQ(n, 0u);
}

TEST(XmlReferences, GoodReferencesDecode) {
    EXPECT_EQ(trace("&#x41;&#66;&#233;"), "T(AB\xC3\xA9)$");
    EXPECT_EQ(trace("&lt;&gt;&amp;&quot;&apos;"), "T(<>&\"')$");
    EXPECT_EQ(trace("&#X4a;&#x4A;&#9;&#10;&#13;"), "T(JJ\t\n\r)$");
    EXPECT_EQ(trace("&#x20AC;&#x1F600;&#x10FFFF;"), "T(\xE2\x82\xAC\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF)$");
    // 13 bytes from '&' to ';' is the longest reference.
    EXPECT_EQ(trace("&#0000000065;"), "T(A)$");
    EXPECT_EQ(trace("<a v=\"&lt;b&gt; &#x26;amp;\"/>"), "S(a,0)$");
    reader r("<a v=\"&lt;b&gt; &#x26;amp;\" w='&apos;'/>");
    ASSERT_EQ(xml_next(r.x, nullptr, nullptr), 1);
    EXPECT_STREQ(xml_attr(r.x, "v"), "<b> &amp;");
    EXPECT_STREQ(xml_attr(r.x, "w"), "'");
}

// An '&' that starts no reference to the five named entities or to a character is the
// character itself, in text and in attribute values (a NAS named "R&N"); nothing else
// is ever expanded.
TEST(XmlReferences, AmpersandsThatStartNoReferenceAreText) {
    for (const char *bad :
         {"&#0;",  "&#xD800;",       "&#xDFFF;",       "&#x110000;", "&#1;",   "&#x1F;", "&foo;",
          "&#;",   "&#x;",           "&AMP;",          "&lt",        "&",      "& amp;", "&#12a;",
          "&#xG;", "&#00000000065;", "&#99999999999;", "&;",         "&ampx;", "&bogus;"}) {
        EXPECT_EQ(trace(std::string("a") + bad + "b"), std::string("T(a") + bad + "b)$") << bad;
        reader r(std::string("<a v='") + bad + "'/>");
        ASSERT_EQ(xml_next(r.x, nullptr, nullptr), 1) << bad;
        EXPECT_STREQ(xml_attr(r.x, "v"), bad);
    }
    EXPECT_EQ(trace("R&N:DGND3700 &amp; &#x41; & &lt;"), "T(R&N:DGND3700 & A & <)$");
    // A reference may not reach past the end of its run: the '&' is text.
    EXPECT_EQ(trace("<a>&amp</a>;"), "S(a,1)T(&amp)E(a,0)T(;)$");
    reader r("<a v='&amp'/>;");
    ASSERT_EQ(xml_next(r.x, nullptr, nullptr), 1);
    EXPECT_STREQ(xml_attr(r.x, "v"), "&amp");
}

TEST(XmlText, LongRunsSplitAtBufferSize) {
    std::vector<size_t> sizes;
    std::string run(3000, 'q');
    EXPECT_EQ(all_text("<a>" + run + "</a>", &sizes), run);
    EXPECT_EQ(sizes, (std::vector<size_t>{2047, 953}));

    // A reference is decoded only while 4 bytes + NUL fit: it moves to the next event whole.
    sizes.clear();
    std::string lead(2044, 'x');
    EXPECT_EQ(all_text(lead + "&#x1F600;z", &sizes), lead + "\xF0\x9F\x98\x80z");
    EXPECT_EQ(sizes, (std::vector<size_t>{2044, 5}));
    sizes.clear();
    lead.assign(2043, 'x');
    EXPECT_EQ(all_text(lead + "&#x1F600;z", &sizes), lead + "\xF0\x9F\x98\x80z");
    EXPECT_EQ(sizes, (std::vector<size_t>{2048 - 1, 1}));

    // A very long run mixing references arrives complete and in order.
    std::string doc, want;
    for (int i = 0; i < 20000; i++) {
        doc += (i % 3) ? "ab" : "&lt;&#233;";
        want += (i % 3) ? "ab" : "<\xC3\xA9";
    }
    sizes.clear();
    std::string tail;
    EXPECT_EQ(all_text("<a>" + doc + "</a>", &sizes, &tail), want);
    EXPECT_EQ(tail, "$");
    for (size_t s : sizes) EXPECT_LE(s, 2047u);

    // Numeric references at 13 bytes each: the longest input one event can consume.
    doc.clear();
    for (int i = 0; i < 4000; i++) doc += "&#0000000065;";
    sizes.clear();
    EXPECT_EQ(all_text(doc, &sizes, &tail), std::string(4000, 'A'));
    EXPECT_EQ(tail, "$");
}

TEST(XmlText, CdataIsRawAndNeverDropped) {
    const struct {
        const char *doc, *events; // events read, then "!" and the failure text
    } rows3[] = {
        {"<a><![CDATA[x&amp;<b>]]]]></a>", "S(a,1)T(x&amp;<b>]])E(a,0)$"},
        {"<![CDATA[]]>x", "T()T(x)$"},
        {"<a><![CDATA[x]]", "S(a,1)!unterminated CDATA"},
        {"<![CDATA[", "!unterminated CDATA"},
        {"<a><![CDATA[x]>", "S(a,1)!unterminated CDATA"},
    };
    for (const auto &row : rows3) EXPECT_EQ(trace(row.doc), row.events) << row.doc;

    // Content past the text buffer comes as further text events, still raw.
    std::string body;
    for (int i = 0; i < 5000; i++) body += "<&>!"[i % 4];
    std::vector<size_t> sizes;
    std::string tail;
    EXPECT_EQ(all_text("<a><![CDATA[" + body + "]]>&amp;</a>", &sizes, &tail), body + "&");
    EXPECT_EQ(sizes, (std::vector<size_t>{2047, 2047, 906, 1}));
    EXPECT_EQ(tail, "$");
    std::string exact(2047, 'c');
    EXPECT_EQ(trace("<![CDATA[" + exact + "]]></a>"), "T(" + exact + ")E(a,-1)$");
}

TEST(XmlAttributes, StorageAndSyntax) {
    reader r("<x:a x:b=\"1\" c = 'say \"hi\"'d=\"it's\"\te='' k='v'/>");
    const char *s;
    size_t n;
    ASSERT_EQ(xml_next(r.x, &s, &n), 1);
    EXPECT_STREQ(s, "x:a");
    EXPECT_EQ(xml_attr_count(r.x), 5);
    EXPECT_STREQ(xml_attr(r.x, "x:b"), "1");
    EXPECT_EQ(xml_attr(r.x, "b"), nullptr);
    EXPECT_EQ(xml_attr(r.x, "C"), nullptr);
    EXPECT_STREQ(xml_attr(r.x, "c"), "say \"hi\"");
    EXPECT_STREQ(xml_attr(r.x, "d"), "it's");
    EXPECT_STREQ(xml_attr(r.x, "e"), "");

    // Seventeen attributes: sixteen stored, the rest only checked for syntax.
    std::string doc = "<a";
    for (int i = 1; i <= 17; i++) doc += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
    reader r17(doc + " a18='&bogus;'>");
    ASSERT_EQ(xml_next(r17.x, &s, &n), 1);
    EXPECT_EQ(xml_attr_count(r17.x), 16);
    EXPECT_STREQ(xml_attr(r17.x, "a16"), "16");
    EXPECT_EQ(xml_attr(r17.x, "a17"), nullptr);
    EXPECT_EQ(trace(doc + " a18='x<'>"), "!'<' in attribute");

    // Duplicates: the first wins.
    reader dup("<a k='1' k='2'/>");
    ASSERT_EQ(xml_next(dup.x, &s, &n), 1);
    EXPECT_STREQ(xml_attr(dup.x, "k"), "1");
}

TEST(XmlAttributes, FieldLimits) {
    const char *s;
    size_t n;
    std::string long_name(70, 'n'), v1023(1023, 'v');
    reader r("<a " + long_name + "='" + v1023 + "'/>");
    ASSERT_EQ(xml_next(r.x, &s, &n), 1);
    EXPECT_STREQ(xml_attr(r.x, long_name.substr(0, 63).c_str()), v1023.c_str());
    EXPECT_EQ(xml_attrs(r.x)[0].cut, 0);
    // A name is cut on a character boundary, and found under what was kept of it.
    reader wide("<a " + std::string(62, 'n') + "\xC3\xA9='v'/>");
    ASSERT_EQ(xml_next(wide.x, &s, &n), 1);
    EXPECT_EQ(xml_attrs(wide.x)[0].nlen, 62u);
    EXPECT_STREQ(xml_attr(wide.x, std::string(62, 'n').c_str()), "v");

    // A longer value is kept cut, on a character boundary, and marked as cut.
    reader over("<a k='" + std::string(1022, 'v') + "\xE2\x82\xAC' j='x'/>");
    ASSERT_EQ(xml_next(over.x, &s, &n), 1);
    EXPECT_EQ(std::string(xml_attr(over.x, "k")), std::string(1022, 'v'));
    EXPECT_EQ(xml_attrs(over.x)[0].cut, 1);
    EXPECT_STREQ(xml_attr(over.x, "j"), "x");
    // 1020 plain bytes leave 4 bytes: too little room for a reference.
    reader full("<a k='" + std::string(1020, 'v') + "&amp;'/>");
    ASSERT_EQ(xml_next(full.x, &s, &n), 1);
    EXPECT_EQ(strlen(xml_attr(full.x, "k")), 1020u);
    EXPECT_EQ(xml_attrs(full.x)[0].cut, 1);
    reader fits("<a k='" + std::string(1019, 'v') + "&#x1F600;'/>");
    ASSERT_EQ(xml_next(fits.x, &s, &n), 1);
    EXPECT_EQ(strlen(xml_attr(fits.x, "k")), 1023u);
    EXPECT_EQ(xml_attrs(fits.x)[0].cut, 0);

    // Tag names are cut to 127 bytes, the length reported with them.
    std::string tag(200, 't');
    reader t("<" + tag + "></" + tag + ">");
    ASSERT_EQ(xml_next(t.x, &s, &n), 1);
    EXPECT_EQ(n, 127u);
    EXPECT_EQ(std::string(s), tag.substr(0, 127));
    ASSERT_EQ(xml_next(t.x, &s, &n), 2);
    EXPECT_EQ(n, 127u);
}

// The stored lengths are those of the stored (cut or decoded) texts.
TEST(XmlAttributes, StoredLengths) {
    const char *s;
    size_t n;
    std::string long_name(70, 'n');
    reader r("<a " + long_name + "='x' k='a&amp;b&#x1F600;' e='' w='" + std::string(40, 'w') + "'>");
    ASSERT_EQ(xml_next(r.x, &s, &n), 1);
    ASSERT_EQ(xml_attr_count(r.x), 4);
    auto name = [&](int i) { return std::string(xml_attrs(r.x)[i].name, xml_attrs(r.x)[i].nlen); };
    auto val = [&](int i) { return std::string(xml_attrs(r.x)[i].val, xml_attrs(r.x)[i].vlen); };
    EXPECT_EQ(name(0), long_name.substr(0, 63));
    EXPECT_EQ(val(0), "x");
    EXPECT_EQ(name(1), "k");
    EXPECT_EQ(val(1), "a&b\xF0\x9F\x98\x80");
    EXPECT_EQ(val(3), std::string(40, 'w'));
    // Plain values are read in place; a value with references is decoded into its buffer.
    EXPECT_EQ(xml_attrs(r.x)[0].val, r.doc.c_str() + r.doc.find("'x'") + 1);
    EXPECT_EQ(xml_attrs(r.x)[1].val, xml_attrs(r.x)[1].buf);
    EXPECT_EQ(xml_attrs(r.x)[0].nlen, 63u);
    EXPECT_EQ(xml_attrs(r.x)[1].vlen, 7u);
    EXPECT_EQ(xml_attrs(r.x)[2].vlen, 0u);
    EXPECT_EQ(xml_attrs(r.x)[3].vlen, 40u);
}

TEST(XmlAttributes, Errors) {
    const struct {
        const char *doc, *events; // events read, then "!" and the failure text
    } rows4[] = {
        {"<a \"k\"='v'>", "!malformed attribute"}, {"<a k='v'\x01>", "!malformed attribute"},
        {"<a k>", "!attribute without value"},     {"<a k 'v'>", "!attribute without value"},
        {"<a k", "!attribute without value"},      {"<a k ", "!attribute without value"},
        {"<a k=v>", "!attribute without quote"},   {"<a k= ", "!attribute without quote"},
        {"<a k=", "!attribute without quote"},     {"<a k='", "!unterminated attribute"},
        {"<a k='<'>", "!'<' in attribute"},        {"<a k='x<y", "!'<' in attribute"},
        {"<a k='v\">", "!unterminated attribute"},
    };
    for (const auto &row : rows4) EXPECT_EQ(trace(row.doc), row.events) << row.doc;
    // A failed start tag leaves no attributes to look up.
    reader r("<a k='1'><b k='2' j=>");
    const char *s;
    size_t n;
    ASSERT_EQ(xml_next(r.x, &s, &n), 1);
    EXPECT_EQ(xml_next(r.x, &s, &n), -1);
    EXPECT_STREQ(xml_error(r.x), "attribute without quote");
    EXPECT_EQ(xml_attr(r.x, "k"), nullptr);
    EXPECT_EQ(xml_depth(r.x), 1);
}

TEST(XmlLimits, NestingDepth) {
    std::string open32, close32;
    for (int i = 0; i < 32; i++) open32 += "<e>", close32 += "</e>";
    std::string t = trace(open32 + "<s/>");
    EXPECT_TRUE(t.ends_with("S(e,32)!nesting deeper than 32")) << t;
    t = trace(open32 + "<f>");
    EXPECT_TRUE(t.ends_with("S(e,32)!nesting deeper than 32")) << t;
    t = trace(open32 + "x" + close32);
    EXPECT_NE(t.find("S(e,32)T(x)E(e,31)"), std::string::npos);
    EXPECT_EQ(t.substr(t.size() - 7), "E(e,0)$");
}

TEST(XmlOpen, SizeNulAndEmpty) {
    char err[64] = "";
    EXPECT_EQ(xml_open(nullptr, 0, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "empty xml");

    std::string doc = "<a>" + std::string(XML_MAX_DOC - 7, 'z') + "</a>";
    ASSERT_EQ(doc.size(), 262144u);
    std::vector<size_t> sizes;
    std::string tail;
    EXPECT_EQ(all_text(doc, &sizes, &tail).size(), XML_MAX_DOC - 7);
    EXPECT_EQ(tail, "$");
    EXPECT_EQ(open_err(doc + " "), "xml over 262144 bytes");

    EXPECT_EQ(open_err(std::string("<a>\0</a>", 8)), "NUL byte in xml");
    EXPECT_EQ(open_err(std::string("<a></a>\0", 8)), "NUL byte in xml");

    // The caller's buffer bounds the message.
    char small[5] = "zzzz";
    EXPECT_EQ(xml_open(nullptr, 0, small, sizeof small), nullptr);
    EXPECT_STREQ(small, "empt");
    EXPECT_EQ(xml_open(nullptr, 0, nullptr, 0), nullptr);
}

// A C string is measured only up to one byte past the bound; it ends at its NUL.
TEST(XmlOpen, CString) {
    char err[64] = "";
    EXPECT_EQ(xml_open_str(nullptr, err, sizeof err), nullptr);
    EXPECT_STREQ(err, "empty xml");

    std::string doc = "<a>" + std::string(XML_MAX_DOC - 7, 'z') + "</a>";
    xmlrd *x = xml_open_str(doc.c_str(), err, sizeof err);
    ASSERT_NE(x, nullptr);
    const char *s;
    size_t n, text = 0;
    int ev;
    while ((ev = xml_next(x, &s, &n)) > 0)
        if (ev == XML_EV_TEXT) text += n;
    EXPECT_EQ(ev, XML_EV_END_DOC);
    EXPECT_EQ(text, XML_MAX_DOC - 7);
    xml_close(x);

    err[0] = 0;
    EXPECT_EQ(xml_open_str((doc + " ").c_str(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "xml over 262144 bytes");
    err[0] = 0;
    EXPECT_EQ(xml_open_str((doc + doc).c_str(), err, sizeof err), nullptr);
    EXPECT_STREQ(err, "xml over 262144 bytes");

    std::string cut("<a>x</a>\0<b>", 12);
    x = xml_open_str(cut.c_str(), err, sizeof err);
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(xml_next(x, &s, &n), XML_EV_START);
    EXPECT_EQ(xml_next(x, &s, &n), XML_EV_TEXT);
    EXPECT_EQ(xml_next(x, &s, &n), XML_EV_END);
    EXPECT_EQ(xml_next(x, &s, &n), XML_EV_END_DOC);
    xml_close(x);
}

TEST(XmlOpen, DeclarationScreening) {
    EXPECT_EQ(open_err("<?xml version=\"1.0\"?>\n<!DOCTYPE a [<!ENTITY x \"y\">]><a/>"),
              "DOCTYPE not allowed");
    EXPECT_EQ(open_err("<!ENTITY x \"yyyy\"><a/>"), "ENTITY not allowed");
    EXPECT_EQ(open_err("<!DOCTYPE"), "DOCTYPE not allowed");
    EXPECT_EQ(open_err("  <?a?><?b?> <!DOCTYPE a>"), "DOCTYPE not allowed");
    // Screening stops at the first other markup; the reader still refuses later.
    EXPECT_EQ(trace("<!-- c --><!DOCTYPE a><a/>"), "!DOCTYPE/declaration not allowed");
    EXPECT_EQ(trace("<a/><!DOCTYPE a>"), "S(a,0)!DOCTYPE/declaration not allowed");
    EXPECT_EQ(trace("<a/><!ENTITY x 'y'>"), "S(a,0)!DOCTYPE/declaration not allowed");
    std::string far(5000, ' ');
    EXPECT_EQ(trace(far + "<!DOCTYPE a><a/>"), "T(" + std::string(2047, ' ') + ")T(" +
                                                   std::string(2047, ' ') + ")T(" + std::string(906, ' ') +
                                                   ")!DOCTYPE/declaration not allowed");
    // Too short to screen: left to the reader.
    EXPECT_EQ(trace("<!DOCTYP"), "!DOCTYPE/declaration not allowed");
}

// Taking an element's text whole gives exactly what its text events give, and is declined
// (nothing consumed) wherever the element holds anything but text and references.
TEST(XmlTakeText, SameTextAsTheEvents) {
    std::string long_refs, long_utf8(3000 * 2, 'x');
    for (int i = 0; i < 700; i++) long_refs += "&lt;item id=&quot;" + std::to_string(i) + "&quot;&gt;";
    for (size_t i = 0; i < long_utf8.size(); i += 2) long_utf8.replace(i, 2, "\xc3\xa9");
    struct row {
        std::string inner; // the content of <a>
        bool taken;
    } rows[] = {
        {"plain", true},
        {"", true},
        {"&lt;i&gt; &amp; &quot;q&quot; &apos;s&apos; &#233;&#x1F600;&#10;", true},
        {long_refs, true},
        {long_utf8, true},
        {"x<![CDATA[<y>]]>z", false},
        {"x<!-- c -->y", false},
        {"x<b>y</b>z", false},
        {"x<?pi?>y", false},
        {"x &bogus; y", true},
        {"x &#0; y", true},
        {"x &lt y", true},
        {"&gt;&amp;&#60;&lt;&bogus;&&", true}, // references back to back, two bare '&' at the end
        {"&quot;&gt;&lt;&am", true},
    };
    auto reads_as_events = [](const std::string &inner, bool want_taken) {
        std::string doc = "<r><a>" + inner + "</a><b>&amp;</b><c/></r>";
        std::string events = joined_trace(doc, EVENTS), taken = joined_trace(doc, TAKE);
        EXPECT_EQ(taken.find("S(a)+") != std::string::npos, want_taken) << inner.substr(0, 40);
        std::string unmarked = taken;
        for (size_t at; (at = unmarked.find(")+")) != std::string::npos;) unmarked.erase(at + 1, 1);
        EXPECT_EQ(unmarked, events) << inner.substr(0, 40);
        // Decoded over the document's own bytes, the text and all that follows read the same.
        EXPECT_EQ(joined_trace(doc, TO_FRONT), taken) << inner.substr(0, 40);
        EXPECT_EQ(joined_trace("<a>" + inner + "</a>", TO_FRONT), joined_trace("<a>" + inner + "</a>", TAKE))
            << inner.substr(0, 40);
    };
    for (const row &r : rows) reads_as_events(r.inner, r.taken);
    // The common references are matched whole only where a 16-byte step leaves room for the
    // longest of them; the last bytes of a text go one at a time. Every reference, whole or
    // cut off, at every offset of a step and at every distance from the end of the text.
    for (const char *ref : {"&lt;", "&gt;", "&quot;", "&amp;", "&#60;", "&lt", "&quot", "&quo;", "&"})
        for (size_t before = 0; before < 34; before++)
            for (size_t after = 0; after < 24; after++)
                reads_as_events(std::string(before, 'a') + ref + std::string(after, 'b') + ref, true);
    // Decoding to the front starts a few bytes behind the text: until the references have
    // opened a gap of 16 bytes, no step may write over text not yet read. Every alignment
    // of the first references against the steps, with the gap growing by 3 or 5 each.
    for (size_t k = 0; k < 34; k++) {
        for (const char *ref : {"&lt;", "&quot;"}) {
            std::string inner(k, 'a'), want(k, 'a');
            for (int i = 0; i < 9; i++) {
                inner += ref + std::string((k + (size_t)i) % 19, 'b');
                want += (ref[1] == 'l' ? "<" : "\"") + std::string((k + (size_t)i) % 19, 'b');
            }
            inner += std::string(40, 'c');
            want += std::string(40, 'c');
            EXPECT_EQ(joined_trace("<a>" + inner + "</a>", TO_FRONT), "S(a)+T(" + want + ")E(a)$") << k;
        }
    }
    // Only the document the reader stands on, and only right after a start tag.
    {
        reader r("<a>x</a>");
        std::string other = r.doc;
        size_t len = 0;
        ASSERT_EQ(xml_next(r.x, nullptr, nullptr), XML_EV_START);
        EXPECT_EQ(xml_take_text_to_front(r.x, other.data(), &len), 0);
        EXPECT_EQ(xml_take_text_to_front(nullptr, r.doc.data(), &len), 0);
        EXPECT_EQ(xml_take_text_to_front(r.x, r.doc.data(), &len), 1);
        EXPECT_EQ(std::string(r.doc.data(), len), "x");
        EXPECT_EQ(xml_take_text_to_front(r.x, r.doc.data(), &len), 0);
    }
    // Every alignment of a reference against the 16-byte steps, and text cut short.
    for (size_t k = 0; k < 40; k++) {
        std::string inner(k, 'a');
        inner += "&amp;" + std::string(k % 17, 'b') + "&#x41;";
        std::string doc = "<r><a>" + inner + "</a></r>";
        EXPECT_EQ(joined_trace(doc, TAKE),
                  "S(r)S(a)+T(" + std::string(k, 'a') + "&" + std::string(k % 17, 'b') + "A)E(a)E(r)$");
    }
    EXPECT_EQ(joined_trace("<r><a>open", TAKE), joined_trace("<r><a>open", EVENTS));
    EXPECT_EQ(joined_trace("<r><a>x</", TAKE), "S(r)S(a)+T(x)!malformed end tag");
    EXPECT_EQ(joined_trace("<r><a>x</", EVENTS), "S(r)S(a)T(x)!malformed end tag");
    EXPECT_EQ(xml_take_text(nullptr, nullptr), 0);
}

// Skimming gives the start and end events of a full reading, without its text, and fails
// where and how a full reading fails.
TEST(XmlSkim, SameStructureAndVerdict) {
    auto structure = [](const std::string &doc, bool skim) {
        return reading(
            doc, false, [skim](xmlrd *x) { xml_set_skim(x, skim); },
            [skim](xmlrd *x, int ev, std::string &) {
                EXPECT_TRUE(!skim || ev != XML_EV_TEXT);
                if (ev != XML_EV_TEXT) {
                    EXPECT_TRUE(!skim || xml_attr_count(x) == 0);
                }
            });
    };
    std::string long_text(5000, 'x'), long_value(3000, 'v');
    const char *docs[] = {
        "<DIDL-Lite><item id=\"1\" parentID=\"0\"><dc:title>A &amp; B</dc:title><res "
        "size=\"1\">http://h/a?x=1&amp;y=2"
        "</res></item><container id=\"2\"/></DIDL-Lite>",
        "<r>text<![CDATA[<not a tag>]]>more<!-- note --><?pi x?><a/></r>",
        "<r>x &bogus; y</r>",
        "<r><a>ok</a>&#0;</r>",
        "<r a=\"&amp;&bad;\"/>",
        "<r a=\"x<y\"/>",
        "<r a=\"open/>",
        "<r><a></b></r>",
        "<r><![CDATA[never closed</r>",
        "<r><!-- never closed</r>",
        "<r>&lt",
    };
    for (const char *d : docs) EXPECT_EQ(structure(d, true), structure(d, false)) << d;
    // A long run, and a long attribute value whose bad reference lies past the part a full
    // reading keeps: neither reading looks at it.
    std::string big = "<r>" + long_text + "&amp;" + long_text + "<a v=\"" + long_value + "&amp;" +
                      long_value + "&bad;\"/></r>";
    EXPECT_EQ(structure(big, true), structure(big, false));
}

// Passing over a leaf must leave everything as the events would have: the same elements,
// depths and verdict, failures at the same offset.
TEST(XmlSkipLeaf, SameStructureAndVerdictAsTheEvents) {
    auto structure = [](const std::string &doc, bool skip, int *skipped) {
        return reading(
            doc, false, [](xmlrd *x) { xml_set_skip_text(x, true); },
            [skip, skipped](xmlrd *x, int ev, std::string &out) {
                if (!skip || ev != XML_EV_START || !xml_skip_leaf(x)) return;
                EXPECT_EQ(xml_event(x), XML_EV_END);
                out += end_event(x);
                ++*skipped;
            });
    };
    const struct {
        std::string doc;
        int leaves; // elements passed over whole
    } rows[] = {
        {"<item id=\"1\"><dc:title>A &amp; B</dc:title><upnp:artist>X</upnp:artist><upnp:album></upnp:album>"
         "<res>http://h/a</res ></item>",
         4},
        {"<r><a>x<b>y</b>z</a></r>", 1},                      // only the innermost holds nothing but text
        {"<r><a/><b x='1'/></r>", 0},                         // self-closing: no end tag to pass over
        {"<r><a>x<!-- c --></a><b><![CDATA[y]]></b></r>", 0}, // markup inside is left to the events
        {"<r><a>x<?pi?></a></r>", 0},
        {"<r><a>text</b></r>", 0},             // an end tag naming another element
        {"<r><a>text</a x></r>", 0},           // a malformed end tag fails where the events fail
        {"<r><a>text</", 0},                   // truncated
        {"<r><a>text", 0},                     // no end tag at all
        {"<r><a>&bogus; &#0; &lt</a></r>", 1}, // passed-over text is never judged
        {"<r><ab>x</a></r>", 0},               // a prefix of the name is another name
        {"<r><a>x</ab></r>", 0},
        {"<r><a>x</a", 0},
        // Names are compared a word at a time: a difference in each word, front and back.
        {"<r><abcde>x</Xbcde></r>", 0},
        {"<r><abcde>x</abcdX></r>", 0},
        {"<r><abcdefgh>x</abcdefgX></r>", 0},
        {"<r><abcdefghijk>x</Xbcdefghijk></r><abcdefghijk>y</abcdefghijk>", 1},
        {"<r><abcdefghijklmnopq>x</abcdefghXjklmnopq></r>", 0},
        {"<r><p:a>x</p:a><a>y</a\n></r>", 2},
        {"<r><" + std::string(200, 'n') + ">x</" + std::string(200, 'n') + "></r>", 1}, // kept cut alike
        {"<r><" + std::string(200, 'n') + ">x</" + std::string(201, 'n') + "></r>", 1},
    };
    for (const auto &row : rows) {
        int skipped = 0, none = 0;
        EXPECT_EQ(structure(row.doc, true, &skipped), structure(row.doc, false, &none)) << row.doc;
        EXPECT_EQ(skipped, row.leaves) << row.doc;
    }
    // An end tag cut off by the end of the text, with a '>' just past it: not looked at.
    const std::string cut = "<r><a>x</a>";
    char err[128];
    xmlrd *x = xml_open(cut.data(), cut.size() - 1, err, sizeof err);
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(xml_next(x, nullptr, nullptr), XML_EV_START);
    ASSERT_EQ(xml_next(x, nullptr, nullptr), XML_EV_START);
    xml_set_skip_text(x, true);
    EXPECT_EQ(xml_skip_leaf(x), 0);
    xml_close(x);
    // Text the events would deliver is not passed over.
    reader r("<r><a>x</a></r>");
    ASSERT_EQ(xml_next(r.x, nullptr, nullptr), XML_EV_START);
    ASSERT_EQ(xml_next(r.x, nullptr, nullptr), XML_EV_START);
    EXPECT_EQ(xml_skip_leaf(r.x), 0);
    EXPECT_EQ(xml_next(r.x, nullptr, nullptr), XML_EV_TEXT);
    EXPECT_EQ(xml_skip_leaf(r.x), 0); // only right after a start tag
    EXPECT_EQ(xml_skip_leaf(nullptr), 0);
}

// Reading a leaf's text whole must give what its events give: the same text, elements,
// depths and verdict. A text without references comes straight from the document; one
// with them, decoded, from the reader's buffer.
TEST(XmlLeafText, SameTextAndStructureAsTheEvents) {
    int from_doc = 0;
    auto events = [&from_doc](const std::string &doc, bool leaf, int *taken) {
        return reading(
            doc, true, [](xmlrd *) {},
            [leaf, taken, &from_doc](xmlrd *x, int ev, std::string &out) {
                const char *t = nullptr;
                size_t tn = 99;
                if (!leaf || ev != XML_EV_START || !xml_leaf_text(x, &t, &tn)) return;
                ASSERT_NE(t, nullptr);
                EXPECT_EQ(memchr(t, 0, tn), nullptr);
                const std::string &doc = *s_doc_read;
                if (t >= doc.data() && t < doc.data() + doc.size()) {
                    EXPECT_LE(t + tn, doc.data() + doc.size());
                    EXPECT_EQ(memchr(t, '&', tn), nullptr);
                    from_doc++;
                }
                if (tn) out += "T(" + std::string(t, tn) + ")";
                out += end_event(x);
                ++*taken;
            });
    };
    std::string fits(2040, 'x'), too_long(2043, 'y');
    const struct {
        std::string doc;
        int leaves;
    } rows[] = {
        {"<item><dc:title>A &amp; B &#233; &bogus; &lt</dc:title><e></e><res>\n http://h/a?x=1&amp;y \n</res>"
         "</item>",
         3},
        {"<r><a>x<b>y</b>z</a><c/></r>", 1},
        {"<r><a>x<!-- c --></a><b><![CDATA[y]]></b><d>x<?p?></d></r>", 0},
        {"<r><a>text</b></r>", 0},
        {"<r><a>text</a x></r>", 0},
        {"<r><a>text</", 0},
        {"<r><a>&amp</a><b>&#x</b><c>&#12</c></r>", 3}, // references cut off by the end tag
        {"<r><a>" + fits + "</a></r>", 1},
        {"<r><a>" + too_long + "</a></r>", 0}, // two text events
        {"<r><a>" + std::string(700, '&') + "amp;</a></r>", 1},
    };
    for (const auto &row : rows) {
        int taken = 0, none = 0;
        EXPECT_EQ(events(row.doc, true, &taken), events(row.doc, false, &none)) << row.doc.substr(0, 80);
        EXPECT_EQ(taken, row.leaves) << row.doc.substr(0, 80);
    }
    EXPECT_GE(from_doc, 3);
}
