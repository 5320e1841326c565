// The main window's menus: a table of menus and items, drawn as an ImGui main menu bar across
// the top of the window (the mixer below takes the work area that remains), and the Ctrl
// shortcuts of the items, checked every frame. Items reach the window's requests and hooks;
// an item whose hook is not there is shown disabled. Threading: main thread only.
#pragma once

namespace velto {

enum class MenuAction {
  Settings,        // the settings tab, no section
  SettingsSection, // the settings tab scrolled to the section named by the item's title
  Quit,
  Copy, // edit commands: the focused text field takes their keys itself
  SelectAll,
  Find,
  Tab, // selects the item's tab entry
  Minimise,
  Help,
  ApiDocs,
};

struct MenuItem {
  const char* title; // null: a separator
  MenuAction action;
  int tab;              // MenuAction::Tab: the tab entry
  const char* shortcut; // shown beside the title; null: none
  int key;              // key index held with Ctrl (GLFW key code); 0: none
  int altKey;           // a second key index for the same shortcut on other layouts; 0: none
  bool shift;           // Shift held too
  bool indented;
};

struct Menu {
  const char* title;
  const MenuItem* items;
  int count;
};

using WindowCommand = void (*)();

// The bar's menus in order.
extern const Menu kMenus[];
extern const int kMenuCount;

// Window commands of the main window, filled by the shell; null disables their items.
void setQuitHandler(WindowCommand h);
void setMinimiseHandler(WindowCommand h);

// Whether the item can run now (its hook is there; the edit commands have no receiver here).
bool menuItemEnabled(const MenuItem& item);
// Runs an enabled item; does nothing for one that is not.
void runMenuItem(const MenuItem& item);
// The enabled item whose shortcut was pressed in this frame; null when none.
const MenuItem* pressedShortcut();

// Draws the menu bar and runs the item chosen in it or by its shortcut. Call once per frame
// after ImGui::NewFrame and before drawMixer.
void drawMenus();

} // namespace velto
