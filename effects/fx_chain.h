// The ordered effect chain of one hardware input: up to four effect banks (bank b holds the
// (b+1)-th instance of every effect), the user's order of the movable effects, the slot names
// ("echo", "echo-2") and the hand-over of the processing order to the audio thread through two
// fixed lists switched by an index and a generation the audio thread acknowledges.
// Owned by the engine. Every operation runs on the main thread except process() (audio thread).
#pragma once

#include "effects/input_fx.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velto {

class FxChain {
public:
  static constexpr int kBanks = 4;
  static constexpr size_t kMaxMovable = 38;
  static constexpr int kMaxRun = 40; // the movable slots plus feedback and limiter

  struct Slot {
    uint8_t bank = 0;
    FxId id = FxId::lowCut;
    bool operator==(const Slot&) const = default;
  };

  FxChain(); // main thread: bank 0 and the default order, published
  ~FxChain();
  FxChain(const FxChain&) = delete;
  FxChain& operator=(const FxChain&) = delete;

  // ---- main thread ----
  void resetOrder();
  void ensureBank(int b); // a bank made here starts with its feedback suppressor off
  bool setMovable(const std::vector<Slot>& slots);
  bool add(FxId id, Slot* out = nullptr); // not switched on: callers do that
  bool remove(Slot slot);
  bool move(int from, int to);
  std::vector<Slot> run() const; // the processing order with the fixed slots in place
  void publish();
  uint32_t latencyFrames() const;
  bool anyEffect() const;

  static std::string name(Slot slot);
  static std::optional<Slot> parse(const std::string& text);

  // ---- audio thread ----
  void process(float* interleaved, uint32_t frames);

  std::array<std::unique_ptr<InputFx>, kBanks> banks;
  std::vector<Slot> movable;
  Slot runList[2][kMaxRun];
  int32_t runCount[2] = {};
  // The banks as they stood when each list was written: the audio thread reaches a bank only
  // through a list published after the bank was made, never through `banks` itself.
  InputFx* runBanks[2][kBanks] = {};
  std::atomic<int32_t> activeList{0};
  std::atomic<uint32_t> generation{0};
  std::atomic<uint32_t> acknowledged{0};
  std::atomic<bool> processing{false}; // the audio thread is inside process()
  float scratch[2][InputFx::kBlock] = {};

private:
  void runActive(float* interleaved, uint32_t frames); // audio thread
};

} // namespace velto
