// The mixer window's frame: drawMixer (one borderless window, the tab bar and its bodies), the
// requests of the menus, the hooks the shell fills at launch, and the screen points recorded in
// the last frame. Threading: main thread only; drawMixer runs between ImGui new frame and render.
#pragma once

#include "ui/help.h"

#include <imgui.h>

#include <string>

namespace velto {

class Engine;
class Api;

// Tab numbers in entry order (the bar shows 0, 1, 10, 2, ..., 9).
enum Tab {
  kTabBoard = 0,
  kTabInputs = 1,
  kTabOutputs = 2,
  kTabVirtualInputs = 3,
  kTabVirtualOutputs = 4,
  kTabSoftware = 5,
  kTabPlayer = 6,
  kTabPads = 7,
  kTabVisual = 8,
  kTabSettings = 9,
  kTabEffects = 10,
  kTabCount = 11,
};

using PrivacyHandler = void (*)();
using IntroSoundHandler = void (*)(bool play);
// `title` names what the folder is for.
using FolderPicker = std::string (*)(const std::string& startFolder, const char* title);
using RevealHandler = void (*)(const std::string& path);
using FilePicker = std::string (*)(const char* extension);
using SavePicker = std::string (*)(const char* extension, const char* defaultName);
using DocsHandler = void (*)();
using HelpHandler = void (*)(const char* helpKey);

// Window state shared with the tab bodies (main thread).
extern Engine* gEngine;     // engine of the latest frame
extern int gWantTab;        // tab to select at the next frame; -1 none
extern int gOutputSettings; // hardware output whose settings are shown
extern int gInputSettings;  // hardware input whose settings are shown
extern int gInputItem;      // Hardware Inputs selection: 0 profile, 1 filter, 2..61 effect slot
extern bool gBoardEdit;     // board edit mode
extern bool gPadEdit;       // pads edit mode

extern PrivacyHandler gPrivacyHandler;
extern IntroSoundHandler gIntroSound;
extern FolderPicker gFolderPicker;
extern RevealHandler gRevealHandler;
extern FilePicker gFilePicker;
extern SavePicker gSavePicker;
extern DocsHandler gDocsHandler;
extern HelpHandler gHelpHandler;
extern ImFont* gTitleFont;

// Screen points the bodies record each frame, read back by the getters below.
extern ImVec2 gPlayerButton[6];
extern ImVec2 gFxNode[3][40];
extern ImVec2 gFxPlus[3];
extern ImVec2 gPadPoint[16];
extern ImVec2 gPadsGear;
extern ImVec2 gVizSource[9];
extern ImVec2 gVizTarget[6];
extern ImVec2 gBoardGear;
extern ImVec2 gBoardCard[64];
extern ImVec2 gBoardArrow[64][2];

// Label of the tab whose help key is key; null when no tab has it.
const char* tabLabelForKey(const std::string& key);

// Applies the window variables VELTO_TAB, VELTO_INPUT_ITEM and VELTO_FX_DEMO (null = unset);
// drawMixer calls it once with the environment's values at its first tab stage.
void applyWindowEnv(Engine& engine, const char* tab, const char* item, const char* demo);

// One frame of the window; call once per frame between ImGui::NewFrame and ImGui::Render.
void drawMixer(Engine& engine, Api& api);

// Requests: each stores a value; the effect shows at the next frame.
void selectTab(int tab);
void showSettings(const char* section);
void selectSettings(bool output, int index);
void selectInputItem(int item);
void showApiDocs();
void setPadsEditing(bool on);
bool boardEditing();

void setPrivacyHandler(PrivacyHandler h);
void setIntroSound(IntroSoundHandler h);
void setFolderPicker(FolderPicker h);
void setRevealHandler(RevealHandler h);
void setFilePicker(FilePicker h);
void setSavePicker(SavePicker h);
void setDocsHandler(DocsHandler h);
void setHelpHandler(HelpHandler h);
void setTitleFont(ImFont* font);

// The helper programs behind the chooser and reveal hooks, named by the shell when they are
// missing (the hooks then stay null); "" when they are there.
void setMissingChooser(const char* programs);
void setMissingOpener(const char* program);
// The one line a button whose helper program is missing shows when clicked.
std::string missingChooserLine();
std::string missingOpenerLine();

// Points of the last frame; an index outside the storage gives (0, 0).
ImVec2 playerButtonPoint(int n);
ImVec2 fxNodePoint(int input, int node);
ImVec2 fxPlusPoint(int input);
ImVec2 padPoint(int n);
ImVec2 padsGearPoint();
ImVec2 vizSourcePoint(int n);
ImVec2 vizTargetPoint(int n);
ImVec2 boardGearPoint();
ImVec2 boardCardPoint(int n);
ImVec2 boardArrowPoint(int n, bool right);

} // namespace velto
