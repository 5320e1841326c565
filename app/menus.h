// The main window's menus: a table of menus and items, drawn as an ImGui main menu bar across
// the top of the window (the mixer below takes the work area that remains), and the Ctrl
// shortcuts of the items, checked every frame. Items reach the window's requests and hooks;
// an item whose hook is not there is shown disabled. Threading: main thread only.
#pragma once

namespace velto {

class TextView;

enum class MenuAction {
  Settings,        // the settings tab, no section
  SettingsSection, // the settings tab scrolled to the section named by the item's title
  Quit,
  Copy, // edit commands: on the text of the document window focused last; the keys are the
        // focused text view's or field's own
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
// The text the edit commands act on: that of the shown document window that had the keyboard
// last; null when there is none.
using EditTarget = TextView* (*)();

// The bar's menus in order.
extern const Menu kMenus[];
extern const int kMenuCount;

// Window commands of the main window, filled by the shell; null disables their items.
void setQuitHandler(WindowCommand h);
void setMinimiseHandler(WindowCommand h);
// `raise` brings the target's window to the front (for the find bar's field).
void setEditTarget(EditTarget target, WindowCommand raise);

// Whether the item can run now (its hook is there; the edit commands have no receiver here).
bool menuItemEnabled(const MenuItem& item);
// Runs an enabled item; does nothing for one that is not.
void runMenuItem(const MenuItem& item);
// The enabled item whose shortcut was pressed in this frame; null when none. The edit
// commands' keys are left to the focused field.
const MenuItem* pressedShortcut();
// The same for the application's own commands (quit, settings, tabs, help), which work from
// every window of the program; the edit and window commands belong to the window itself.
const MenuItem* pressedAppShortcut();

// Draws the menu bar and runs the item chosen in it or by its shortcut. Call once per frame
// after ImGui::NewFrame and before drawMixer.
void drawMenus();

} // namespace velto
