#include "app/choosers.h"

#include <cctype>

#include "app/child_process.h"
#include "ui/window.h"

namespace velto {
namespace {

// The choosers' OK buttons.
constexpr const char* kFolderButton = "Wählen";
constexpr const char* kLoadButton = "Laden";
constexpr const char* kSaveButton = "Exportieren";

ChooserTool gTool = ChooserTool::None;
std::string gToolPath;

// A pattern only for a plain extension: anything else could read as the tool's filter syntax.
std::string patternFor(const char* extension) {
  if (extension == nullptr || extension[0] == '\0') return {};
  for (const char* c = extension; *c != '\0'; ++c) {
    if (!std::isalnum(static_cast<unsigned char>(*c))) return {};
  }
  return std::string("*.") + extension;
}

std::string run(const std::vector<std::string>& args) {
  if (gTool == ChooserTool::None || args.empty()) return {};
  std::string output;
  if (runProcess(gToolPath, args, &output) != 0) return {};
  if (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

} // namespace

ChooserTool findChooserTool() {
  gToolPath = findProgram("zenity");
  gTool = ChooserTool::Zenity;
  if (gToolPath.empty()) {
    gToolPath = findProgram("kdialog");
    gTool = ChooserTool::KDialog;
  }
  if (gToolPath.empty()) gTool = ChooserTool::None;
  return gTool;
}

std::vector<std::string> folderChooserArgs(ChooserTool tool, const std::string& startFolder,
                                           const char* title) {
  const std::string named = title != nullptr ? title : "";
  if (tool == ChooserTool::Zenity) {
    std::vector<std::string> args = {"zenity", "--file-selection", "--directory",
                                     "--title=" + named,
                                     std::string("--ok-label=") + kFolderButton};
    // The trailing "/" opens the chooser inside the folder rather than at its parent.
    if (!startFolder.empty()) args.push_back("--filename=" + startFolder + "/");
    return args;
  }
  if (tool == ChooserTool::KDialog) {
    return {"kdialog",
            "--title",
            named,
            "--ok-label",
            kFolderButton,
            "--getexistingdirectory",
            startFolder.empty() ? "." : startFolder};
  }
  return {};
}

std::vector<std::string> fileChooserArgs(ChooserTool tool, const char* extension) {
  const std::string pattern = patternFor(extension);
  if (tool == ChooserTool::Zenity) {
    std::vector<std::string> args = {"zenity", "--file-selection",
                                     std::string("--ok-label=") + kLoadButton};
    if (!pattern.empty()) args.push_back("--file-filter=" + pattern);
    return args;
  }
  if (tool == ChooserTool::KDialog) {
    std::vector<std::string> args = {"kdialog", "--ok-label", kLoadButton, "--getopenfilename",
                                     "."};
    if (!pattern.empty()) args.push_back(pattern);
    return args;
  }
  return {};
}

std::vector<std::string> saveChooserArgs(ChooserTool tool, const char* extension,
                                         const char* defaultName) {
  const std::string pattern = patternFor(extension);
  std::string name = defaultName != nullptr ? defaultName : "";
  if (extension != nullptr && extension[0] != '\0') name += std::string(".") + extension;
  if (tool == ChooserTool::Zenity) {
    std::vector<std::string> args = {"zenity",
                                     "--file-selection",
                                     "--save",
                                     "--confirm-overwrite",
                                     std::string("--ok-label=") + kSaveButton,
                                     "--filename=" + name};
    if (!pattern.empty()) args.push_back("--file-filter=" + pattern);
    return args;
  }
  if (tool == ChooserTool::KDialog) {
    std::vector<std::string> args = {"kdialog", "--ok-label", kSaveButton, "--getsavefilename",
                                     name};
    if (!pattern.empty()) args.push_back(pattern);
    return args;
  }
  return {};
}

std::string chooseFolder(const std::string& startFolder, const char* title) {
  return run(folderChooserArgs(gTool, startFolder, title));
}

std::string chooseFile(const char* extension) {
  return run(fileChooserArgs(gTool, extension));
}

std::string chooseSaveFile(const char* extension, const char* defaultName) {
  return run(saveChooserArgs(gTool, extension, defaultName));
}

void installChoosers() {
  const bool found = findChooserTool() != ChooserTool::None;
  setFolderPicker(found ? chooseFolder : nullptr);
  setFilePicker(found ? chooseFile : nullptr);
  setSavePicker(found ? chooseSaveFile : nullptr);
  setMissingChooser(found ? "" : "zenity oder kdialog");
}

} // namespace velto
