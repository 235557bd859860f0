// DIDL-Lite parsing into the item table.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <string>

#include "upnp/browse.h"
#include "helpers/docs.h"
#include "helpers/guard_page.h"
#include "kvdmc.h"

namespace {

std::string doc(const std::string &body) {
    return docs::didl(body, false);
}

// The table every case parses into.
didl_table items;

int parse(const std::string &body, char *err = nullptr) {
    char buf[256];
    return didl_parse(doc(body).c_str(), &items, err ? err : buf, 256);
}

} // namespace

TEST(Didl, LargestHttpResourceWins) {
    ASSERT_EQ(parse("<item id=\"1\" parentID=\"0\"><dc:title>T</dc:title>" +
                    docs::res("http-get:*:video/mp4:*", "http://a/100", " size=\"100\"") +
                    docs::res("http-get:*:video/mpeg:*", "http://a/300", " size=\"300\" duration=\"1:00\"") +
                    docs::res("rtsp-rtp-udp:*:video/mp4:*", "rtsp://a/900", " size=\"900\"") +
                    docs::res("HTTP-GET:*:video/x:*", "http://a/300b", " size=\"300\"") + "</item>"),
              1);
    const didl_item &it = items[0];
    EXPECT_STREQ(it.res_url, "http://a/300");
    EXPECT_EQ(it.res_size, 300);
    EXPECT_STREQ(it.res_mime, "video/mpeg");
    EXPECT_STREQ(it.res_protocol, "http-get");
    EXPECT_STREQ(it.res_protocol_info, "http-get:*:video/mpeg:*");
    EXPECT_STREQ(it.res_duration, "1:00");

    // Ties and missing sizes keep the first; an upper-case protocol still counts.
    ASSERT_EQ(parse("<item id=\"2\">" + docs::res("HTTP-GET:*:a/b:*", "http://a/1") +
                    docs::res("http-get:*:a/c:*", "http://a/2") + "</item><item id=\"3\">" +
                    docs::res("http-get:*:a/b:*", "http://a/x", " size=\"junk\"") +
                    docs::res("http-get:*:a/b:*", "http://a/y", " size=\"1\"") + "</item>"),
              2);
    EXPECT_STREQ(items[0].res_url, "http://a/1");
    EXPECT_EQ(items[0].res_size, 0);
    EXPECT_STREQ(items[1].res_url, "http://a/y");

    // A URL too long once escaped is no resource: the first one leaves the choice open, a
    // later and larger one leaves the earlier choice whole.
    std::string too_long = "http://a/";
    for (int i = 0; i < 200; i++) too_long += "\xC3\xA9";
    ASSERT_EQ(parse("<item id=\"4\">" + docs::res("http-get:*:a/bad:*", too_long.c_str(), " size=\"5\"") +
                    docs::res("http-get:*:a/ok:*", "http://a/ok", " size=\"1\"") + "</item><item id=\"5\">" +
                    docs::res("http-get:*:a/first:*", "http://a/10", " size=\"10\" duration=\"0:10\"") +
                    docs::res("http-get:*:a/second:*", too_long.c_str(), " size=\"20\" duration=\"0:20\"") +
                    "</item>"),
              2);
    EXPECT_STREQ(items[0].res_url, "http://a/ok");
    EXPECT_STREQ(items[0].res_mime, "a/ok");
    EXPECT_STREQ(items[1].res_url, "http://a/10");
    EXPECT_STREQ(items[1].res_mime, "a/first");
    EXPECT_STREQ(items[1].res_protocol_info, "http-get:*:a/first:*");
    EXPECT_EQ(items[1].res_size, 10);
    EXPECT_STREQ(items[1].res_duration, "0:10");

    // Long fields: the format is looked for within its field's room only, and a protocol
    // longer than its field is kept cut (its first eight bytes still say http-get).
    std::string net = "*" + std::string(200, 'n'), proto = "http-get" + std::string(62, 'p');
    ASSERT_EQ(parse("<item id=\"6\">" +
                    docs::res(("http-get:" + net + ":video/mp4:*").c_str(), "http://a/n") +
                    "</item><item id=\"7\">" + docs::res((proto + ":*:video/mp4:*").c_str(), "http://a/p") +
                    "</item>"),
              2);
    EXPECT_EQ(std::string(items[0].res_mime), net.substr(0, 127));
    EXPECT_STREQ(items[0].res_protocol, "http-get");
    EXPECT_EQ(std::string(items[1].res_protocol), proto.substr(0, 63));
    EXPECT_STREQ(items[1].res_mime, "video/mp4");
    EXPECT_STREQ(items[1].res_url, "http://a/p");
}

TEST(Didl, ProtocolInfoSplitting) {
    char proto[64], mime[128];
    split_protocol_info("http-get:*:video/mp4:DLNA.ORG_PN=AVC", proto, sizeof proto, mime, sizeof mime);
    EXPECT_STREQ(proto, "http-get");
    EXPECT_STREQ(mime, "video/mp4");
    split_protocol_info("http-get:lan:video/mp4:*", proto, sizeof proto, mime, sizeof mime);
    EXPECT_STREQ(mime, "lan:video/mp4");
    split_protocol_info("http-get:*:video/mp4", proto, sizeof proto, mime, sizeof mime);
    EXPECT_STREQ(proto, "http-get:*:video/mp4");
    EXPECT_STREQ(mime, "");
    split_protocol_info("http-get:*::*", proto, sizeof proto, mime, sizeof mime);
    EXPECT_STREQ(mime, "*:");

    // Two colons only: no media type, yet still an http-get resource.
    ASSERT_EQ(parse("<item id=\"1\">" + docs::res("http-get:*:video/mp4", "http://a/v") + "</item>"), 1);
    EXPECT_STREQ(items[0].res_url, "http://a/v");
    EXPECT_STREQ(items[0].res_mime, "");
}

TEST(Didl, SubtitlesAreSortedOut) {
    std::string caps;
    for (int i = 0; i < 9; i++)
        caps += "<sec:CaptionInfoEx sec:type=\"sub\">http://a/c" + std::to_string(i) + "</sec:CaptionInfoEx>";
    ASSERT_EQ(parse("<item id=\"s\">" + docs::res("http-get:*:text/srt:*", "http://a/s.srt") +
                    docs::res("http-get:*:application/smil:*", "http://a/s.smil") + "</item><item id=\"c\">" +
                    caps + "<CaptionInfo>http://a/plain</CaptionInfo></item>"),
              2);
    EXPECT_STREQ(items[0].res_url, "");
    ASSERT_EQ(items[0].nsub, 2);
    EXPECT_STREQ(items[0].sub[0].url, "http://a/s.srt");
    EXPECT_STREQ(items[0].sub[0].mime, "text/srt");
    EXPECT_STREQ(items[0].sub[1].mime, "application/smil");
    ASSERT_EQ(items[1].nsub, 8);
    EXPECT_STREQ(items[1].sub[0].url, "http://a/c0");
    EXPECT_STREQ(items[1].sub[0].mime, "text/srt");
    EXPECT_STREQ(items[1].sub[7].url, "http://a/c7");
}

// A subtitle resource is told by ":text/" or "application/smil" anywhere in
// its protocolInfo, not by the content format field alone.
TEST(Didl, SubtitleMarkersAnywhereInProtocolInfo) {
    const char *subs[] = {"http-get:*:video/mp4:DLNA.ORG_PN=x:text/y", "http-get:*:x/application/smil",
                          "application/smil", "rtsp:*:text/srt:*"};
    const char *media[] = {"http-get:*:xtext/srt:*", "http-get:*:application/smi:*", "http-get:*:text:*",
                           "http-get:*:application:smil/x:*"};
    std::string body;
    for (const char *pi : subs) body += "<item id=\"s\">" + docs::res(pi, "http://a/s") + "</item>";
    for (const char *pi : media) body += "<item id=\"m\">" + docs::res(pi, "http://a/m") + "</item>";
    ASSERT_EQ(parse(body), 8);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(items[i].nsub, 1) << subs[i];
        EXPECT_STREQ(items[i].res_url, "") << subs[i];
    }
    for (int i = 4; i < 8; i++) {
        EXPECT_EQ(items[i].nsub, 0) << media[i - 4];
        EXPECT_STREQ(items[i].res_url, "http://a/m") << media[i - 4];
    }
}

TEST(Didl, IdentityClassAndCounts) {
    ASSERT_EQ(
        parse("<container id=\"c1\" parentID=\"0\" childCount=\"12\"><dc:title>Music</dc:title></container>"
              "<item id=\"i1\" parentID=\"c1\" childCount=\"0\"><upnp:class>object.container</upnp:class>"
              "<dc:date>2020-01-02</dc:date></item>"
              "<container childCount=\"-4\"/><container childCount=\"x9\"><class>object.container.album"
              "</class><title>plain names</title></container>"),
        4);
    EXPECT_STREQ(items[0].id, "c1");
    EXPECT_STREQ(items[0].parent, "0");
    EXPECT_STREQ(items[0].klass, "object.container.storageFolder");
    EXPECT_EQ(items[0].is_folder, 1);
    EXPECT_EQ(items[0].childcount, 12);
    EXPECT_EQ(items[0].res_size, -1);
    EXPECT_STREQ(items[1].klass, "object.container");
    EXPECT_EQ(items[1].is_folder, 0);
    EXPECT_STREQ(items[1].date, "2020-01-02");
    EXPECT_EQ(items[2].childcount, 0);
    EXPECT_STREQ(items[2].id, "");
    EXPECT_EQ(items[3].childcount, 0);
    EXPECT_STREQ(items[3].klass, "object.container.album");
    EXPECT_STREQ(items[3].title, "plain names");
}

TEST(Didl, SelfClosingElementsCaptureNothing) {
    ASSERT_EQ(parse("<item id=\"1\"><dc:title/>after title<upnp:class/>after class<dc:date/>after date"
                    "<res protocolInfo=\"http-get:*:a/b:*\"/>after res<sec:CaptionInfoEx/>after caption"
                    "<dc:title>real</dc:title></item><item id=\"2\"/>stray<dc:title>orphan</dc:title>"),
              2);
    EXPECT_STREQ(items[0].title, "real");
    EXPECT_STREQ(items[0].klass, "");
    EXPECT_STREQ(items[0].date, "");
    EXPECT_STREQ(items[0].res_url, "");
    EXPECT_EQ(items[0].nsub, 0);
    EXPECT_STREQ(items[1].title, "");
}

TEST(Didl, CutsKeepWholeUtf8Characters) {
    std::string title;
    title += "xx";
    for (int i = 0; i < 100; i++) title += "\xE3\x81\x82"; // 3-byte letters
    ASSERT_EQ(parse("<item id=\"1\"><dc:title>" + title + "</dc:title></item>"), 1);
    // 250 bytes would split the 83rd letter; the cut backs off to 2 + 82 * 3.
    EXPECT_EQ(strlen(items[0].title), 248u);
    std::string ascii(300, 'a');
    ASSERT_EQ(parse("<item id=\"1\"><dc:title>" + ascii + "</dc:title></item>"), 1);
    EXPECT_EQ(strlen(items[0].title), 250u);
    std::string two = "ab";
    for (int i = 0; i < 200; i++) two += "\xC3\xA9";
    ASSERT_EQ(parse("<item id=\"1\"><dc:title>" + two + "</dc:title></item>"), 1);
    EXPECT_EQ(strlen(items[0].title), 250u);
    std::string odd = "a" + two;
    ASSERT_EQ(parse("<item id=\"1\"><dc:title>" + odd + "</dc:title></item>"), 1);
    EXPECT_EQ(strlen(items[0].title), 249u);
}

// An element's text can come as several events: longer than one event holds, or
// broken by a comment or CDATA. The field keeps its beginning, not its last piece.
TEST(Didl, TextOfSeveralEventsIsJoined) {
    std::string letters = "x";
    for (int i = 0; i < 4000; i++) letters += "\xE3\x81\x82"; // far beyond one text event
    std::string caption(3000, 'c');
    ASSERT_EQ(
        parse("<item id=\"1\"><dc:title>" + letters +
              "</dc:title><upnp:class>object.<!-- x -->item"
              "</upnp:class><dc:date><![CDATA[2021]]>-03-04</dc:date><res protocolInfo=\"http-get:*:a/b:*\">"
              "http://h/<![CDATA[a]]>b</res><sec:CaptionInfoEx>" +
              caption + "</sec:CaptionInfoEx></item>"),
        1);
    EXPECT_EQ(std::string(items[0].title), letters.substr(0, 1 + 83 * 3));
    EXPECT_STREQ(items[0].klass, "object.item");
    EXPECT_STREQ(items[0].date, "2021-03-04");
    EXPECT_STREQ(items[0].res_url, "http://h/ab");
    ASSERT_EQ(items[0].nsub, 1) << "one caption element is one subtitle";
    EXPECT_EQ(std::string(items[0].sub[0].url), caption.substr(0, ITEM_URL_CAP - 1));

    // Text nobody reads is passed over; what follows it is read as before.
    ASSERT_EQ(parse("outside<item id=\"2\">between<upnp:artist><![CDATA[A]]>&amp;B</upnp:artist> "
                    "<dc:title>T<![CDATA[<i>]]></dc:title><upnp:album>x</upnp:album><upnp:class>"
                    "object.item</upnp:class></item>tail"),
              1);
    EXPECT_STREQ(items[0].title, "T<i>");
    EXPECT_STREQ(items[0].klass, "object.item");
}

TEST(Didl, FailuresAndTheItemCap) {
    char err[256];
    ASSERT_EQ(parse("<item id=\"1\"/><item id=\"2\"/>"), 2);
    EXPECT_EQ(didl_parse("<!DOCTYPE x><DIDL-Lite/>", &items, err, sizeof err), -1);
    EXPECT_STREQ(err, "DOCTYPE not allowed");
    EXPECT_EQ(items.size(), 0);

    EXPECT_EQ(parse("<item id=\"a\"></item><item id=\"b\"><dc:title x=>", err), -1);
    EXPECT_STREQ(err, "didl: xml error near offset 206: attribute without quote");
    EXPECT_EQ(items.size(), 2);

    std::string many;
    for (int i = 0; i <= ITEM_MAX; i++) many += "<item id=\"" + std::to_string(i) + "\"/>";
    EXPECT_EQ(parse(many, err), -1);
    EXPECT_STREQ(err, "DIDL over the item cap");
    EXPECT_EQ(items.size(), ITEM_MAX);
    EXPECT_EQ(items.partial, 1);
    EXPECT_STREQ(items[ITEM_MAX - 1].id, "4095");

    // The continuation parse appends; the plain parse starts over.
    ASSERT_EQ(parse("<item id=\"p1\"/>"), 1);
    int objects = -1;
    EXPECT_EQ(didl_parse_more(doc("<item id=\"p2\"/>").c_str(), &items, &objects, err, sizeof err), 2);
    EXPECT_EQ(objects, 1);
    EXPECT_STREQ(items[1].id, "p2");
    EXPECT_EQ(items.partial, 0);
}

// Paging counts a page's objects by scanning its tags; on well-formed pages the scan must
// agree with the parse, whatever markup holds look-alikes.
TEST(Didl, ObjectScanAgreesWithTheParse) {
    // A name longer than the reader keeps is classified as it is kept, cut.
    const std::string long_prefix(200, 'X');
    const std::string bodies[] = {
        "",
        "<" + long_prefix + ":item id=\"1\"></" + long_prefix + ":item><item id=\"2\"/>",
        "<item id=\"1\"/><container id=\"2\"></container>",
        "<didl:item id=\"1\"></didl:item><upnp:container id=\"2\"/>",
        "<item\tid=\"1\"/><item\nid=\"2\"/><item></item>",
        "<!-- <item id=\"c\"/> --><item id=\"1\"><dc:title><![CDATA[<item id=\"x\"/>]]></dc:title></item>",
        "<?pi <item?><items id=\"no\"/><itemx/><a:b:item/><item id=\"1\"/>",
        "<container id=\"1\"><item id=\"2\"/></container>",
        // Names of bytes past ASCII, and names that end in the scan's second step.
        "<\xC3\xA9:item id=\"1\"/><p:\xC3\xA9item id=\"2\"/>",
        "<abcdefghijklmnopqrstu:item id=\"1\"></abcdefghijklmnopqrstu:item><item id=\"2\"/>",
    };
    for (const std::string &body : bodies) {
        SCOPED_TRACE(body);
        char err[256];
        int objects = -1;
        items.clear();
        ASSERT_GE(didl_parse_more(doc(body).c_str(), &items, &objects, err, sizeof err), 0) << err;
        EXPECT_EQ(didl_count_objects(doc(body).c_str(), err, sizeof err), objects);
    }
    // Every alignment of start tags, end tags and skipped markup against the scan's steps.
    for (size_t k = 0; k < 34; k++) {
        const std::string pad(k, 'x');
        const std::string body = "<z>" + pad + "</z><item id=\"1\"><dc:title>" + pad +
                                 "</dc:title></item><!----><x:container id=\"2\"/><!-- <item/> --><?p?>"
                                 "<item id=\"3\"/>";
        SCOPED_TRACE(body);
        char err[256];
        EXPECT_EQ(didl_count_objects(doc(body).c_str(), err, sizeof err), 3);
    }
    char err[256];
    EXPECT_EQ(didl_count_objects("text<item/>", err, sizeof err), -1);
    EXPECT_EQ(didl_count_objects("<item><!-- unclosed <item/>", err, sizeof err), 1);
}

// A page given by its length is scanned within it: cut at every byte and ending where
// readable memory ends, without a NUL, it counts what the same text ending in one counts.
TEST(Didl, ObjectScanStaysWithinTheLength) {
    const std::string pages[] = {
        "\xEF\xBB\xBF <item id=\"1\"/><!-- <item/> --><![CDATA[<item/>]]><?p <item/>?><!x <item/>>"
        "<x:container id=\"2\"></x:container><item",
        " \r\n text <item/>",
    };
    guarded_text guard;
    char err[256];
    for (const std::string &page : pages) {
        for (size_t n = 0; n <= page.size(); n++) {
            const std::string cut = page.substr(0, n);
            EXPECT_EQ(didl_count_objects_n(guard.place(cut), n, err, sizeof err),
                      didl_count_objects(cut.c_str(), err, sizeof err))
                << cut;
        }
    }
}

// Formatted dumps wrap resource URLs and classes over lines: the white space around
// them is not part of them; titles keep their text as written.
TEST(DidlParse, WrappedUrlsAndClassesAreTrimmed) {
    std::string doc = docs::didl("<item id=\"1\" parentID=\"0\"><dc:title>  Spaced Title </dc:title>\n"
                                 "  <upnp:class>\n    object.item.audioItem.musicTrack\n  </upnp:class>\n"
                                 "  <res protocolInfo=\"http-get:*:audio/mpeg:*\" size=\"10\">\n    "
                                 "http://10.0.0.5:8200/a.mp3\n  </res>\n"
                                 "</item><container id=\"2\" parentID=\"0\"><upnp:class> </upnp:class><res "
                                 "protocolInfo=\"http-get:*:audio/mpeg:*\"> \t\n</res></container>");
    ASSERT_EQ(kvdmc_parse_didl(doc.c_str()), 0) << kvdmc_last_error();
    std::string one = kvdmc_item_json(0);
    EXPECT_NE(one.find("\"class\":\"object.item.audioItem.musicTrack\""), std::string::npos) << one;
    EXPECT_NE(one.find("\"url\":\"http://10.0.0.5:8200/a.mp3\""), std::string::npos) << one;
    EXPECT_NE(one.find("\"title\":\"  Spaced Title \""), std::string::npos) << one;
    std::string two = kvdmc_item_json(1); // a URL of white space alone is no resource
    EXPECT_NE(two.find("\"res\":null"), std::string::npos) << two;
    EXPECT_NE(two.find("\"folder\":true"), std::string::npos) << two;

    // An element inside a resource or a title: the resource keeps the text read before it,
    // trimmed; markup of no interest inside a title still gives its text.
    ASSERT_EQ(parse("<item id=\"3\"><dc:title>A<b>B</b><i/>C</dc:title><upnp:class> object.item"
                    "</upnp:class><res protocolInfo=\"http-get:*:a/b:*\"> http://h/r <dc:title>t</dc:title> "
                    "</res></item>"),
              1);
    EXPECT_STREQ(items[0].res_url, "http://h/r");
    EXPECT_STREQ(items[0].title, "t") << "the later title element wins, as before";
    EXPECT_STREQ(items[0].klass, "object.item");
    ASSERT_EQ(parse("<item id=\"4\"><dc:title>A<b>B</b><i/>C</dc:title></item>"), 1);
    EXPECT_STREQ(items[0].title, "ABC");
}
