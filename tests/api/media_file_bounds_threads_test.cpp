// Files named by pad and playlist requests that could hold the main thread: long zero tails, a
// header claiming hours, a FIFO, a path that flips between a WAV and a FIFO, a long sound. Each
// request returns at once with the reply its file deserves; a long sound finishes loading later.
#include "api_fixture.h"

#include "platform/dispatch/dispatch.h"
#include "tests/platform/audiofile_fixtures.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace velto::test {
namespace {

using namespace velto::fixtures;

constexpr int64_t kMiB = int64_t(1) << 20;
constexpr int64_t kSecondBytes = 44 + 176400; // one second at 44100 Hz, stereo, 16 bit
// Main-thread time a request may take; the wall-clock bound only tells a blocked call from a
// busy machine.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 4.0; // the sanitizers' own cost, not the request's
#else
constexpr double kSlowdown = 1.0;
#endif
constexpr double kMaxCpuSeconds = 0.1 * kSlowdown;
constexpr double kMaxWallSeconds = 1.0 * kSlowdown;

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

double wallSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

bool writeSecond(const std::string& path) {
  return writeWav(path, 44100, 2, tones({440.0, 660.0}, 0.5, 44100, 1.0));
}

class MediaFileBoundsThreads : public ApiFixture {
protected:
  void SetUp() override {
    ApiFixture::SetUp();
    folder = std::string(std::getenv("HOME")) + "/files";
    std::filesystem::create_directories(folder);
  }
  void TearDown() override {
    EXPECT_TRUE(platform::dispatch::waitBackgroundIdle(std::chrono::seconds(60)));
    ApiFixture::TearDown();
  }

  // Calls the API and checks that it held this (the main) thread only briefly. `later` asks as
  // the local server does and runs the main queue until the answer has come, counting the main
  // thread's time over the whole wait.
  HttpResponse timed(const std::string& path, const std::string& body, bool later = false) {
    const double cpu = threadCpuSeconds();
    const double wall = wallSeconds();
    HttpResponse r = later ? callLater("POST", path, body) : call("POST", path, body);
    EXPECT_LT(threadCpuSeconds() - cpu, kMaxCpuSeconds) << path << " " << body;
    const double wallBound = later ? kMaxWallSeconds + 1.0 : kMaxWallSeconds;
    EXPECT_LT(wallSeconds() - wall, wallBound) << path << " " << body;
    return r;
  }

  std::string folder;
};

// While it runs, a writer opens the FIFO now and then, so that an open that waits for one
// returns after a while (and shows as a slow request) instead of hanging the suite.
class FifoWaker {
public:
  explicit FifoWaker(std::string fifo) : fifo_(std::move(fifo)), thread_([this] { run(); }) {}
  ~FifoWaker() {
    stop_ = true;
    thread_.join();
  }

private:
  void run() {
    while (!stop_) {
      for (int i = 0; i < 30 && !stop_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const int fd = ::open(fifo_.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  }
  std::string fifo_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(MediaFileBoundsThreads, NamedFilesAreAnsweredAtOnce) {
  struct Case {
    const char* name;
    std::function<bool(const std::string&)> make;
    std::string padReply; // part of the pad's JSON on success, "" for a refusal
    std::string refusal;  // the pad's refusal
    double trackSeconds;  // the track's length; negative when the playlist refuses it
  };
  const auto tail = [](int64_t bytes) {
    return [bytes](const std::string& p) {
      return writeSecond(p) && growFile(p, kSecondBytes + bytes);
    };
  };
  const std::string second = "\"loaded\":true,\"loading\":false,\"error\":null,\"seconds\":1.00";
  const Case cases[] = {
      {"tail16.wav", tail(16 * kMiB), second, "", 1.0},
      {"tail64.wav", tail(64 * kMiB), second, "", 1.0},
      {"tail256.wav", tail(256 * kMiB), second, "", 1.0},
      {"tail4g.wav",
       [](const std::string& p) { return writeSecond(p) && growFile(p, 4096 * kMiB); }, second, "",
       1.0},
      // About 6.8 hours stated: too long for a pad, a track like any other.
      {"claims.wav",
       [](const std::string& p) {
         return writeSecond(p) && stateWavDataBytes(p, 0xFFFFFF00u) && growFile(p, 4096 * kMiB);
       },
       "", "claims.wav: länger als 20 min", 0xFFFFFF00u / 4 / 44100.0},
      {"pipe.wav", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600) == 0; }, "",
       "pipe.wav: Datei nicht lesbar", -1.0},
  };
  ASSERT_EQ(call("POST", "/pads/folder", folder).status, 200);
  ASSERT_EQ(call("POST", "/player/folder", folder).status, 200);
  FifoWaker waker(folder + "/pipe.wav");
  for (const Case& c : cases) ASSERT_TRUE(c.make(folder + "/" + c.name)) << c.name;
  // Asked in place, as the configuration does, and as the local server asks.
  for (const bool later : {false, true})
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (later ? " later" : " in place"));
      HttpResponse r = timed("/pads/1/file", c.name, later);
      if (c.padReply.empty()) {
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body, errorJson(c.refusal));
      } else {
        EXPECT_EQ(r.status, 200);
        EXPECT_NE(r.body.find(c.padReply), std::string::npos) << r.body;
        EXPECT_EQ(call("GET", "/pads/1/file").body, "\"" + folder + "/" + c.name + "\"");
      }
      const size_t tracks = engine->player.playlist.size();
      r = timed("/player/playlist", folder + "/" + c.name, later);
      if (c.trackSeconds < 0) {
        EXPECT_EQ(r.status, 400);
        EXPECT_EQ(r.body, errorJson(folder + "/" + c.name + ": Datei nicht lesbar"));
        EXPECT_EQ(engine->player.playlist.size(), tracks);
      } else {
        EXPECT_EQ(r.status, 200);
        ASSERT_EQ(engine->player.playlist.size(), tracks + 1);
        EXPECT_NEAR(engine->player.playlist.back().seconds, c.trackSeconds, 1e-6);
      }
    }
}

// A whole folder of tracks asked for at once: the files are opened off the main thread, every
// one lands in the playlist in the folder's order, and a track asked for behind them comes last.
TEST_F(MediaFileBoundsThreads, WholeFolderForThePlaylistLeavesTheMainThreadFree) {
  constexpr int kFiles = 300;
  const auto tenth = tones({440.0, 660.0}, 0.5, 44100, 0.1);
  char name[32];
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(name, sizeof name, "t%03d.wav", i);
    ASSERT_TRUE(writeWav(folder + "/" + name, 44100, 2, tenth));
  }
  const std::string last = std::string(std::getenv("HOME")) + "/zuletzt.wav";
  ASSERT_TRUE(writeSecond(last));
  ASSERT_EQ(call("POST", "/player/folder", folder).status, 200);
  // The folder's listing is taken off the main thread too, and is the same as in place.
  const HttpResponse listed = callLater("GET", "/player/files");
  EXPECT_EQ(listed.body, call("GET", "/player/files").body);
  EXPECT_EQ(listed.body.rfind("[\"t000.wav\",\"t001.wav\"", 0), 0u);
  auto behind = std::make_shared<std::optional<HttpResponse>>();
  const HttpResponse r = timed("/player/playlist", "all", true);
  EXPECT_EQ(r.status, 200);
  api->handleLater("POST", "/player/playlist", last,
                   [behind](HttpResponse a) { *behind = std::move(a); });
  const std::vector<PlayerTrack>& playlist = engine->player.playlist;
  const double cpu = threadCpuSeconds();
  ASSERT_TRUE(platform::dispatch::runMainQueueUntil(
      [&] { return behind->has_value() && playlist.size() == kFiles + 1; },
      std::chrono::seconds(60)));
  EXPECT_LT(threadCpuSeconds() - cpu, kMaxCpuSeconds);
  EXPECT_EQ(behind->value().status, 200);
  for (int i = 0; i < kFiles; ++i) {
    std::snprintf(name, sizeof name, "t%03d", i);
    EXPECT_EQ(playlist[size_t(i)].title, name);
    EXPECT_NEAR(playlist[size_t(i)].seconds, 0.1, 1e-6);
  }
  EXPECT_EQ(playlist.back().path, last);
}

TEST_F(MediaFileBoundsThreads, PathFlippingBetweenWavAndFifoNeverBlocks) {
  // One WAV and one FIFO, linked in turn over the name the requests use.
  const std::string wav = folder + "/wav.src", fifo = folder + "/fifo.src";
  const std::string path = folder + "/flip.wav";
  ASSERT_TRUE(writeSecond(wav));
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(::link(wav.c_str(), path.c_str()), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> flips{0};
  std::thread flipper([&] {
    const std::string spare = folder + "/flip.next";
    for (int n = 0; !stop; ++n) {
      ::unlink(spare.c_str());
      if (::link(n % 2 == 0 ? fifo.c_str() : wav.c_str(), spare.c_str()) != 0) continue;
      ::rename(spare.c_str(), path.c_str());
      flips.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  FifoWaker waker(fifo);
  // Until the name has changed often enough under the requests, however busy the machine.
  int loaded = 0, refused = 0, i = 0;
  for (; i < 600 && (i < 60 || flips.load() < 60); ++i) {
    const bool pad = i % 2 == 0;
    const HttpResponse r = pad ? timed("/pads/2/file", path) : timed("/player/playlist", path);
    if (r.status == 200) {
      ++loaded;
    } else {
      ++refused;
      EXPECT_EQ(r.status, 400);
      EXPECT_EQ(r.body, errorJson(path + ": Datei nicht lesbar"));
    }
  }
  stop = true;
  flipper.join();
  EXPECT_GE(flips.load(), 60);
  EXPECT_EQ(loaded + refused, i);
  // The pad holds the WAV whenever it took one.
  const PadSample* sample = engine->pads.pads[1].sample.load();
  if (sample != nullptr) {
    EXPECT_EQ(sample->frames, 48000u);
  }
}

TEST_F(MediaFileBoundsThreads, LongSoundFinishesLoadingAfterTheReply) {
  // Three minutes of silence: far more decoding than a request may wait for.
  const std::string path = folder + "/lang.wav";
  const uint32_t bytes = 180u * 44100u * 4u;
  ASSERT_TRUE(writeSecond(path) && stateWavDataBytes(path, bytes) && growFile(path, 44 + bytes));
  ASSERT_EQ(call("POST", "/pads/folder", folder).status, 200);
  const HttpResponse r = timed("/pads/3/file", "lang.wav");
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("\"file\":null,\"loaded\":false,\"loading\":true,\"error\":null"),
            std::string::npos)
      << r.body;
  const PadBank::Pad& pad = engine->pads.pads[2];
  ASSERT_TRUE(platform::dispatch::runMainQueueUntil([&pad] { return !pad.loading; },
                                                    std::chrono::seconds(60)));
  const std::string now = call("GET", "/pads/3").body;
  EXPECT_NE(now.find("\"name\":\"lang\",\"file\":\"" + path +
                     "\",\"loaded\":true,\"loading\":false,\"error\":null,\"seconds\":180.00"),
            std::string::npos)
      << now;
  ASSERT_NE(pad.sample.load(), nullptr);
  EXPECT_EQ(pad.sample.load()->frames, 180u * 48000u);

  // Data whose size the header leaves open is measured by the file: 1300 s are refused at once.
  const std::string endless = folder + "/endlos.wav";
  ASSERT_TRUE(writeSecond(endless) && stateWavDataBytes(endless, 0xFFFFFFFFu) &&
              growFile(endless, 44 + int64_t(1300) * 44100 * 4));
  const HttpResponse refused = timed("/pads/4/file", "endlos.wav");
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.body, errorJson("endlos.wav: länger als 20 min"));
  EXPECT_EQ(call("GET", "/pads/4/file").body, "null");
}

} // namespace
} // namespace velto::test
