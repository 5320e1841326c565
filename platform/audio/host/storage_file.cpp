#include "platform/audio/host/storage_file.h"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace platform::audio {
namespace {

// One line per value: key, kind word and value, separated by tabs.
constexpr const char* kHeader = "# plug-in storage";
constexpr const char* kFloatWord = "float32";
constexpr const char* kIntWord = "int32";
constexpr const char* kTextWord = "text";

bool validKey(const char* key) {
  if (!key || !*key) return false;
  for (const char* c = key; *c; ++c) {
    if (*c == '\t' || *c == '\n' || *c == '\r') return false;
  }
  return true;
}

std::string escape(const char* text, size_t length) {
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    switch (text[i]) {
    case '\\':
      out += "\\\\";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    default:
      out += text[i];
    }
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::string formatNumber(double number) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, number);
  return std::string(buffer, result.ptr);
}

bool parseNumber(const std::string& text, double* out) {
  const char* end = text.data() + text.size();
  auto result = std::from_chars(text.data(), end, *out);
  return result.ec == std::errc() && result.ptr == end;
}

bool parseLine(const std::string& line, std::string* key, AspStoredValue* value) {
  size_t tab1 = line.find('\t');
  if (tab1 == std::string::npos || tab1 == 0) return false;
  size_t tab2 = line.find('\t', tab1 + 1);
  if (tab2 == std::string::npos) return false;
  std::string kind = line.substr(tab1 + 1, tab2 - tab1 - 1);
  std::string text = line.substr(tab2 + 1);
  *value = AspStoredValue{};
  if (kind == kFloatWord || kind == kIntWord) {
    value->kind = kind == kFloatWord ? kAspValueFloat32 : kAspValueInt32;
    if (!parseNumber(text, &value->number)) return false;
  } else if (kind == kTextWord) {
    value->kind = kAspValueText;
    std::string plain = unescape(text);
    snprintf(value->text, sizeof value->text, "%s", plain.c_str());
  } else {
    return false;
  }
  *key = line.substr(0, tab1);
  return true;
}

} // namespace

StorageFile::StorageFile(std::string path) : path_(std::move(path)) {
  std::ifstream file(path_);
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::string key;
    AspStoredValue value;
    if (parseLine(line, &key, &value)) values_[key] = value;
  }
}

AspStatus StorageFile::copy(const char* key, AspStoredValue* outValue) const {
  if (!outValue) return kAspBadPropertySize;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = key ? values_.find(key) : values_.end();
  if (found == values_.end()) {
    *outValue = AspStoredValue{};
    outValue->kind = kAspValueNone;
    return kAspUnknownProperty;
  }
  *outValue = found->second;
  return kAspNoError;
}

AspStatus StorageFile::write(const char* key, const AspStoredValue& value) {
  bool knownKind =
      value.kind == kAspValueFloat32 || value.kind == kAspValueInt32 || value.kind == kAspValueText;
  if (!validKey(key) || !knownKind) return kAspUnsupportedFormat;
  AspStoredValue stored = value;
  // The caller's text may fill the whole field without its NUL.
  stored.text[sizeof stored.text - 1] = '\0';
  std::lock_guard<std::mutex> lock(mutex_);
  auto values = values_;
  values[key] = stored;
  if (!save(values)) return kAspUnsupportedOperation;
  values_.swap(values);
  return kAspNoError;
}

AspStatus StorageFile::remove(const char* key) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!key || values_.find(key) == values_.end()) return kAspUnknownProperty;
  auto values = values_;
  values.erase(key);
  if (!save(values)) return kAspUnsupportedOperation;
  values_.swap(values);
  return kAspNoError;
}

bool StorageFile::save(const std::map<std::string, AspStoredValue>& values) const {
  std::error_code error;
  std::filesystem::path target(path_);
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);
  std::string temporary = path_ + ".tmp";
  {
    std::ofstream file(temporary, std::ios::trunc);
    if (!file) return false;
    file << kHeader << '\n';
    for (const auto& [key, value] : values) {
      file << key << '\t';
      if (value.kind == kAspValueText) {
        file << kTextWord << '\t' << escape(value.text, strlen(value.text));
      } else {
        file << (value.kind == kAspValueFloat32 ? kFloatWord : kIntWord) << '\t'
             << formatNumber(value.number);
      }
      file << '\n';
    }
    file.flush();
    if (!file) return false;
  }
  std::filesystem::rename(temporary, target, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    return false;
  }
  return true;
}

} // namespace platform::audio
