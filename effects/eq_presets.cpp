#include "effects/eq_presets.h"

#include "effects/input_fx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace velto {

namespace {

const FxInfo& eqRow() {
  return kFx[FxId::eq];
}

bool isFactoryName(const std::string& name) {
  return std::any_of(std::begin(kFactory), std::end(kFactory),
                     [&](const FactoryEqPreset& f) { return name == f.name; });
}

// A preset is a dozen short lines; anything near this size is no preset, and a special file
// such as /dev/zero would never end.
constexpr size_t kMaxFileBytes = 64 * 1024;

// Opening never blocks (a FIFO without a peer would hold the main thread for good); only a
// regular file is then used.
int openRegular(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool readWhole(const std::string& path, std::string& out) {
  const int fd = openRegular(path, O_RDONLY);
  if (fd < 0) return false;
  out.clear();
  char buffer[4096];
  bool ok = true;
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    out.append(buffer, static_cast<size_t>(got));
    ok = out.size() <= kMaxFileBytes; // a file may grow after fstat
  }
  ::close(fd);
  return ok;
}

bool writeWhole(const std::string& path, const std::string& text) {
  // Truncated only once it is known to be a regular file.
  const int fd = openRegular(path, O_WRONLY | O_CREAT);
  if (fd < 0) return false;
  bool ok = ::ftruncate(fd, 0) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && ok;
}

// Every missing folder along the path, each with 0755; failures show up when the file is opened.
void makeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  }
  ::mkdir(path.c_str(), 0755);
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string formatValue(float v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(v));
  return text;
}

} // namespace

std::string EqPresets::folder() {
  const char* home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/Library/Application Support/Velto/eq";
}

std::string EqPresets::serialize(const EqPreset& preset) {
  std::string text = std::string(kMarker) + "\nname=" + preset.name + "\n";
  for (int i = 0; i < eqRow().paramCount; ++i) {
    text += std::string(eqRow().params[i].key) + "=" + formatValue(preset.values[i]) + "\n";
  }
  return text;
}

bool EqPresets::parse(const std::string& text, EqPreset& preset) {
  preset.name.clear();
  for (int i = 0; i < kFxMaxParams; ++i) {
    preset.values[i] = i < eqRow().paramCount ? eqRow().params[i].defaultValue : 0.0f;
  }
  size_t end = text.find('\n');
  if (text.compare(0, end, kMarker) != 0) return false;
  while (end != std::string::npos) {
    const size_t start = end + 1;
    end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals);
    const std::string value = line.substr(equals + 1);
    if (key == "name") {
      preset.name = value;
      continue;
    }
    if (key.find('\0') != std::string::npos) continue;
    const int index = findParam(&eqRow(), key.c_str());
    if (index < 0) continue;
    const float v = std::strtof(value.c_str(), nullptr); // no number reads as 0
    // A number that is not finite marks a damaged file; it must never reach a filter.
    if (!std::isfinite(v)) return false;
    const FxParam& p = eqRow().params[index];
    preset.values[index] = std::clamp(v, p.min, p.max);
  }
  return validName(preset.name);
}

bool EqPresets::validName(const std::string& name) {
  if (name.empty() || name.size() > 60 || name[0] == '.') return false;
  // Control characters would break the one-line file format and the listing.
  return std::none_of(name.begin(), name.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return c == '/' || c == ':' || byte < 0x20 || byte == 0x7F;
  });
}

std::vector<EqPreset> EqPresets::all() {
  std::vector<EqPreset> presets;
  for (const FactoryEqPreset& f : kFactory) {
    EqPreset preset;
    preset.name = f.name;
    preset.factory = true;
    std::copy(std::begin(f.values), std::end(f.values), preset.values);
    presets.push_back(preset);
  }
  std::vector<EqPreset> user;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder(), error), last; !error && it != last;
       it.increment(error)) {
    const std::string file = it->path().filename().string();
    if (file.size() < 9 || !endsWith(file, kExtension)) continue;
    std::string text;
    EqPreset preset;
    if (readWhole(it->path().string(), text) && parse(text, preset)) user.push_back(preset);
  }
  std::sort(user.begin(), user.end(),
            [](const EqPreset& a, const EqPreset& b) { return a.name < b.name; });
  presets.insert(presets.end(), user.begin(), user.end());
  return presets;
}

bool EqPresets::find(const std::string& name, EqPreset& out) {
  for (const EqPreset& preset : all()) {
    if (preset.name == name) {
      out = preset;
      return true;
    }
  }
  return false;
}

void EqPresets::apply(const EqPreset& preset, InputFx& bank) {
  for (int i = 0; i < eqRow().paramCount; ++i) bank.set(FxId::eq, i, preset.values[i]);
}

EqPreset EqPresets::fromFx(const std::string& name, const InputFx& bank) {
  EqPreset preset;
  preset.name = name;
  for (int i = 0; i < eqRow().paramCount; ++i) preset.values[i] = bank.params[FxId::eq][i].load();
  return preset;
}

bool EqPresets::save(const EqPreset& preset, std::string& error) {
  if (!validName(preset.name)) {
    error = "Name ungültig";
    return false;
  }
  if (isFactoryName(preset.name)) {
    error = "Name einer Werksvorlage";
    return false;
  }
  const bool finite = std::all_of(std::begin(preset.values), std::end(preset.values),
                                  [](float v) { return std::isfinite(v); });
  const std::string dir = folder();
  makeFolders(dir);
  if (!finite || !writeWhole(dir + "/" + preset.name + kExtension, serialize(preset))) {
    error = "nicht gespeichert";
    return false;
  }
  return true;
}

bool EqPresets::remove(const std::string& name, std::string& error) {
  EqPreset preset;
  if (!find(name, preset)) {
    error = "nicht gefunden";
    return false;
  }
  if (preset.factory) {
    error = "Werksvorlage";
    return false;
  }
  if (std::remove((folder() + "/" + name + kExtension).c_str()) != 0) {
    error = "nicht gelöscht";
    return false;
  }
  return true;
}

bool EqPresets::exportTo(const std::string& name, const std::string& path, std::string& error) {
  EqPreset preset;
  if (!find(name, preset)) {
    error = "nicht gefunden";
    return false;
  }
  if (!writeWhole(path, serialize(preset))) {
    error = "nicht geschrieben";
    return false;
  }
  return true;
}

bool EqPresets::importFrom(const std::string& path, std::string& name, std::string& error,
                           bool* renamed) {
  std::string text;
  if (!readWhole(path, text)) {
    error = "Datei nicht lesbar";
    return false;
  }
  EqPreset preset;
  if (!parse(text, preset)) {
    error = "keine EQ-Vorlage";
    return false;
  }
  if (isFactoryName(preset.name)) preset.name += " (Import)";
  preset.factory = false;
  if (renamed) {
    *renamed = false;
    const std::string base = preset.name;
    EqPreset existing;
    for (int n = 2; find(preset.name, existing); ++n) {
      preset.name = base + " (" + std::to_string(n) + ")";
      *renamed = true;
    }
  }
  name = preset.name;
  return save(preset, error);
}

} // namespace velto
