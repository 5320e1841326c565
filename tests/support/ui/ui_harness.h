// Headless harness for the window's suites: an ImGui context without a back end (1460 x 800,
// 1/30 s frames, font atlas built, key map filled), input helpers that play mouse, wheel, keys
// and typed text over whole frames, the texts each frame showed, and a fixture with a live
// engine and command interpreter on the simulated audio system under the manual clock.
// Test thread only; one harness at a time (ImGui's context is process-wide).
#pragma once

#include "api/api.h"
#include "engine/engine.h"
#include "tests/support/audio_test_system.h"

#include <gtest/gtest.h>
#include <imgui.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velto::test {

class UiHarness {
public:
  static constexpr float kWidth = 1460.0f;
  static constexpr float kHeight = 800.0f;

  UiHarness();
  ~UiHarness();
  UiHarness(const UiHarness&) = delete;
  UiHarness& operator=(const UiHarness&) = delete;

  // What every frame draws; empty draws nothing.
  std::function<void()> scene;
  // Makes scene draw `body` inside one window that covers the display.
  void sceneInWindow(std::function<void()> body);

  // One frame (new frame, scene, render), then the main queue is run until idle.
  void frame();
  void frames(int count);

  // Mouse: each moves first (one frame), then plays its buttons over separate frames.
  void move(ImVec2 pos);
  void press(int button = 0);   // button down, one frame
  void release(int button = 0); // button up, one frame
  void click(ImVec2 pos, int button = 0);
  void doubleClick(ImVec2 pos);
  // Press at from, `steps` frames of movement to to, release there.
  void drag(ImVec2 from, ImVec2 to, int steps = 6);
  void wheel(ImVec2 pos, float lines);
  // Modifier keys held during the following frames.
  void hold(bool shift, bool ctrl = false, bool alt = false);
  // A key down for one frame and up for the next (ImGuiKey_ value).
  void key(ImGuiKey key);
  // Text typed in one frame (UTF-8).
  void type(const char* text);

  // The texts the last frame rendered (read back from its draw lists, so tooltips and popups
  // count), in drawing order; lines end with a line break, gaps within a line give a blank.
  const std::string& text() const { return text_; }
  bool shows(const std::string& part) const { return text_.find(part) != std::string::npos; }
  // Screen position of the first glyph of the last occurrence of part ((-1, -1) when not shown);
  // the last one drawn is the topmost (popups and tooltips come after their window).
  ImVec2 textPos(const std::string& part) const;

  // Tab bars of the last frame: the centre of the tab button with that label ((-1, -1) when
  // none), and the label of the selected tab of the first bar ("" when none).
  ImVec2 tabCentre(const char* label) const;
  std::string selectedTab() const;

private:
  ImGuiContext* context_ = nullptr;
  std::string text_;
  std::vector<ImVec2> textAt_; // per byte of text_
};

// A live engine (simulated microphone and two speakers, effects switched off), the command
// interpreter on it and a harness whose scene is one frame of the mixer window.
class UiEngineTest : public ::testing::Test {
public:
  void SetUp() override;
  void TearDown() override;
  // Flushes the audio layer's notices and runs the main queue.
  void settle();

  AudioTestOptions audioOptions; // read by SetUp
  std::unique_ptr<AudioTestSystem> system;
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Api> api;
  std::unique_ptr<UiHarness> ui;
};

} // namespace velto::test
