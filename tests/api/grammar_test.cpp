// The request and value grammar and the JSON text functions, without an engine.
#include "api/api_detail.h"
#include "api/json.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace velto::detail {
namespace {

using Words = std::vector<std::string>;

TEST(ApiGrammar, SplitsPathsDropsEmptySegmentsAndDecodesEachSegment) {
  struct Case {
    std::string path;
    Words words;
  };
  const Case cases[] = {
      {"", {}},
      {"/", {}},
      {"//hardware///inputs//", {"hardware", "inputs"}},
      {"/hardware/inputs/1/gain", {"hardware", "inputs", "1", "gain"}},
      {"/software/apps/Mein+Player", {"software", "apps", "Mein Player"}},
      {"/a%2Fb/c", {"a/b", "c"}},           // an escaped slash does not split
      {"/%41%62c", {"Abc"}},                // upper and lower case hex digits
      {"/x%2By", {"x+y"}},                  // an escaped plus stays a plus
      {"/%C3%A4", {"\xC3\xA4"}},            // UTF-8 bytes
      {"/ab%4", {"ab%4"}},                  // too short: unchanged
      {"/ab%", {"ab%"}},                    // too short: unchanged
      {"/a%4gz", {std::string("a\x04z")}},  // one hex digit gives its value
      {"/a%zzb", {std::string("a\0b", 3)}}, // no hex digit gives the byte 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(splitPath(c.path), c.words);
  }
}

TEST(ApiGrammar, TrimsEveryAsciiWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim(" \t\r\n\v\fon \r\n"), "on");
  EXPECT_EQ(trim("  -12 0.25 "), "-12 0.25");
  EXPECT_EQ(trim(" \n "), "");
  EXPECT_EQ(trim("a b"), "a b");
}

TEST(ApiGrammar, MethodsAreClassedWithoutRegardToCase) {
  EXPECT_EQ(methodOf("get"), Method::read);
  EXPECT_EQ(methodOf("GeT"), Method::read);
  EXPECT_EQ(methodOf("post"), Method::write);
  EXPECT_EQ(methodOf("PUT"), Method::write);
  EXPECT_EQ(methodOf("Delete"), Method::remove);
  EXPECT_EQ(methodOf("PATCH"), Method::other);
  EXPECT_EQ(methodOf(""), Method::other);
}

TEST(ApiGrammar, OnOffWordsAndToggle) {
  struct Case {
    const char* text;
    bool current;
    bool ok;
    bool value;
  };
  const Case cases[] = {
      {"on", false, true, true},     {"ON", false, true, true},     {"1", false, true, true},
      {"true", false, true, true},   {"an", false, true, true},     {"off", true, true, false},
      {"0", true, true, false},      {"False", true, true, false},  {"aus", true, true, false},
      {"toggle", true, true, false}, {"TOGGLE", false, true, true}, {"yes", false, false, false},
      {"", false, false, false},     {"on ", false, false, false},  {"2", false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bool value = !c.value;
    EXPECT_EQ(parseBool(c.text, c.current, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(ApiGrammar, LevelsAreClampedAndNonFiniteNumbersRefused) {
  struct Case {
    const char* text;
    bool ok;
    float db;
  };
  const Case cases[] = {
      {"-6", true, -6.0f},    {"reset", true, 0.0f},      {"RESET", true, 0.0f},
      {"-80", true, -60.0f},  {"30", true, 12.0f},        {"-6dB", true, -6.0f},
      {"2.5 dB", true, 2.5f}, {"+3", true, 3.0f},         {"dB", false, 0.0f},
      {"", false, 0.0f},      {"nan", false, 0.0f},       {"NaN", false, 0.0f},
      {"inf", false, 0.0f},   {"-infinity", false, 0.0f}, {"1e39", false, 0.0f},
      {"-1e39", false, 0.0f}, {"laut", false, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    float db = 99.0f;
    EXPECT_EQ(parseDb(c.text, db), c.ok);
    if (c.ok) {
      EXPECT_EQ(db, c.db);
    }
  }
}

TEST(ApiGrammar, SecondsAreRangeCheckedNotClamped) {
  struct Case {
    const char* text;
    float max;
    bool ok;
    float value;
  };
  const Case cases[] = {
      {"0", 60.0f, true, 0.0f},      {"60", 60.0f, true, 60.0f},   {"2.5s", 60.0f, true, 2.5f},
      {"60.01", 60.0f, false, 0.0f}, {"-0.5", 60.0f, false, 0.0f}, {"12", 10.0f, false, 0.0f},
      {"nan", 60.0f, false, 0.0f},   {"inf", 60.0f, false, 0.0f},  {"x", 60.0f, false, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    float value = -1.0f;
    EXPECT_EQ(parseSeconds(c.text, c.max, value), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.value);
    }
  }
}

TEST(ApiGrammar, IntegersTooLargeForSixtyFourBitsNeverWrap) {
  int64_t value = -1;
  EXPECT_TRUE(parseInteger("8080", value));
  EXPECT_EQ(value, 8080);
  EXPECT_TRUE(parseInteger("256 frames", value));
  EXPECT_EQ(value, 256);
  EXPECT_TRUE(parseInteger("abc", value));
  EXPECT_EQ(value, 0);
  EXPECT_FALSE(parseInteger("99999999999999999999", value));
  EXPECT_FALSE(parseInteger("-99999999999999999999", value));

  EXPECT_TRUE(wholeInteger(" +2", value));
  EXPECT_EQ(value, 2);
  EXPECT_FALSE(wholeInteger("2 ", value));
  EXPECT_FALSE(wholeInteger("2x", value));
  EXPECT_FALSE(wholeInteger("", value));
  EXPECT_FALSE(wholeInteger(std::string("1\0", 2), value));
  EXPECT_TRUE(wholeInteger("18446744073709551617", value));
  EXPECT_EQ(value, std::numeric_limits<int64_t>::max());
}

TEST(ApiJsonText, QuotesEscapesAndPassesUtf8) {
  EXPECT_EQ(q(""), "\"\"");
  EXPECT_EQ(q("a\"b\\c\nd\te\rf"), "\"a\\\"b\\\\c\\nd\\u0009e\\u000df\"");
  EXPECT_EQ(q(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
  EXPECT_EQ(q(std::string("\0", 1)), "\"\\u0000\"");
  EXPECT_EQ(q("Größe äß"), "\"Größe äß\"");
  EXPECT_EQ(q("\x7f"), "\"\x7f\"");
}

// Each maximal ill-formed part becomes one U+FFFD ("R" below); well-formed text passes.
TEST(ApiJsonText, IllFormedUtf8BecomesReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  const struct {
    std::string in;
    std::string out;
  } kCases[] = {
      {"\x80", R}, // stray continuation
      {"\xBF\x80", R + R},
      {"\xC0\x80", R + R},                 // overlong NUL
      {"\xC1\xBF", R + R},                 // overlong "\x7f"
      {"\xE0\x80\xAF", R + R + R},         // overlong "/"
      {"\xF0\x82\x82\xAC", R + R + R + R}, // overlong euro sign
      {"\xED\xA0\x80", R + R + R},         // high surrogate
      {"\xED\xBF\xBF", R + R + R},         // low surrogate
      {"\xF4\x90\x80\x80", R + R + R + R}, // beyond U+10FFFF
      {"\xF5\x80\x80\x80", R + R + R + R},
      {"\xFE\xFF", R + R},
      {"\xE2\x82", R},                  // cut short at the end
      {"\xF0\x9F\x98x", R + "x"},       // cut short before ASCII
      {"\xC3\xC3\xA4", R + "\xC3\xA4"}, // a lead byte where a continuation belongs
      {"a\xE2\x82\xAC-\xE2\x82\xAC", "a\xE2\x82\xAC-\xE2\x82\xAC"}, // euro signs pass
      {"\xED\x9F\xBF\xEE\x80\x80", "\xED\x9F\xBF\xEE\x80\x80"},     // beside the surrogates
      {"\xF0\x90\x80\x80\xF4\x8F\xBF\xBF", "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF"}, // U+10000, U+10FFFF
      {R + "\n\x9F", R + "\\n" + R},
  };
  for (const auto& c : kCases) EXPECT_EQ(q(c.in), "\"" + c.out + "\"") << c.in;
}

TEST(ApiJsonText, NumbersUsePrintfRounding) {
  EXPECT_EQ(num(0.0f), "0.0");
  EXPECT_EQ(num(-0.04f), "-0.0");
  EXPECT_EQ(num(-6.0f), "-6.0");
  EXPECT_EQ(num(12.25f), "12.2"); // 12.25 is exact: round half to even
  EXPECT_EQ(num(-59.96f), "-60.0");
  EXPECT_EQ(secs(0.0f), "0.00");
  EXPECT_EQ(secs(2.5f), "2.50");
  EXPECT_EQ(secs(86400.0f), "86400.00");
}

TEST(ApiJsonText, StringListsJoinQuotedItems) {
  EXPECT_EQ(list({}), "[]");
  EXPECT_EQ(list({"Input 1"}), "[\"Input 1\"]");
  EXPECT_EQ(list({"a", "b\"c"}), "[\"a\",\"b\\\"c\"]");
}

} // namespace
} // namespace velto::detail
