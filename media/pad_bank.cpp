// Control side of the pad bank: installing, loading, clearing, starting and stopping pads, and
// freeing retired samples. Main thread; only the decodes of loadAsync, and the rest of a load
// that outlasts its time on the main thread, run in the background.
#include "media/pad_bank.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"

namespace velto {
namespace {

// A sound of at most this stated length decodes whole within the request: about 50 ms at the
// slowest codec's speed.
constexpr double kShortSoundSeconds = 10.0;
constexpr double kShortSoundCpuSeconds = 0.5;

// The file's name without folder, and without its extension unless that would leave nothing
// (".hidden" stays as it is).
std::string nameOfFile(const std::string& file) {
  const size_t slash = file.rfind('/');
  std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

} // namespace

PadBank::PadBank() : self_(std::make_shared<PadBank*>(this)) {}

PadBank::~PadBank() {
  self_.reset();
  for (Pad& pad : pads) delete pad.sample.exchange(nullptr, std::memory_order_acq_rel);
  retired.clear();
}

double PadBank::now() {
  return steadySeconds();
}

PadBank::Pad* PadBank::padAt(int index) {
  return index >= 0 && index < kPads ? &pads[static_cast<size_t>(index)] : nullptr;
}

void PadBank::install(int index, std::unique_ptr<PadSample> sample, const std::string& file) {
  Pad* pad = padAt(index);
  if (pad == nullptr) return;
  PadSample* old = pad->sample.exchange(sample.release(), std::memory_order_acq_rel);
  // Published after the pointer: a render that sees the new count also sees the new sample.
  pad->installs.fetch_add(1, std::memory_order_release);
  if (old != nullptr) retired.push_back({std::unique_ptr<PadSample>(old), now()});
  pad->file = file;
  pad->error.clear();
  pad->errorFile.clear();
  if (pad->name.empty() && !file.empty()) pad->name = nameOfFile(file);
  collect();
}

void PadBank::collect() {
  const double t = now();
  std::erase_if(retired, [t](const Retired& r) { return t - r.time >= kRetireSeconds; });
}

bool PadBank::load(int index, const std::string& path, std::string& error, double mainSeconds) {
  Pad* pad = padAt(index);
  if (pad == nullptr) return false;
  auto decode = std::make_shared<AudioFileDecode>();
  const double start = threadCpuSeconds();
  const bool begun = decode->begin(path);
  // A short sound is always there when the reply is (callers and stored files expect that on
  // any machine); its time is held to kShortSoundCpuSeconds in case the file lies about its
  // length. A longer one gets what is left of `mainSeconds` after the opening.
  double budget = std::numeric_limits<double>::infinity();
  if (mainSeconds >= 0.0) {
    const bool isShort =
        decode->statedSeconds() > 0.0 && decode->statedSeconds() <= kShortSoundSeconds;
    budget = isShort ? std::max(mainSeconds, kShortSoundCpuSeconds)
                     : std::max(mainSeconds - (threadCpuSeconds() - start), 0.0);
  }
  if (begun && !decode->run(budget)) {
    finishInBackground(index, path, std::move(decode), true, false);
    return true;
  }
  if (!decode->error.empty()) {
    pad->error = decode->error;
    pad->errorFile = path;
    error = decode->error;
    return false;
  }
  ++pad->loadToken;
  pad->loading = false;
  install(index, std::make_unique<PadSample>(std::move(decode->sample)), path);
  return true;
}

void PadBank::loadAsync(int index, const std::string& path, bool rename, Loaded done) {
  if (padAt(index) == nullptr) return;
  finishInBackground(index, path, std::make_shared<AudioFileDecode>(), false, rename,
                     std::move(done));
}

void PadBank::finishInBackground(int index, const std::string& path,
                                 std::shared_ptr<AudioFileDecode> decode, bool begun, bool rename,
                                 Loaded done) {
  Pad& pad = pads[static_cast<size_t>(index)];
  pad.loading = true;
  pad.error.clear();
  pad.errorFile.clear();
  const uint32_t token = ++pad.loadToken;
  std::weak_ptr<PadBank*> bank = self_;
  platform::dispatch::backgroundAsync([bank, index, token, path, rename, begun, decode, done] {
    if (begun || decode->begin(path)) decode->run(std::numeric_limits<double>::infinity());
    platform::dispatch::mainAsync([bank, index, token, path, rename, decode, done] {
      const std::shared_ptr<PadBank*> alive = bank.lock();
      if (!alive) return; // the bank is gone; the result is freed with this work item
      PadBank& self = **alive;
      Pad& pad = self.pads[static_cast<size_t>(index)];
      if (pad.loadToken != token) {
        if (done) done({}); // loaded or cleared meanwhile
        return;
      }
      pad.loading = false;
      if (decode->error.empty()) {
        if (rename) pad.name.clear(); // install names an unnamed pad after its file
        self.install(index, std::make_unique<PadSample>(std::move(decode->sample)), path);
      } else {
        pad.error = decode->error;
        pad.errorFile = path;
      }
      if (done) done(decode->error);
    });
  });
}

void PadBank::clear(int index) {
  Pad* pad = padAt(index);
  if (pad == nullptr) return;
  ++pad->loadToken;
  pad->loading = false;
  pad->name.clear();
  install(index, nullptr, "");
}

void PadBank::play(int index, bool start) {
  Pad* pad = padAt(index);
  if (pad == nullptr) return;
  if (!start) {
    pad->command.store(kCommandStop, std::memory_order_release);
  } else if (pad->sample.load(std::memory_order_acquire) != nullptr) {
    pad->command.store(kCommandStart, std::memory_order_release);
  }
}

void PadBank::toggle(int index) {
  Pad* pad = padAt(index);
  if (pad == nullptr) return;
  if (pad->playing.load(std::memory_order_acquire) &&
      !pad->stopping.load(std::memory_order_acquire)) {
    pad->command.store(kCommandStop, std::memory_order_release);
  } else if (pad->sample.load(std::memory_order_acquire) != nullptr) {
    pad->command.store(kCommandStart, std::memory_order_release);
  }
}

void PadBank::stopAll() {
  for (Pad& pad : pads) {
    if (pad.playing.load(std::memory_order_acquire)) {
      pad.command.store(kCommandStop, std::memory_order_release);
    }
  }
}

} // namespace velto
