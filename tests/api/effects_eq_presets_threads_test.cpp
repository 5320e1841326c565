// Commands on the EQ presets through Api::handle in a fresh HOME: applying, listing, saving the
// bank's values, removing, exporting and importing, with the store's own messages passed through.
#include "api_fixture.h"

#include "effects/eq_presets.h"
#include "effects/input_fx.h"

#include <fstream>
#include <sstream>
#include <string>

namespace velto::test {
namespace {

const std::string kFactoryList =
    "{\"name\":\"Neutral\",\"factory\":true},{\"name\":\"Stimme warm\",\"factory\":true},"
    "{\"name\":\"Podcast\",\"factory\":true},{\"name\":\"ASMR nah\",\"factory\":true},"
    "{\"name\":\"Akustikgitarre\",\"factory\":true}";

const std::string kPodcast =
    "{\"enabled\":false,\"low-frequency\":100.0,\"low-gain\":-2.0,\"mid1-frequency\":250.0,"
    "\"mid1-gain\":-3.0,\"mid1-q\":1.4,\"mid2-frequency\":3500.0,\"mid2-gain\":3.0,"
    "\"mid2-q\":1.2,\"high-frequency\":10000.0,\"high-gain\":2.0}";

constexpr const char* kEq = "/hardware/inputs/1/effects/eq";

class ApiEqPresetsThreads : public ApiFixture {
protected:
  HttpResponse eq(const std::string& method, const std::string& tail, const std::string& body) {
    return call(method, kEq + tail, body);
  }
};

TEST_F(ApiEqPresetsThreads, ApplySaveListRemove) {
  EXPECT_EQ(eq("GET", "/presets", "").body, "[" + kFactoryList + "]");
  auto r = eq("POST", "/preset", "Podcast");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, kPodcast);
  EXPECT_EQ(eq("GET", "", "").body, kPodcast);
  r = eq("POST", "/preset", "Radio");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("Vorlage nicht gefunden: Radio"));
  r = eq("GET", "/preset", "");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur POST"));

  // The bank's current values under a new name.
  ASSERT_EQ(eq("POST", "/mid2-gain", "6").status, 200);
  r = eq("PUT", "/presets", " Meine Stimme ");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "\"Meine Stimme\"");
  EXPECT_EQ(eq("GET", "/presets", "").body,
            "[" + kFactoryList + ",{\"name\":\"Meine Stimme\",\"factory\":false}]");
  ASSERT_EQ(eq("POST", "/preset", "Neutral").status, 200);
  r = eq("POST", "/preset", "Meine Stimme");
  std::string mine = kPodcast;
  mine.replace(mine.find("\"mid2-gain\":3.0"), 15, "\"mid2-gain\":6.0");
  EXPECT_EQ(r.body, mine);

  for (const char* method : {"POST", "DELETE"}) {
    r = eq(method, "/presets", "");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Name fehlt"));
  }
  // Messages of the store pass through unchanged.
  r = eq("POST", "/presets", "a:b");
  EXPECT_EQ(r.status, 400);
  std::string colon;
  EXPECT_FALSE(EqPresets::save(EqPresets::fromFx("a:b", *engine->hwInputs[0].fx), colon));
  EXPECT_EQ(r.body, errorJson(colon));

  r = eq("DELETE", "/presets/Meine%20Stimme", "");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "\"Meine Stimme\"");
  EXPECT_EQ(eq("GET", "/presets", "").body, "[" + kFactoryList + "]");
  std::string gone;
  EXPECT_FALSE(EqPresets::remove("Meine Stimme", gone));
  r = eq("DELETE", "/presets/Meine%20Stimme", "");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson(gone));
  r = eq("GET", "/presets/Podcast", "");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(r.body, errorJson("nur DELETE"));
  r = eq("GET", "/presets/Podcast/x", "");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("unbekannter Pfad"));
  // Presets belong to the EQ only.
  r = call("GET", "/hardware/inputs/1/effects/echo/presets");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, errorJson("unbekannt: presets"));
}

TEST_F(ApiEqPresetsThreads, ExportAndImportFiles) {
  const std::string file = system->home() + "/Podcast.veltoeq";
  auto r = eq("POST", "/presets/export", file);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "\"" + file + "\"");
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().rfind(EqPresets::kMarker, 0), 0u) << text.str();

  // A file that carries no preset of that name.
  std::string missing;
  EXPECT_FALSE(EqPresets::exportTo("Radio", system->home() + "/x", missing));
  r = eq("POST", "/presets/export", system->home() + "/Radio.veltoeq");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson(missing));

  // Imported under a name of its own, since the factory name is taken.
  std::string imported;
  std::string importError;
  r = eq("POST", "/presets/import", file);
  EXPECT_EQ(r.status, 200);
  ASSERT_EQ(r.body.front(), '"');
  imported = r.body.substr(1, r.body.size() - 2);
  EXPECT_EQ(eq("POST", "/preset", imported).body, kPodcast);

  EXPECT_FALSE(EqPresets::importFrom(system->home() + "/nichts", imported, importError));
  r = eq("POST", "/presets/import", system->home() + "/nichts");
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body, errorJson(importError));
  for (const char* word : {"import", "export"}) {
    r = eq("POST", std::string("/presets/") + word, "  ");
    EXPECT_EQ(r.status, 400);
    EXPECT_EQ(r.body, errorJson("Pfad fehlt"));
    r = eq("GET", std::string("/presets/") + word, file);
    EXPECT_EQ(r.status, 405);
    EXPECT_EQ(r.body, errorJson("nur POST"));
  }
}

} // namespace
} // namespace velto::test
