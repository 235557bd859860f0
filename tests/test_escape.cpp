// The XML and JSON escapers.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "base/escape.h"
#include "base/sbuf.h"

TEST(Escape, Xml) {
    sbuf_scoped b;
    sb_xml(&b, "a<b>&\"'");
    EXPECT_STREQ(b.str(), "a&lt;b&gt;&amp;&quot;&apos;");
    sb_reset(&b);
    sb_xml(&b, "x\x01y\x0bz\t\n\r\x7f\xc3\xa9");
    EXPECT_STREQ(b.str(), "xyz\t\n\r\x7f\xc3\xa9");
}

TEST(Escape, Json) {
    sbuf_scoped b;
    sb_json_str(&b, nullptr);
    EXPECT_STREQ(b.str(), "\"\"");
    sb_reset(&b);
    sb_json_str(&b, "q\"\\/\b\f\n\r\t\x1f\x01\xc3\xa9");
    EXPECT_STREQ(b.str(), "\"q\\\"\\\\/\\b\\f\\n\\r\\t\\u001f\\u0001\xc3\xa9\"");
    sb_reset(&b);
    sb_json_str_u(&b, "\b\f\n");
    EXPECT_STREQ(b.str(), "\"\\u0008\\u000c\\n\"");
}
