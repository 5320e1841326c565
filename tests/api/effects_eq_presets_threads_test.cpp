// Commands on the EQ presets through Api::handle in a fresh HOME: applying, listing, saving the
// bank's values, removing, exporting and importing, with the store's own messages passed through;
// special, oversized and folder paths are refused without blocking.
#include "api_fixture.h"

#include "api/json.h"
#include "effects/eq_presets.h"
#include "effects/input_fx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <vector>

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

// A preset file of exactly `size` bytes: marker, name, then a filler line.
std::string presetOfSize(const std::string& name, size_t size) {
  std::string text = std::string(EqPresets::kMarker) + "\nname=" + name + "\nx=";
  text += std::string(size - text.size() - 1, 'x') + "\n";
  return text;
}

// Runs one request on a thread of its own. Should it still hang after 5 s, every FIFO given is
// opened both ways, which lets a blocked open return, and the case fails.
HttpResponse guarded(const std::function<HttpResponse()>& request,
                     const std::vector<std::string>& fifos) {
  auto answer = std::async(std::launch::async, request);
  if (answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return answer.get();
  ADD_FAILURE() << "the request blocked";
  std::vector<int> fds;
  for (const std::string& fifo : fifos) fds.push_back(open(fifo.c_str(), O_RDWR | O_NONBLOCK));
  answer.wait_for(std::chrono::seconds(1)); // a released writer fills the pipe meanwhile
  for (const int fd : fds) {
    if (fd >= 0) close(fd);
  }
  return answer.get();
}

class ApiEqPresetsThreads : public ApiFixture {
protected:
  // With `later` set, asked as the local server asks: the answer may come on a later turn of
  // the main queue.
  HttpResponse eq(const std::string& method, const std::string& tail, const std::string& body) {
    return later ? callLater(method, kEq + tail, body) : call(method, kEq + tail, body);
  }
  void exportAndImport();
  bool later = false;
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
  for (const bool asked : {false, true}) {
    SCOPED_TRACE(asked ? "later" : "in place");
    later = asked;
    exportAndImport();
  }
}

void ApiEqPresetsThreads::exportAndImport() {
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

TEST_F(ApiEqPresetsThreads, SpecialAndOversizedFilesAreRefusedWithoutBlocking) {
  namespace fs = std::filesystem;
  const std::string dir = system->home() + "/feindlich";
  fs::create_directories(dir + "/Ordner/Podcast.veltoeq");
  const std::string fifo = dir + "/Podcast.veltoeq";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::ofstream(dir + "/Passt.veltoeq", std::ios::binary) << presetOfSize("Passt", 64 * 1024);
  std::ofstream(dir + "/Zu groß.veltoeq", std::ios::binary)
      << presetOfSize("Zu groß", 64 * 1024 + 1);
  const std::string large = dir + "/Ordner/Podcast.txt"; // exported over below
  std::ofstream(large, std::ios::binary) << presetOfSize("Alt", 100000);
  ASSERT_EQ(eq("POST", "/presets", "zero").status, 200); // exported to /dev/zero below
  // The same traps inside the preset folder must not reach or hang the listing.
  const std::string folder = EqPresets::folder();
  ASSERT_EQ(mkfifo((folder + "/Falle.veltoeq").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", folder + "/Null.veltoeq");
  fs::create_directory(folder + "/Ordner.veltoeq");
  const std::vector<std::string> fifos = {fifo, folder + "/Falle.veltoeq"};

  int reader = -1; // a FIFO with a reader would take the export without blocking
  const struct {
    const char* word;
    std::string path;
    bool withReader;
    int status;
    std::string body;
  } kCases[] = {
      {"import", "/dev/zero", false, 400, errorJson("Datei nicht lesbar")},
      {"import", fifo, false, 400, errorJson("Datei nicht lesbar")},
      {"import", dir + "/Ordner/Podcast.veltoeq", false, 400, errorJson("Datei nicht lesbar")},
      {"import", dir + "/Zu groß.veltoeq", false, 400, errorJson("Datei nicht lesbar")},
      {"import", dir + "/Passt.veltoeq", false, 200, "\"Passt\""},
      {"export", "/dev/zero", false, 400, errorJson("nicht geschrieben")},
      {"export", fifo, false, 400, errorJson("nicht geschrieben")},
      {"export", fifo, true, 400, errorJson("nicht geschrieben")},
      {"export", dir + "/Ordner/Podcast.veltoeq", false, 400, errorJson("nicht geschrieben")},
      {"export", large, false, 200, q(large)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.word) + " " + c.path + (c.withReader ? " (reader)" : ""));
    if (c.withReader) reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const HttpResponse r =
        guarded([&] { return eq("POST", std::string("/presets/") + c.word, c.path); }, fifos);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.body);
    if (reader >= 0) {
      char byte = 0;
      EXPECT_LE(read(reader, &byte, 1), 0); // nothing went into the pipe
      close(reader);
      reader = -1;
    }
  }
  // An exported regular file is replaced whole, however large it was.
  std::ifstream in(large, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().rfind(std::string(EqPresets::kMarker) + "\nname=Podcast\n", 0), 0u);
  EXPECT_LT(text.str().size(), 400u);

  const HttpResponse list = guarded([&] { return eq("GET", "/presets", ""); }, fifos);
  EXPECT_EQ(list.body, "[" + kFactoryList +
                           ",{\"name\":\"Passt\",\"factory\":false},"
                           "{\"name\":\"zero\",\"factory\":false}]");
  // Saving over a trap in the folder fails instead of blocking or writing through it.
  fs::remove(folder + "/Passt.veltoeq");
  ASSERT_EQ(mkfifo((folder + "/Passt.veltoeq").c_str(), 0644), 0);
  const HttpResponse saved =
      guarded([&] { return eq("POST", "/presets", "Passt"); }, {folder + "/Passt.veltoeq"});
  EXPECT_EQ(saved.body, errorJson("nicht gespeichert"));
}

} // namespace
} // namespace velto::test
