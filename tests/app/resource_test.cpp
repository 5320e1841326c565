// Resource texts are read only when they are well-formed UTF-8.
#include <gtest/gtest.h>

#include "app/resource_dir.h"

namespace {

TEST(Resources, OnlyWellFormedUtf8CountsAsText) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"ASCII and umlauts, bullet, emoji", "Grüße • \xF0\x9F\x8E\xB5", true},
      {"empty", "", true},
      {"a lone continuation byte", "a\x80", false},
      {"an overlong slash", "\xC0\xAF", false},
      {"an overlong three-byte form", "\xE0\x80\xAF", false},
      {"a surrogate", "\xED\xA0\x80", false},
      {"past U+10FFFF", "\xF4\x90\x80\x80", false},
      {"cut off at the end", "ok \xE2\x82", false},
      {"Latin-1 instead of UTF-8",
       "Gr\xFC\xDF"
       "e",
       false},
  };
  for (const Case& c : cases) EXPECT_EQ(velto::validUtf8(c.bytes), c.valid) << c.name;
}

TEST(Resources, TheApiDocumentationIsFoundBesideTheProgramsBuild) {
  const std::string path = velto::resourceFile("API.md");
  EXPECT_NE(path.find("share/velto/API.md"), std::string::npos) << path;
  EXPECT_EQ(velto::resourceFile("no-such-resource.md"), "");
  EXPECT_NE(velto::readResourceText("API.md").find("\n## "), std::string::npos)
      << "the documentation has sections";
}

} // namespace
