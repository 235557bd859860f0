// The JSON views of items the host reads, after a DIDL-Lite document is parsed through the API.
#include <gtest/gtest.h>

#include <string>

#include "helpers/docs.h"
#include "kvdmc.h"

namespace {

std::string doc(const std::string &body) {
    return docs::didl(body, false);
}

} // namespace

TEST(ItemJson, FullItemExact) {
    ASSERT_EQ(kvdmc_parse_didl(
                  doc("<item id=\"64$3\" parentID=\"64\"><dc:title>Song</dc:title>"
                      "<upnp:class>object.item.videoItem</upnp:class><dc:date>2021-01-01</dc:date>" +
                      docs::res("http-get:*:video/mp4:*", "http://h/v.mp4",
                                " size=\"12345678901\" duration=\"0:01:02.000\" resolution=\"1920x1080\"") +
                      docs::res("http-get:*:text/srt:*", "http://h/v.srt") +
                      "<sec:CaptionInfoEx>http://h/v2.srt</sec:CaptionInfoEx></item>")
                      .c_str()),
              0);
    const char *item =
        "{\"i\":0,\"id\":\"64$3\",\"parent\":\"64\",\"title\":\"Song\",\"class\":"
        "\"object.item.videoItem\",\"folder\":false,\"childcount\":0,\"date\":\"2021-01-01\","
        "\"res\":{\"url\":\"http://h/v.mp4\",\"mime\":\"video/mp4\",\"size\":12345678901,"
        "\"duration\":\"0:01:02.000\",\"resolution\":\"1920x1080\"},\"subs\":[{\"url\":"
        "\"http://h/v.srt\",\"mime\":\"text/srt\"},{\"url\":\"http://h/v2.srt\",\"mime\":\"text/srt\"}]}";
    EXPECT_EQ(std::string(kvdmc_last_json()), std::string("{\"count\":1,\"items\":[") + item + "]}");
    EXPECT_EQ(kvdmc_last_code(), 0);
    EXPECT_STREQ(kvdmc_item_json(0), item);
    // Item and device views are not parse results: the held DIDL result stays the last JSON.
    EXPECT_EQ(std::string(kvdmc_last_json()), std::string("{\"count\":1,\"items\":[") + item + "]}");
    EXPECT_STREQ(kvdmc_best_res_url(0), "http://h/v.mp4");
    EXPECT_EQ(kvdmc_item_count(), 1);
}

// Results reuse the records of earlier ones, which are not zeroed: a bare item parsed into
// records that held rich ones shows nothing of them.
TEST(ItemJson, ReusedRecordsKeepNothingOfEarlierResults) {
    std::string rich;
    for (int i = 0; i < 40; i++)
        rich += "<item id=\"r" + std::to_string(i) +
                "\" parentID=\"p\" childCount=\"7\"><dc:title>T</dc:title>"
                "<upnp:class>object.item.videoItem</upnp:class><dc:date>2021-01-01</dc:date>" +
                docs::res("http-get:*:video/mp4:*", "http://h/v.mp4",
                          " size=\"9\" duration=\"1\" resolution=\"2\"") +
                "<sec:CaptionInfoEx>http://h/v.srt</sec:CaptionInfoEx></item>";
    const char *bare = "{\"i\":%d,\"id\":\"\",\"parent\":\"\",\"title\":\"\",\"class\":\"\",\"folder\":false,"
                       "\"childcount\":0,\"date\":\"\",\"res\":null}";
    // Enough rich results that every table kept for reuse has held one.
    for (int round = 0; round < 4; round++) ASSERT_EQ(kvdmc_parse_didl(doc(rich).c_str()), 0);
    for (int round = 0; round < 4; round++) {
        ASSERT_EQ(kvdmc_parse_didl(doc("<item/><item></item><item><res/></item>").c_str()), 0);
        ASSERT_EQ(kvdmc_item_count(), 3);
        EXPECT_EQ(kvdmc_total_matches(), -1);
        for (int i = 0; i < 3; i++) {
            char want[256];
            snprintf(want, sizeof want, bare, i);
            EXPECT_STREQ(kvdmc_item_json(i), want) << "round " << round;
        }
    }
}

TEST(ItemJson, EscapesNullResourceAndPlainResource) {
    ASSERT_EQ(kvdmc_parse_didl(doc("<container id=\"c\"><dc:title>a&quot;b\\c\td\x01"
                                   "e\x08"
                                   "f/\xC3\xA9</dc:title>"
                                   "</container><item id=\"i\">" +
                                   docs::res("http-get:*:audio/mpeg:*", "http://h/a.mp3", " size=\"5\"") +
                                   "</item>")
                                   .c_str()),
              0);
    EXPECT_STREQ(
        kvdmc_item_json(0),
        "{\"i\":0,\"id\":\"c\",\"parent\":\"\",\"title\":\"a\\\"b\\\\c\\td\\u0001e\\u0008f/\xC3\xA9\","
        "\"class\":\"object.container.storageFolder\",\"folder\":true,\"childcount\":0,\"date\":\"\","
        "\"res\":null}");
    EXPECT_STREQ(kvdmc_item_json(1),
                 "{\"i\":1,\"id\":\"i\",\"parent\":\"\",\"title\":\"\",\"class\":\"\",\"folder\":false,"
                 "\"childcount\":0,\"date\":\"\",\"res\":{\"url\":\"http://h/a.mp3\",\"mime\":\"audio/mpeg\","
                 "\"size\":5}}");
}

TEST(ItemJson, LongTextsAreHandedOutWhole) {
    std::string url = "http://h/" + std::string(1000, 'u');
    std::string subs;
    for (int i = 0; i < 8; i++) subs += "<CaptionInfo>" + url + std::to_string(i) + "</CaptionInfo>";
    ASSERT_EQ(
        kvdmc_parse_didl(
            doc("<item id=\"1\">" + docs::res("http-get:*:a/b:*", url.c_str()) + subs + "</item>").c_str()),
        0);
    std::string js = kvdmc_item_json(0);
    EXPECT_GT(js.size(), 9000u);
    EXPECT_EQ(js.back(), '}');
    EXPECT_NE(js.find(url + "7\",\"mime\":\"text/srt\"}]}"), std::string::npos);
}

TEST(ItemJson, RangeAndFailures) {
    ASSERT_EQ(kvdmc_parse_didl(doc("<item id=\"1\"/>").c_str()), 0);
    std::string before = kvdmc_last_json();
    kvdmc_parse_ssdp(nullptr); // sets some other last error
    int code = kvdmc_last_code();
    EXPECT_STREQ(kvdmc_item_json(1), "");
    EXPECT_STREQ(kvdmc_last_error(), "item_json: index out of range");
    EXPECT_EQ(kvdmc_last_code(), code);
    EXPECT_STREQ(kvdmc_item_json(-1), "");
    EXPECT_STREQ(kvdmc_best_res_url(-1), "");
    EXPECT_STREQ(kvdmc_best_res_url(1), "");

    EXPECT_EQ(kvdmc_parse_didl(nullptr), KVDMC_E_ARG);
    EXPECT_STREQ(kvdmc_last_error(), "parse_didl: null didl");
    EXPECT_EQ(kvdmc_parse_didl("<DIDL-Lite><item id=\"x\"><</DIDL-Lite>"), KVDMC_E_PARSE);
    EXPECT_STREQ(kvdmc_last_error(), "parse_didl: didl: xml error near offset 24: malformed tag");
    EXPECT_EQ(kvdmc_last_code(), KVDMC_E_PARSE);
    EXPECT_EQ(before, kvdmc_last_json());
    EXPECT_EQ(kvdmc_item_count(), 1);
}
