// The looper driven from the control side while an audio thread runs it: buffers made on the
// control side after audio started, commands posted through the command word, and the state,
// length, position and layer read back from the published atomics.
#include "looper_rig.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace velto::test::loop {
namespace {

using A = LooperAction;
using S = LooperState;

bool waitFor(const std::function<bool()>& done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(LooperThreads, ControlSideDrivesTheLooperThroughAtomicsOnly) {
  Looper looper(false);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> cycles{0};
  std::thread audio([&] {
    const Stereo in = noise(128, 50, 0.2f);
    std::vector<float> buffer(256);
    while (!stop.load()) {
      for (uint32_t i = 0; i < 128; ++i)
        buffer[2 * i] = in.left[i], buffer[2 * i + 1] = in.right[i];
      looper.bank->process(buffer.data(), 128);
      cycles.fetch_add(1);
      std::this_thread::yield();
    }
  });

  looper.post(A::record); // before the buffers exist: waits
  const uint64_t seen = cycles.load();
  ASSERT_TRUE(waitFor([&] { return cycles.load() > seen + 20; }));
  EXPECT_EQ(looper.state(), S::empty);

  looper.bank->ensureLooper(); // main thread, while audio runs
  EXPECT_TRUE(waitFor([&] { return looper.state() == S::recording; }));
  EXPECT_TRUE(waitFor([&] { return looper.position() >= 4800; }));
  looper.post(A::main);
  EXPECT_TRUE(waitFor([&] { return looper.state() == S::playing; }));
  EXPECT_GE(looper.length(), 4800u);
  EXPECT_EQ(looper.layer(), 0);
  looper.post(A::overdub);
  EXPECT_TRUE(waitFor([&] { return looper.state() == S::overdubbing; }));
  EXPECT_TRUE(waitFor([&] { return looper.layer() == 2; }));
  looper.post(A::main);
  EXPECT_TRUE(waitFor([&] { return looper.state() == S::playing; }));
  looper.post(A::undo);
  EXPECT_TRUE(waitFor([&] { return looper.layer() == 1; }));
  looper.post(A::clear);
  EXPECT_TRUE(waitFor([&] { return looper.state() == S::empty; }));
  EXPECT_EQ(looper.length(), 0u);
  EXPECT_EQ(looper.layer(), 0);
  stop.store(true);
  audio.join();
}

} // namespace
} // namespace velto::test::loop
