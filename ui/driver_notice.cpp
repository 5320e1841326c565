#include "ui/driver_notice.h"

#include "api/hooks.h"
#include "engine/engine.h"
#include "ui/style.h"

#include <imgui.h>

#include <string>

namespace velto {
namespace {

constexpr double kBundlePoll = 3.0; // the bundle is read from disk: not every frame

} // namespace

void drawDriverNotice(Engine& engine, const char* what) {
  static double checked = -100.0;
  static int bundled = 0;
  static std::string error;
  if (engine.findDevice("VeltoClock_UID") != nullptr) {
    error.clear();
    return;
  }
  const AppHooks& hooks = appHooks();
  const double now = ImGui::GetTime();
  if (now - checked > kBundlePoll || now < checked) {
    bundled = hooks.bundledDriverVersion ? hooks.bundledDriverVersion() : 0;
    checked = now;
  }
  ImGui::AlignTextToFramePadding();
  ImGui::TextColored(kRed, "Treiber fehlt");
  ImGui::SameLine();
  ImGui::TextColored(kTextLight, "%s", what);
  ImGui::SameLine(0, 16);
  ImGui::BeginDisabled(bundled == 0 || hooks.installDriver == nullptr);
  if (coloredButton("Installieren##driver", kGray, kTextLight, 120, ImGui::GetFrameHeight()) &&
      hooks.installDriver) {
    error.clear();
    hooks.installDriver(true, error);
    checked = -100.0;
  }
  ImGui::EndDisabled();
  if (!error.empty()) {
    ImGui::SameLine();
    ImGui::TextColored(kRed, "%s", error.c_str());
  }
}

} // namespace velto
