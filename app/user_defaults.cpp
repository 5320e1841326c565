#include "app/user_defaults.h"

#include <map>
#include <sstream>

#include "api/api.h"
#include "api/file_text.h"

namespace velto {
namespace {

using Defaults = std::map<std::string, std::string>;

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += c;
    }
  }
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

Defaults readDefaults() {
  Defaults defaults;
  std::string text;
  readFile(userDefaultsPath(), text);
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) continue;
    defaults[line.substr(0, eq)] = unescaped(line.substr(eq + 1));
  }
  return defaults;
}

bool writeDefaults(const Defaults& defaults) {
  std::string text;
  for (const auto& [key, value] : defaults) text += key + "=" + escaped(value) + "\n";
  return replaceFile(userDefaultsPath(), text);
}

bool validKey(const std::string& key) {
  return !key.empty() && key.find_first_of("=\n\r") == std::string::npos;
}

} // namespace

std::string userDefaultsPath() {
  const std::string config = Api::configPath(); // makes the folder
  return config.substr(0, config.rfind('/') + 1) + "defaults.txt";
}

bool userDefault(const std::string& key, std::string& value) {
  const Defaults defaults = readDefaults();
  const auto it = defaults.find(key);
  if (it == defaults.end()) return false;
  value = it->second;
  return true;
}

bool setUserDefault(const std::string& key, const std::string& value) {
  if (!validKey(key)) return false;
  Defaults defaults = readDefaults();
  defaults[key] = value;
  return writeDefaults(defaults);
}

bool removeUserDefault(const std::string& key) {
  Defaults defaults = readDefaults();
  if (defaults.erase(key) == 0) return true;
  return writeDefaults(defaults);
}

} // namespace velto
