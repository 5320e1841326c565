#include "app/quit_signals.h"

#include <atomic>
#include <csignal>

namespace velto {
namespace {

std::atomic<int> gQuitSignal{0};
std::atomic<bool> gQuitRequested{false};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

void onQuitSignal(int signal) {
  gQuitSignal.store(signal, std::memory_order_relaxed);
}

} // namespace

void installQuitSignals() {
  struct sigaction action {};
  action.sa_handler = onQuitSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

int quitSignal() {
  return gQuitSignal.load(std::memory_order_relaxed);
}

void clearQuitSignal() {
  gQuitSignal.store(0, std::memory_order_relaxed);
  gQuitRequested.store(false, std::memory_order_relaxed);
}

void requestQuit() {
  gQuitRequested.store(true, std::memory_order_relaxed);
}

bool quitRequested() {
  return gQuitRequested.load(std::memory_order_relaxed);
}

} // namespace velto
