#include "app/choosers.h"

#include <cctype>

#include "app/child_process.h"
#include "ui/window.h"

namespace velto {
namespace {

constexpr const char* kFolderMessage = "Ordner mit Audiodateien für die Pads";
constexpr const char* kLoadTitle = "Laden";
constexpr const char* kSaveTitle = "Exportieren";

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

std::vector<std::string> folderChooserArgs(ChooserTool tool, const std::string& startFolder) {
  if (tool == ChooserTool::Zenity) {
    std::vector<std::string> args = {"zenity", "--file-selection", "--directory",
                                     std::string("--title=") + kFolderMessage};
    // The trailing "/" opens the chooser inside the folder rather than at its parent.
    if (!startFolder.empty()) args.push_back("--filename=" + startFolder + "/");
    return args;
  }
  if (tool == ChooserTool::KDialog) {
    return {"kdialog", "--title", kFolderMessage, "--getexistingdirectory",
            startFolder.empty() ? "." : startFolder};
  }
  return {};
}

std::vector<std::string> fileChooserArgs(ChooserTool tool, const char* extension) {
  const std::string pattern = patternFor(extension);
  if (tool == ChooserTool::Zenity) {
    std::vector<std::string> args = {"zenity", "--file-selection",
                                     std::string("--title=") + kLoadTitle};
    if (!pattern.empty()) args.push_back("--file-filter=" + pattern);
    return args;
  }
  if (tool == ChooserTool::KDialog) {
    std::vector<std::string> args = {"kdialog", "--title", kLoadTitle, "--getopenfilename", "."};
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
                                     std::string("--title=") + kSaveTitle,
                                     "--filename=" + name};
    if (!pattern.empty()) args.push_back("--file-filter=" + pattern);
    return args;
  }
  if (tool == ChooserTool::KDialog) {
    std::vector<std::string> args = {"kdialog", "--title", kSaveTitle, "--getsavefilename", name};
    if (!pattern.empty()) args.push_back(pattern);
    return args;
  }
  return {};
}

std::string chooseFolder(const std::string& startFolder) {
  return run(folderChooserArgs(gTool, startFolder));
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
}

} // namespace velto
