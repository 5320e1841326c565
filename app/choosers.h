// The folder, file and save choosers of the desktop: zenity, or kdialog where zenity is
// missing, run modally (the caller waits, so no frame is drawn while one is open). The chosen
// path comes from the tool's output; a cancelled chooser gives "". The texts of the OK buttons
// go to the tool as its button labels. Without either tool the window's chooser hooks stay
// empty and the window names the missing tools. Threading: main thread.
#pragma once

#include <string>
#include <vector>

namespace velto {

enum class ChooserTool { None, Zenity, KDialog };

// Looks the tools up through PATH and keeps the one found for the choosers below.
ChooserTool findChooserTool();

// The tool's argument lists (args[0] is the tool's name). An extension that is not plain
// letters and digits limits nothing.
std::vector<std::string> folderChooserArgs(ChooserTool tool, const std::string& startFolder,
                                           const char* title);
std::vector<std::string> fileChooserArgs(ChooserTool tool, const char* extension);
std::vector<std::string> saveChooserArgs(ChooserTool tool, const char* extension,
                                         const char* defaultName);

// The hooks' services, with the tool found last.
std::string chooseFolder(const std::string& startFolder, const char* title);
std::string chooseFile(const char* extension);
std::string chooseSaveFile(const char* extension, const char* defaultName);

// Fills the window's folder, file and save chooser hooks, or empties them without a tool.
void installChoosers();

} // namespace velto
