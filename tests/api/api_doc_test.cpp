// The API documentation against the live command interpreter: every command path that
// resources/API.md lists (a code span starting with "/" at the head of a table row, its
// placeholders filled with members that exist) is answered with something other than 404, and
// every group and first path word the interpreter knows is documented.
// GCC 12 reports a maybe-uninitialised member inside <regex> itself in optimised builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "api_fixture.h"

#include "effects/fx_table.h"
#include "tests/support/test_files.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace velto::test {
namespace {

std::string documentation() {
  return fileText(std::string(VELTO_SOURCE_DIR) + "/resources/API.md");
}

// The command paths of the document, in order, each once.
std::vector<std::string> documentedPaths(const std::string& doc) {
  std::vector<std::string> paths;
  std::set<std::string> seen;
  std::istringstream lines(doc);
  const std::regex head(R"(^\| `(/[^`]*)`)");
  std::smatch m;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_search(line, m, head) && seen.insert(m[1]).second) paths.push_back(m[1]);
  }
  return paths;
}

// Every concrete path a documented path stands for: the member placeholders take each kind of
// member they name, the others one member that exists in the fixture.
std::vector<std::string> expand(const std::string& path) {
  struct Choice {
    const char* placeholder;
    std::vector<std::string> values;
  };
  const Choice choices[] = {
      {"<strip>",
       {"hardware/inputs/1", "hardware/virtual/1", "hardware/outputs/1", "software/apps/1",
        "software/virtual/1", "pads/mix/1", "player/mix/1"}},
      {"<quelle>", {"hardware/inputs/1", "software/virtual/1", "pads/mix/1", "player/mix/1"}},
      {"<werkzeug>", {"aec", "gate", "feedback"}},
      {"<n>", {"1"}},
      {"<ziel>", {"2"}},
      {"<gerät>", {"mic-uid"}},
      {"<effekt>", {"echo"}},
      {"<vorlage>", {"Sprache"}},
      {"<t>", {"1"}},
      {"<p>", {"1"}},
  };
  for (const Choice& c : choices) {
    const size_t at = path.find(c.placeholder);
    if (at == std::string::npos) continue;
    std::vector<std::string> out;
    for (const std::string& v : c.values) {
      std::string filled = path;
      filled.replace(at, std::string(c.placeholder).size(), v);
      for (const std::string& e : expand(filled)) out.push_back(e);
    }
    return out;
  }
  // A parameter is one of the effect named just before it.
  const std::string parameter = "/<parameter>";
  const size_t at = path.find(parameter);
  if (at != std::string::npos) {
    const size_t slash = path.rfind('/', at - 1);
    const FxInfo* fx = findFx(path.substr(slash + 1, at - slash - 1).c_str());
    if (fx == nullptr || fx->paramCount == 0) return {path};
    std::vector<std::string> out;
    for (int i = 0; i < fx->paramCount; ++i) {
      std::string filled = path;
      filled.replace(at + 1, parameter.size() - 1, fx->params[i].key);
      out.push_back(filled);
    }
    return out;
  }
  return {path};
}

class ApiDocThreads : public ApiFixture {
protected:
  void SetUp() override {
    appHooks() = AppHooks{};
    // The level probe listens to running devices.
    start(true, platform::audio::ClockMode::RealTime);
    settle();
    // One application and one track, so that their paths have a member.
    ASSERT_EQ(call("POST", "/software/apps", "com.example.player").status, 200);
    const std::string folder = std::string(std::getenv("HOME")) + "/tracks";
    std::filesystem::create_directories(folder);
    ASSERT_TRUE(writeSteadyWav(folder + "/ton.wav", 1));
    ASSERT_EQ(call("POST", "/player/folder", folder).status, 200);
    ASSERT_EQ(call("POST", "/player/playlist", "all").status, 200);
    ASSERT_EQ(call("GET", "/player/playlist/1").status, 200);
  }
};

TEST_F(ApiDocThreads, EveryDocumentedPathIsAnswered) {
  const std::string doc = documentation();
  ASSERT_FALSE(doc.empty()) << "resources/API.md not readable";
  const std::vector<std::string> paths = documentedPaths(doc);
  ASSERT_FALSE(paths.empty());
  size_t checked = 0;
  for (const std::string& documented : paths) {
    for (const std::string& path : expand(documented)) {
      SCOPED_TRACE(documented + " as " + path);
      EXPECT_EQ(path.find('<'), std::string::npos) << "placeholder without a member";
      const HttpResponse r = call("GET", path);
      EXPECT_NE(r.status, 404) << r.body;
      EXPECT_FALSE(r.body.empty());
      ++checked;
    }
  }
  // Each tool, strip kind and parameter stands for several paths.
  EXPECT_GT(checked, paths.size());
  // The check itself tells a missing path apart.
  EXPECT_EQ(call("GET", "/hardware/inputs/1/lautheit").status, 404);
  EXPECT_EQ(call("GET", "/player/playlist/2").status, 404);
}

bool documentsPathStart(const std::vector<std::string>& paths, const std::string& start) {
  for (const std::string& p : paths) {
    if (p == start || p.rfind(start + "/", 0) == 0) return true;
  }
  return false;
}

TEST_F(ApiDocThreads, EveryGroupAndFirstWordOfTheInterpreterIsDocumented) {
  const std::vector<std::string> paths = documentedPaths(documentation());

  // The first words, as the interpreter lists them when it meets an unknown one.
  const HttpResponse unknown = call("GET", "/nirgends");
  ASSERT_EQ(unknown.status, 404);
  const std::string lead = "{\"error\":\"Pfad beginnt mit ";
  ASSERT_EQ(unknown.body.rfind(lead, 0), 0u) << unknown.body;
  std::string words = unknown.body.substr(lead.size());
  words = std::regex_replace(words, std::regex("\"\\}$"), "");
  words = std::regex_replace(words, std::regex(" oder "), ", ");
  std::vector<std::string> first;
  std::istringstream split(words);
  for (std::string w; std::getline(split, w, ',');) first.push_back(w.substr(w[0] == ' '));
  EXPECT_GT(first.size(), 1u) << words;
  for (const std::string& w : first) {
    EXPECT_TRUE(documentsPathStart(paths, "/" + w)) << w;
  }

  // The groups with their members, as the configuration writer walks them: a name line for
  // every member of every group.
  api->save();
  std::ifstream config(Api::configPath());
  const std::regex memberName(R"(^([a-z]+)/([a-z]+)/[0-9]+/name=)");
  std::set<std::string> groups;
  std::smatch m;
  for (std::string line; std::getline(config, line);) {
    if (std::regex_search(line, m, memberName)) groups.insert(m[1].str() + "/" + m[2].str());
  }
  EXPECT_FALSE(groups.empty());
  for (const std::string& g : groups) {
    SCOPED_TRACE(g);
    EXPECT_TRUE(std::find(paths.begin(), paths.end(), "/" + g) != paths.end()) << "not documented";
    EXPECT_EQ(call("GET", "/" + g).status, 200);
  }
}

} // namespace
} // namespace velto::test
