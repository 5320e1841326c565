#include "ui/settings_tab.h"

#include "api/api.h"
#include "api/hooks.h"
#include "engine/engine.h"
#include "ui/help.h"
#include "ui/intro.h"
#include "ui/style.h"
#include "ui/window.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace velto {
namespace {

const ImVec4 kLabel{0.66f, 0.68f, 0.75f, 1.0f};
constexpr uint32_t kBufferSizes[] = {32, 64, 128, 256, 512};
constexpr double kRate = 48000.0;
constexpr double kDriverPoll = 3.0;
constexpr float kControlsAt = 200.0f;

// Label of a row; the controls follow on the same line.
void row(const char* label, float left) {
  helpRow(label);
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(kLabel, "%s", label);
  ImGui::SameLine(0, 0);
  ImGui::SetCursorPosX(left + kControlsAt);
}

bool choice(const char* label, bool selected, float width) {
  return coloredButton(label, selected ? kTextLight : kGray, selected ? kTextDark : kTextLight,
                       width, ImGui::GetFrameHeight());
}

bool toggle(const char* id, bool on, float width) {
  ImGui::PushID(id);
  const bool clicked = choice(on ? "an" : "aus", on, width);
  ImGui::PopID();
  return clicked;
}

double ms(double frames) {
  return frames * 1000.0 / kRate;
}

void audioSection(Engine& engine, Api& api, float left) {
  Settings& s = engine.settings;
  sectionTitle("Audio", kTextLight);
  row("Samplerate", left);
  ImGui::TextColored(kTextLight, "48 kHz");

  row("Puffer", left);
  for (uint32_t size : kBufferSizes) {
    if (size != kBufferSizes[0]) ImGui::SameLine();
    char label[16];
    std::snprintf(label, sizeof label, "%u", size);
    ImGui::PushID(static_cast<int>(size));
    const bool clicked = choice(label, s.bufferFrames == size, 64);
    if (ImGui::IsItemHovered())
      ImGui::SetTooltip("%u Frames = %.1f ms je Gerät. Kleiner = weniger Latenz, mehr Last.", size,
                        ms(size));
    ImGui::PopID();
    if (clicked) {
      engine.setBufferFrames(size); // a refused size is not stored, the file is written anyway
      api.save();
    }
  }

  const uint32_t in = engine.deviceLatencyFrames(engine.hwInputs[0].link.uid, true);
  const uint32_t out = engine.deviceLatencyFrames(engine.buses[0].link.uid, false);
  if (in != 0 && out != 0) {
    row("Latenz", left);
    ImGui::TextColored(kTextLight, "%.1f ms", ms(double(in) + out + s.bufferFrames));
    ImGui::SameLine();
    ImGui::TextDisabled("%s > %s", engine.hwInputs[0].strip.name.c_str(),
                        engine.buses[0].name.c_str());
  }

  row("Lautstärketasten", left);
  const std::string& defaultName = engine.virtualIns[3].strip.name;
  const int keys = std::clamp(s.volumeKeys, -1, 2);
  ImGui::SetNextItemWidth(240);
  if (ImGui::BeginCombo("##volkeys",
                        keys < 0 ? defaultName.c_str() : engine.buses[keys].name.c_str())) {
    for (int k = -1; k <= 2; ++k) {
      ImGui::PushID(k);
      const std::string& name = k < 0 ? defaultName : engine.buses[k].name;
      if (ImGui::Selectable(name.c_str(), keys == k)) {
        engine.setVolumeKeys(k);
        api.save();
      }
      ImGui::PopID();
    }
    ImGui::EndCombo();
  }
  if (ImGui::IsItemHovered()) ImGui::SetTooltip("Worauf die System-Lautstärketasten wirken.");
  // The capture permission row is left out: this system has no such permission to grant.
}

void startSection(Engine& engine, Api& api, float left, std::string& loginError) {
  Settings& s = engine.settings;
  sectionTitle("Start", kTextLight);
  row("Startanimation", left);
  if (toggle("intro", s.intro, 100)) {
    s.intro = !s.intro;
    api.save();
  }
  ImGui::SameLine();
  if (coloredButton("Abspielen", kGray, kTextLight, 100, ImGui::GetFrameHeight())) startIntro();

  const AppHooks& hooks = appHooks();
  row("Beim Anmelden starten", left);
  const bool login = hooks.autostartEnabled && hooks.autostartEnabled();
  ImGui::BeginDisabled(hooks.setAutostart == nullptr);
  if (toggle("login", login, 100) && hooks.setAutostart) {
    loginError.clear();
    hooks.setAutostart(!login, loginError);
  }
  ImGui::EndDisabled();
  if (!loginError.empty()) {
    ImGui::SameLine();
    ImGui::TextColored(kRed, "%s", loginError.c_str());
  }

  row("Im Vollbild starten", left);
  if (toggle("fullscreen", s.fullscreen, 100)) {
    s.fullscreen = !s.fullscreen;
    api.save();
  }

  row("Beim Beenden", left);
  ImGui::PushID("restore");
  const bool restore = s.restoreOutput;
  if (choice(restore ? "Systemausgang zurück" : "Velto bleibt Ausgang", restore, 200)) {
    s.restoreOutput = !restore;
    api.save();
  }
  ImGui::PopID();
  if (ImGui::IsItemHovered())
    ImGui::SetTooltip("Systemausgang zurück: Beim Beenden geht der Ton wieder auf das Gerät von "
                      "vorher.\nVelto bleibt Ausgang: ohne Velto ist das System still.");
}

void driverSection(Engine& engine, float left, std::string& driverError) {
  static double checked = -100.0;
  static int installed = -2;
  static int bundled = 0;
  const AppHooks& hooks = appHooks();
  sectionTitle("Treiber", kTextLight);
  row("Velto-Treiber", left);
  const double now = ImGui::GetTime();
  // A clock that started again (a new window context) polls at once as well.
  if (now - checked > kDriverPoll || now < checked) {
    if (hooks.installedDriverVersion)
      installed = hooks.installedDriverVersion();
    else
      installed = engine.findDevice("VeltoClock_UID") ? -1 : 0;
    bundled = hooks.bundledDriverVersion ? hooks.bundledDriverVersion() : 0;
    checked = now;
  }
  const float h = ImGui::GetFrameHeight();
  auto act = [&](const char* label, float width, bool install) {
    ImGui::SameLine(0, 16);
    if (coloredButton(label, kGray, kTextLight, width, h) && hooks.installDriver) {
      driverError.clear();
      hooks.installDriver(install, driverError);
      checked = -100.0;
    }
  };
  if (installed == 0) {
    ImGui::TextColored(kRed, "fehlt");
    ImGui::BeginDisabled(bundled == 0 || hooks.installDriver == nullptr);
    act("Installieren", 120, true);
    ImGui::EndDisabled();
  } else {
    const bool older = installed > 0 && installed < bundled;
    if (installed < 0)
      ImGui::TextColored(kTextLight, "installiert");
    else if (older)
      ImGui::TextColored(kAccentVi, "Version %d, neu: %d", installed, bundled);
    else
      ImGui::TextColored(kTextLight, "installiert · Version %d", installed);
    ImGui::BeginDisabled(hooks.installDriver == nullptr);
    if (older) act("Aktualisieren", 120, true);
    act("Entfernen", 100, false);
    ImGui::EndDisabled();
  }
  if (!driverError.empty()) {
    ImGui::SameLine();
    ImGui::TextColored(kRed, "%s", driverError.c_str());
  }
}

void apiSection(Engine& engine, Api& api, float left) {
  static int port = 0;
  Settings& s = engine.settings;
  sectionTitle("API", kTextLight);
  row("API", left);
  if (toggle("api", s.apiEnabled, 64)) {
    s.apiEnabled = !s.apiEnabled;
    api.applySettingsLater();
    api.save();
  }
  if (!api.apiError.empty()) {
    ImGui::SameLine();
    ImGui::TextColored(kRed, "%s", api.apiError.c_str());
  } else if (api.server.listenFd >= 0) {
    ImGui::SameLine();
    ImGui::TextDisabled("http://127.0.0.1:%u", s.apiPort);
  }

  row("Port", left);
  if (!ImGui::IsAnyItemActive()) port = static_cast<int>(s.apiPort);
  ImGui::SetNextItemWidth(120);
  ImGui::InputInt("##port", &port, 0, 0);
  if (ImGui::IsItemDeactivatedAfterEdit() && port >= 1024 && port <= 65535) {
    s.apiPort = static_cast<uint32_t>(port);
    api.applySettingsLater();
    api.save();
  }

  row("Dokumentation", left);
  if (coloredButton("Öffnen", kGray, kTextLight, 100, ImGui::GetFrameHeight()) && gDocsHandler)
    gDocsHandler();
}

} // namespace

void drawSettings(Engine& engine, Api& api) {
  static std::string loginError;
  static std::string driverError;
  ImGui::Dummy(ImVec2(0, 24));
  const float avail = ImGui::GetContentRegionAvail().x;
  const float w = std::min(760.0f, avail - 32.0f);
  ImGui::SetCursorPosX(ImGui::GetCursorPosX() + (avail - w) / 2);
  const float left = ImGui::GetCursorPosX();
  ImGui::BeginGroup();
  audioSection(engine, api, left);
  startSection(engine, api, left, loginError);
  driverSection(engine, left, driverError);
  apiSection(engine, api, left);
  ImGui::EndGroup();
}

} // namespace velto
