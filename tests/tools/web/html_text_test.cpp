// HTML escaping and URL encoding of drive-supplied text, with the hostile
// strings drives have been made to report.
#include "web/html_text.h"

#include <gtest/gtest.h>

#include "smart.h"

namespace {

using platewise::web::html_escape;
using platewise::web::url_decode;
using platewise::web::url_encode_segment;

struct EscapeRow {
    std::string input;
    std::string expected;
};

TEST(HtmlEscape, HostileStringsBecomeText)
{
    const EscapeRow rows[] = {
        {"", ""},
        {"WDC WD2500JB-00REA0", "WDC WD2500JB-00REA0"},
        {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
        {"\" onmouseover=\"x", "&quot; onmouseover=&quot;x"},
        {"' autofocus onfocus='x", "&#39; autofocus onfocus=&#39;x"},
        {"a&amp;b", "a&amp;amp;b"},
        {"</title><img src=x>", "&lt;/title&gt;&lt;img src=x&gt;"},
        // Bytes outside printable ASCII never reach the page as they are.
        {"\x1b[2J", "\xef\xbf\xbd[2J"},
        {std::string("a\0b", 3), "a\xef\xbf\xbd" "b"},
        {"x\xc3\xa9\xff", "x\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
    };
    for (const EscapeRow& row : rows) {
        EXPECT_EQ(html_escape(row.input), row.expected) << row.input;
    }
}

TEST(HtmlEscape, SanitisedDriveStringsStayReadable)
{
    // What the listener keeps of a hostile model (sanitised), then escaped.
    const std::string model = smart::sanitize_text("Q\"uo\\te\nx\xc3\xa9<b>");
    EXPECT_EQ(html_escape(model), "Q&quot;uo\\x5cte\\x0ax\\xc3\\xa9&lt;b&gt;");
}

TEST(UrlSegment, EncodesAndDecodesEverySerial)
{
    const EscapeRow rows[] = {
        {"WD-WMANK4051741", "WD-WMANK4051741"},
        {"a b/c", "a%20b%2Fc"},
        {"50%", "50%25"},
        {"?x=1#y", "%3Fx%3D1%23y"},
        {"<\"'>", "%3C%22%27%3E"},
        {"\\x5c", "%5Cx5c"},
    };
    for (const EscapeRow& row : rows) {
        EXPECT_EQ(url_encode_segment(row.input), row.expected);
        std::string back;
        ASSERT_TRUE(url_decode(row.expected, back)) << row.expected;
        EXPECT_EQ(back, row.input);
    }
    std::string out;
    for (const char* bad : {"%", "%4", "%zz", "a%00b", "%G0"}) {
        EXPECT_FALSE(url_decode(bad, out)) << bad;
    }
}

}  // namespace
