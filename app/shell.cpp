#include "app/shell.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <GLFW/glfw3.h>
#include <imgui.h>

#include "api/api.h"
#include "api/file_text.h"
#include "app/default_devices.h"
#include "app/docs_window.h"
#include "app/env.h"
#include "app/help_cursor.h"
#include "app/help_window.h"
#include "app/menus.h"
#include "app/quit_signals.h"
#include "app/resource_dir.h"
#include "app/services.h"
#include "app/single_instance.h"
#include "app/user_defaults.h"
#include "app/window_fonts.h"
#include "engine/engine.h"
#include "platform/audio/layer/audio_system.h"
#include "platform/desktop/desktop.h"
#include "platform/desktop/desktop_window.h"
#include "platform/desktop/frame_loop.h"
#include "platform/dispatch/background_queue.h"
#include "platform/dispatch/main_queue.h"
#include "ui/help.h"
#include "ui/intro.h"
#include "ui/style.h"
#include "ui/window.h"

namespace velto {
namespace {

namespace desktop = platform::desktop;

constexpr int kWindowWidth = 1460;
constexpr int kWindowHeight = 800;
constexpr int kMinWidth = 1100;
constexpr int kMinHeight = 640;
constexpr double kFramesPerSecond = 30.0;
constexpr int kSnapshotFrame = 20;
constexpr float kClearColour[4] = {0.11f, 0.12f, 0.15f, 1.0f};

} // namespace

// The shell's singletons (the window keeps a plain pointer of its own under the same name):
// the engine is made first and destroyed last, the API in between.
namespace shell {
std::unique_ptr<Engine> gEngine;
std::unique_ptr<Api> gApi;
// Lives until the process ends; its window is built on first use.
std::unique_ptr<DocsWindow> gDocs;
std::unique_ptr<HelpWindow> gHelp;
} // namespace shell

namespace {

// The main window, for the window commands of the menus.
desktop::DesktopWindow* gMainWindow = nullptr;

// The document window that had the keyboard last: the edit commands' target while it is shown.
enum class Document { None, Docs, Help };
Document gLastDocument = Document::None;

void noteFocusedDocument() {
  if (shell::gDocs->visible() && shell::gDocs->window()->focused()) gLastDocument = Document::Docs;
  if (shell::gHelp->visible() && shell::gHelp->window()->focused()) gLastDocument = Document::Help;
}

TextView* editTarget() {
  if (gLastDocument == Document::Docs && shell::gDocs->visible()) return &shell::gDocs->view();
  if (gLastDocument == Document::Help && shell::gHelp->visible()) return &shell::gHelp->view();
  return nullptr;
}

void raiseEditTarget() {
  if (gLastDocument == Document::Docs && shell::gDocs->visible()) shell::gDocs->window()->show();
  if (gLastDocument == Document::Help && shell::gHelp->visible()) shell::gHelp->window()->show();
}

void say(const std::string& line) {
  std::fprintf(stderr, "velto: %s\n", line.c_str());
}

// Why a snapshot run ended before its picture was written.
std::string endedEarly() {
  switch (quitSignal()) {
  case SIGTERM:
    return "beendet durch SIGTERM";
  case SIGINT:
    return "beendet durch SIGINT";
  case SIGHUP:
    return "beendet durch SIGHUP";
  default:
    return "vorher beendet";
  }
}

bool startAudio() {
  platform::audio::SystemOptions options;
  options.systemRoot = platform::audio::systemRootFromEnvironment();
  options.clock = platform::audio::ClockMode::RealTime;
  std::error_code ignored;
  std::filesystem::create_directories(options.systemRoot, ignored);
  if (!platform::audio::startSystem(options)) return false;
  if (startAudioDevices(std::getenv("VELTO_AUDIO")) == AudioDevices::None) {
    say("kein PipeWire-Server antwortet");
  }
  return true;
}

// In help mode the window shows the help pointer; ImGui's back end must then leave the pointer
// alone until help mode ends, when it sets its own again.
void showHelpCursor(desktop::DesktopWindow& window) {
  ImGuiIO& io = ImGui::GetIO();
  if (!helpModeActive()) {
    io.ConfigFlags &= ~ImGuiConfigFlags_NoMouseCursorChange;
    return;
  }
  io.ConfigFlags |= ImGuiConfigFlags_NoMouseCursorChange;
  if (GLFWcursor* cursor = veltoHelpCursor()) glfwSetCursor(window.glfw(), cursor);
}

// Every exit goes through here: the threads of the API, the engine and the audio layer end
// before the process does.
void shutDown(bool snapshot, desktop::DesktopWindow& window) {
  if (!snapshot) {
    if (shell::gApi) shell::gApi->save();
    if (shell::gEngine) shell::gEngine->restoreDefaultOutput();
  }
  stopServices();
  shell::gApi.reset();
  if (shell::gDocs) shell::gDocs->close();
  if (shell::gHelp) shell::gHelp->close();
  window.close();
  shell::gEngine.reset();
  platform::dispatch::waitBackgroundIdle(std::chrono::seconds(5));
  platform::dispatch::resetMainQueue();
  stopAudioDevices();
  platform::audio::stopSystem();
  desktop::shutdownDesktop();
}

void showDocs() {
  if (shell::gDocs) shell::gDocs->show();
}

void showHelp(const char* key) {
  if (shell::gHelp && key != nullptr) shell::gHelp->showKey(key);
}

bool openMainWindow(desktop::DesktopWindow& window, std::string& error) {
  desktop::WindowOptions options;
  options.title = "Velto";
  windowSizeFromEnvironment(options.width, options.height, kWindowWidth, kWindowHeight);
  options.minWidth = kMinWidth;
  options.minHeight = kMinHeight;
  options.visible = false;
  if (!window.open(options, error)) return false;
  const WindowFonts fonts = loadWindowFonts(systemFontFiles(), window.contentScale());
  setTitleFont(fonts.title);
  applyStyle();
  return window.startBackends(error);
}

} // namespace

int runApp() {
  std::string error;
  if (!desktop::initDesktop(error)) {
    say("kein Bildschirm erreichbar (" + error + ")");
    return 1;
  }
  installQuitSignals();
  const bool snapshot = snapshotMode();
  // A picture shows the window as nobody points at it, wherever the display's pointer is.
  desktop::DesktopWindow::setPointerAway(snapshot);
  InstanceLock instance;
  if (!snapshot) instance.acquire(instanceLockPath());
  // Holding the lock, no other copy is saving now (the one it replaced saved before it let the
  // lock go): temporary files of an interrupted save are leftovers.
  if (instance.held()) {
    removeTemporaryFiles(Api::configPath());
    removeTemporaryFiles(userDefaultsPath());
  }
  dropInvalidWindowVariables();

  if (!startAudio()) say("das Audiosystem startet nicht");
  shell::gEngine = std::make_unique<Engine>(!snapshot);
  shell::gApi = std::make_unique<Api>(*shell::gEngine);
  shell::gApi->load();
  if (!shell::gApi->configError.empty()) say(shell::gApi->configNotice());
  installServices(snapshot);

  shell::gDocs = std::make_unique<DocsWindow>(readResourceText("API.md"));
  setDocsHandler(showDocs);
  shell::gHelp = std::make_unique<HelpWindow>(resourceFolder("hilfe"));
  setHelpHandler(showHelp);

  desktop::DesktopWindow window;
  if (const char* helpShot = std::getenv("VELTO_HELP_SNAPSHOT")) {
    const char* key = std::getenv("VELTO_HELP_KEY");
    shell::gHelp->showKey(key != nullptr ? key : "uebersicht");
    const bool ended = quitSignal() != 0;
    const bool written = !ended && shell::gHelp->writeSnapshot(helpShot, error);
    if (!written) say("Schnappschuss nicht geschrieben: " + (ended ? endedEarly() : error));
    shutDown(true, window);
    return written ? 0 : 1;
  }
  if (const char* docsShot = std::getenv("VELTO_DOCS_SNAPSHOT")) {
    // Unlike a plain exit with success, a picture that was not written is reported.
    const bool ended = quitSignal() != 0;
    const bool written = !ended && shell::gDocs->writeSnapshot(docsShot, error);
    if (!written) say("Schnappschuss nicht geschrieben: " + (ended ? endedEarly() : error));
    shutDown(true, window);
    return written ? 0 : 1;
  }
  if (!openMainWindow(window, error)) {
    say("das Fenster öffnet nicht (" + error + ")");
    shutDown(snapshot, window);
    return 1;
  }
  gMainWindow = &window;
  setQuitHandler([] { gMainWindow->requestClose(); });
  setMinimiseHandler([] { gMainWindow->minimise(); });
  setEditTarget(editTarget, raiseEditTarget);
  if (!snapshot && shell::gEngine->settings.fullscreen) window.enterFullScreen();
  window.show();
  if (!snapshot && shell::gEngine->settings.intro) startIntro();

  const char* snapshotPath = std::getenv("VELTO_SNAPSHOT");
  int status = 0;
  int frames = 0;
  desktop::FrameLoopHooks hooks;
  hooks.quit = [&] { return quitSignal() != 0 || quitRequested() || window.closeRequested(); };
  // The documentation and help windows draw on while the main window is hidden.
  hooks.paused = [&] {
    return !snapshot && window.hidden() && !shell::gDocs->visible() && !shell::gHelp->visible();
  };
  hooks.frame = [&] {
    shell::gDocs->frame();
    shell::gHelp->frame();
    noteFocusedDocument();
    if (!snapshot && window.hidden()) return true;
    window.beginFrame();
    drawMenus();
    drawMixer(*shell::gEngine, *shell::gApi);
    showHelpCursor(window);
    const bool write = snapshotPath != nullptr && ++frames == kSnapshotFrame;
    std::string why;
    const bool ok = window.endFrame(kClearColour, write ? snapshotPath : nullptr, why);
    if (!write) return true;
    if (!ok) {
      say("Schnappschuss nicht geschrieben: " + why);
      status = 1;
    }
    return false;
  };
  desktop::runFrameLoop(kFramesPerSecond, hooks);
  // A signal or a closed window before the picture's frame is no success either.
  if (snapshotPath != nullptr && frames < kSnapshotFrame) {
    say("Schnappschuss nicht geschrieben: " + endedEarly());
    status = 1;
  }
  setQuitHandler(nullptr);
  setMinimiseHandler(nullptr);
  setEditTarget(nullptr, nullptr);
  gMainWindow = nullptr;
  shutDown(snapshot, window);
  return status;
}

} // namespace velto
