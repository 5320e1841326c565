#include "app/menus.h"

#define GLFW_INCLUDE_NONE
#include <GLFW/glfw3.h>
#include <imgui.h>

#include "app/text_view.h"
#include "ui/window.h"

namespace velto {
namespace {

WindowCommand gQuitHandler = nullptr;
WindowCommand gMinimiseHandler = nullptr;
EditTarget gEditTarget = nullptr;
WindowCommand gRaiseTarget = nullptr;

constexpr const char* kHelpStartKey = "uebersicht";

using A = MenuAction;

constexpr MenuItem kAppItems[] = {
    {"Einstellungen …", A::Settings, 0, "Strg+,", GLFW_KEY_COMMA, 0, false, false},
    {"Audio", A::SettingsSection, 0, nullptr, 0, 0, false, true},
    {"Start", A::SettingsSection, 0, nullptr, 0, 0, false, true},
    {"Treiber", A::SettingsSection, 0, nullptr, 0, 0, false, true},
    {"API", A::SettingsSection, 0, nullptr, 0, 0, false, true},
    {nullptr, A::Settings, 0, nullptr, 0, 0, false, false},
    {"Velto beenden", A::Quit, 0, "Strg+Q", GLFW_KEY_Q, 0, false, false},
};

constexpr MenuItem kEditItems[] = {
    {"Kopieren", A::Copy, 0, "Strg+C", GLFW_KEY_C, 0, false, false},
    {"Alles auswählen", A::SelectAll, 0, "Strg+A", GLFW_KEY_A, 0, false, false},
    {nullptr, A::Copy, 0, nullptr, 0, 0, false, false},
    {"Suchen …", A::Find, 0, "Strg+F", GLFW_KEY_F, 0, false, false},
};

// The tab entries in the order of the tab bar.
constexpr MenuItem kViewItems[] = {
    {"Board", A::Tab, kTabBoard, "Strg+1", GLFW_KEY_1, 0, false, false},
    {"Hardware Inputs", A::Tab, kTabInputs, "Strg+2", GLFW_KEY_2, 0, false, false},
    {"Effekte", A::Tab, kTabEffects, "Strg+3", GLFW_KEY_3, 0, false, false},
    {"Hardware Outputs", A::Tab, kTabOutputs, "Strg+4", GLFW_KEY_4, 0, false, false},
    {"Virtual Inputs", A::Tab, kTabVirtualInputs, "Strg+5", GLFW_KEY_5, 0, false, false},
    {"Virtual Outputs", A::Tab, kTabVirtualOutputs, "Strg+6", GLFW_KEY_6, 0, false, false},
    {"Software", A::Tab, kTabSoftware, "Strg+7", GLFW_KEY_7, 0, false, false},
    {"Player", A::Tab, kTabPlayer, "Strg+8", GLFW_KEY_8, 0, false, false},
    {"Pads", A::Tab, kTabPads, "Strg+9", GLFW_KEY_9, 0, false, false},
    {"Visualisierung", A::Tab, kTabVisual, nullptr, 0, 0, false, false},
    {"Einstellungen", A::Tab, kTabSettings, "Strg+0", GLFW_KEY_0, 0, false, false},
};

constexpr MenuItem kWindowItems[] = {
    {"Minimieren", A::Minimise, 0, "Strg+M", GLFW_KEY_M, 0, false, false},
};

// "?" is Shift+/ on US keyboards and Shift+ß on German ones, where ß sits on the minus key.
constexpr MenuItem kHelpItems[] = {
    {"Velto-Hilfe", A::Help, 0, "Strg+?", GLFW_KEY_SLASH, GLFW_KEY_MINUS, true, false},
    {"API-Dokumentation", A::ApiDocs, 0, nullptr, 0, 0, false, false},
};

template <int N>
constexpr Menu menu(const char* title, const MenuItem (&items)[N]) {
  return {title, items, N};
}

TextView* editTarget() {
  return gEditTarget != nullptr ? gEditTarget() : nullptr;
}

bool isEdit(const MenuItem& item) {
  return item.action == A::Copy || item.action == A::SelectAll || item.action == A::Find;
}

bool isApplication(const MenuItem& item) {
  return item.action == A::Quit || item.action == A::Settings || item.action == A::Tab ||
         item.action == A::Help;
}

bool keyPressed(const ImGuiIO& io, int key) {
  return key > 0 && key < static_cast<int>(IM_ARRAYSIZE(io.KeysDown)) &&
         ImGui::IsKeyPressed(key, false);
}

} // namespace

const Menu kMenus[] = {
    menu("Velto", kAppItems),      menu("Bearbeiten", kEditItems), menu("Ansicht", kViewItems),
    menu("Fenster", kWindowItems), menu("Hilfe", kHelpItems),
};
const int kMenuCount = IM_ARRAYSIZE(kMenus);

void setQuitHandler(WindowCommand h) {
  gQuitHandler = h;
}
void setMinimiseHandler(WindowCommand h) {
  gMinimiseHandler = h;
}
void setEditTarget(EditTarget target, WindowCommand raise) {
  gEditTarget = target;
  gRaiseTarget = raise;
}

bool menuItemEnabled(const MenuItem& item) {
  switch (item.action) {
  case A::Quit:
    return gQuitHandler != nullptr;
  case A::Minimise:
    return gMinimiseHandler != nullptr;
  case A::Help:
    return gHelpHandler != nullptr;
  case A::ApiDocs:
    return gDocsHandler != nullptr;
  case A::Copy: {
    const TextView* view = editTarget();
    return view != nullptr && view->selection().length > 0;
  }
  case A::SelectAll:
  case A::Find:
    return editTarget() != nullptr;
  default:
    return item.title != nullptr;
  }
}

void runMenuItem(const MenuItem& item) {
  if (!menuItemEnabled(item)) return;
  switch (item.action) {
  case A::Settings:
    showSettings(nullptr);
    break;
  case A::SettingsSection:
    showSettings(item.title);
    break;
  case A::Tab:
    selectTab(item.tab);
    break;
  case A::Quit:
    gQuitHandler();
    break;
  case A::Minimise:
    gMinimiseHandler();
    break;
  case A::Help:
    gHelpHandler(kHelpStartKey);
    break;
  case A::ApiDocs:
    showApiDocs();
    break;
  case A::Copy:
    editTarget()->copySelection();
    break;
  case A::SelectAll:
    editTarget()->selectAll();
    break;
  case A::Find:
    editTarget()->openFindBar();
    if (gRaiseTarget != nullptr) gRaiseTarget();
    break;
  default:
    break;
  }
}

namespace {

const MenuItem* pressedAmong(bool (*wanted)(const MenuItem&)) {
  const ImGuiIO& io = ImGui::GetIO();
  if (!io.KeyCtrl || io.KeyAlt || io.KeySuper) return nullptr;
  for (int m = 0; m < kMenuCount; ++m)
    for (int i = 0; i < kMenus[m].count; ++i) {
      const MenuItem& item = kMenus[m].items[i];
      if (item.key == 0 || item.shift != io.KeyShift || !wanted(item) || !menuItemEnabled(item))
        continue;
      if (keyPressed(io, item.key) || keyPressed(io, item.altKey)) return &item;
    }
  return nullptr;
}

} // namespace

const MenuItem* pressedShortcut() {
  return pressedAmong([](const MenuItem& item) { return !isEdit(item); });
}

const MenuItem* pressedAppShortcut() {
  return pressedAmong(isApplication);
}

void drawMenus() {
  const MenuItem* chosen = pressedShortcut();
  if (ImGui::BeginMainMenuBar()) {
    for (int m = 0; m < kMenuCount; ++m) {
      if (!ImGui::BeginMenu(kMenus[m].title)) continue;
      for (int i = 0; i < kMenus[m].count; ++i) {
        const MenuItem& item = kMenus[m].items[i];
        if (item.title == nullptr) {
          ImGui::Separator();
          continue;
        }
        if (item.indented) ImGui::Indent();
        if (ImGui::MenuItem(item.title, item.shortcut, false, menuItemEnabled(item)))
          chosen = &item;
        if (item.indented) ImGui::Unindent();
      }
      ImGui::EndMenu();
    }
    ImGui::EndMainMenuBar();
  }
  if (chosen != nullptr) runMenuItem(*chosen);
}

} // namespace velto
