#include "effects/fx_chain.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace velto {

namespace {

// Effects with a fixed place: they never stand in the user's order.
bool isFixed(FxId id) {
  return id == FxId::aec || id == FxId::feedback || id == FxId::limiter;
}

bool inTable(FxId id) {
  return id >= 0 && id < kFxCount;
}

// The feedback suppressor goes ahead of the first creative effect (pitch .. looper).
bool isCreative(FxId id) {
  return id >= FxId::pitch && id <= FxId::looper;
}

std::vector<FxChain::Slot> defaultOrder() {
  std::vector<FxChain::Slot> order;
  for (const uint32_t id : kDefault) order.push_back({0, static_cast<FxId>(id)});
  return order;
}

bool pitchAll(const InputFx& bank) {
  return bank.params[FxId::pitch][0].load() >= 0.5f;
}

} // namespace

FxChain::FxChain() {
  banks[0] = std::make_unique<InputFx>();
  movable = defaultOrder();
  publish();
}

FxChain::~FxChain() {
  for (int b = kBanks - 1; b >= 0; --b) banks[b].reset();
}

void FxChain::resetOrder() {
  movable = defaultOrder();
  publish();
}

void FxChain::ensureBank(int b) {
  if (b < 0 || b >= kBanks || banks[b]) return;
  auto bank = std::make_unique<InputFx>();
  // Only the input's first bank keeps the suppressor a fresh bank switches on.
  bank->enabled[FxId::feedback].store(false);
  banks[b] = std::move(bank);
}

bool FxChain::setMovable(const std::vector<Slot>& slots) {
  for (size_t i = 0; i < slots.size(); ++i) {
    const Slot& slot = slots[i];
    if (!inTable(slot.id) || isFixed(slot.id) || slot.bank >= kBanks) return false;
    if (std::find(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(i), slot) !=
        slots.begin() + static_cast<std::ptrdiff_t>(i)) {
      return false;
    }
  }
  if (slots.size() > kMaxMovable) return false;
  for (const Slot& slot : slots) ensureBank(slot.bank);
  movable = slots;
  publish();
  return true;
}

bool FxChain::add(FxId id, Slot* out) {
  if (!inTable(id) || isFixed(id)) return false;
  int bank = 0;
  while (bank < kBanks && std::find(movable.begin(), movable.end(),
                                    Slot{static_cast<uint8_t>(bank), id}) != movable.end()) {
    ++bank;
  }
  if (bank == kBanks) return false;
  const Slot slot{static_cast<uint8_t>(bank), id};
  ensureBank(bank);
  std::vector<Slot> extended = movable;
  extended.push_back(slot);
  if (!setMovable(extended)) return false;
  if (out) *out = slot;
  return true;
}

bool FxChain::remove(Slot slot) {
  const auto at = std::find(movable.begin(), movable.end(), slot);
  if (at == movable.end()) return false;
  banks[slot.bank]->enabled[slot.id].exchange(false);
  std::vector<Slot> shorter = movable;
  shorter.erase(shorter.begin() + (at - movable.begin()));
  return setMovable(shorter);
}

bool FxChain::move(int from, int to) {
  const int count = static_cast<int>(movable.size());
  if (from < 0 || from >= count || to < 0 || to >= count) return false;
  std::vector<Slot> order = movable;
  const Slot slot = order[static_cast<size_t>(from)];
  order.erase(order.begin() + from);
  order.insert(order.begin() + to, slot);
  return setMovable(order);
}

std::vector<FxChain::Slot> FxChain::run() const {
  std::vector<Slot> order;
  order.reserve(movable.size() + 2);
  bool feedbackPlaced = false;
  for (const Slot& slot : movable) {
    if (!feedbackPlaced && isCreative(slot.id)) {
      order.push_back({0, FxId::feedback});
      feedbackPlaced = true;
    }
    order.push_back(slot);
  }
  if (!feedbackPlaced) order.push_back({0, FxId::feedback});
  order.push_back({0, FxId::limiter});
  return order;
}

void FxChain::publish() {
  // The audio thread acknowledges at the start of each call; until it has seen the last
  // publication it may still read the other list. A callback that does not run never answers,
  // so after 20 ms the list is written anyway, but never while a call is under way: a call
  // stalled past 20 ms may still be reading that list.
  for (int wait = 0;; ++wait) {
    if (acknowledged.load(std::memory_order_acquire) ==
        generation.load(std::memory_order_relaxed)) {
      break;
    }
    if (wait >= 20 && !processing.load(std::memory_order_seq_cst)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const std::vector<Slot> order = run();
  const int32_t target = 1 - activeList.load(std::memory_order_relaxed);
  const int32_t count = static_cast<int32_t>(std::min(order.size(), size_t{kMaxRun}));
  std::copy_n(order.begin(), count, runList[target]);
  runCount[target] = count;
  for (int b = 0; b < kBanks; ++b) runBanks[target][b] = banks[b].get();
  activeList.store(target, std::memory_order_seq_cst);
  generation.fetch_add(1, std::memory_order_acq_rel);
}

uint32_t FxChain::latencyFrames() const {
  uint32_t frames = banks[0]->enabled[FxId::aec].load() ? 256 : 0;
  for (const Slot& slot : run()) {
    const InputFx* bank = banks[slot.bank].get();
    if (!bank || !bank->enabled[slot.id].load()) continue;
    if (slot.id == FxId::pitch) frames += pitchAll(*bank) ? 2112 : 1200;
    if (slot.id == FxId::limiter && bank->params[FxId::limiter][2].load() >= 0.5f) frames += 48;
  }
  return frames;
}

bool FxChain::anyEffect() const {
  for (const Slot& slot : movable) {
    const InputFx* bank = banks[slot.bank].get();
    if (bank && !kFx[slot.id].tool && bank->enabled[slot.id].load()) return true;
  }
  return false;
}

std::string FxChain::name(Slot slot) {
  if (!inTable(slot.id)) return {};
  std::string text = kFx[slot.id].key;
  // Appended piece by piece: "-" + a temporary string inserts at its front, which GCC 12 wrongly
  // flags as an overlapping copy at -O3.
  if (slot.bank > 0) {
    text += '-';
    text += std::to_string(slot.bank + 1);
  }
  return text;
}

std::optional<FxChain::Slot> FxChain::parse(const std::string& text) {
  std::string key = text;
  int instance = 1;
  const size_t dash = text.rfind('-');
  if (dash != std::string::npos && dash + 1 < text.size() &&
      std::all_of(text.begin() + static_cast<std::ptrdiff_t>(dash + 1), text.end(),
                  [](char c) { return c >= '0' && c <= '9'; })) {
    // Leading zeros are allowed; any other long number is out of range anyway.
    size_t first = dash + 1;
    while (first + 1 < text.size() && text[first] == '0') ++first;
    if (text.size() - first > 1) return std::nullopt;
    instance = text[first] - '0';
    if (instance < 2 || instance > 4) return std::nullopt;
    key = text.substr(0, dash);
  }
  // A key with a NUL byte inside must not match by its prefix.
  if (key.find('\0') != std::string::npos) return std::nullopt;
  const FxInfo* row = findFx(key.c_str());
  if (!row) return std::nullopt;
  return Slot{static_cast<uint8_t>(instance - 1), row->id};
}

void FxChain::process(float* interleaved, uint32_t frames) {
  // Marked before the list index is read, so a writer that finds no call under way knows every
  // later call reads the list it made active.
  processing.store(true, std::memory_order_seq_cst);
  runActive(interleaved, frames);
  processing.store(false, std::memory_order_seq_cst);
}

void FxChain::runActive(float* interleaved, uint32_t frames) {
  // The generation is read before the list index: an acknowledged generation means the list
  // in use is the active one.
  acknowledged.store(generation.load(std::memory_order_acquire), std::memory_order_release);
  const int32_t list = activeList.load(std::memory_order_seq_cst);
  const Slot* slots = runList[list];
  const int32_t count = std::clamp(runCount[list], 0, kMaxRun);
  InputFx* const* bankOf = runBanks[list];
  if (count == 0 || frames == 0) return;

  bool active = false;
  for (int32_t s = 0; s < count && !active; ++s) {
    const InputFx* bank = bankOf[slots[s].bank & 3];
    active = bank && (bank->wetLevel[slots[s].id] > 0.0f ||
                      bank->enabled[slots[s].id].load(std::memory_order_relaxed));
  }
  if (!active) return;

  float* left = scratch[0];
  float* right = scratch[1];
  for (uint32_t offset = 0; offset < frames; offset += InputFx::kBlock) {
    const uint32_t n = std::min(InputFx::kBlock, frames - offset);
    float* frame = interleaved + size_t{offset} * 2;
    for (uint32_t i = 0; i < n; ++i) {
      left[i] = frame[2 * i];
      right[i] = frame[2 * i + 1];
    }
    for (int b = 0; b < kBanks; ++b) {
      if (bankOf[b]) bankOf[b]->beginSub();
    }
    for (int32_t s = 0; s < count; ++s) {
      InputFx* bank = bankOf[slots[s].bank & 3];
      if (bank) bank->runOne(slots[s].id, left, right, n);
    }
    for (uint32_t i = 0; i < n; ++i) {
      frame[2 * i] = left[i];
      frame[2 * i + 1] = right[i];
    }
  }
}

} // namespace velto
