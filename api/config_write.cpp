// The configuration writer: the mixer's lasting state as lines of API commands, read from the
// engine directly, and the file's location. The file is replaced whole through a temporary file,
// so a failed or interrupted save leaves the previous file as it was.
#include "api/api_detail.h"
#include "api/config.h"
#include "api/file_text.h"

#include "core/levels.h"
#include "effects/fx_chain.h"
#include "effects/fx_table.h"
#include "effects/input_fx.h"
#include "effects/noise_filter.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velto {

using namespace detail;

namespace {

constexpr const char* kHelpLine = "# Jede Zeile ist ein API-Befehl: POST <pfad> mit Body <wert>.";

std::string onOff(bool on) {
  return on ? "on" : "off";
}

std::string db(float gain) {
  return secs(gainToDb(gain));
}

// Six significant digits, the default formatting of a float.
std::string number(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", static_cast<double>(value));
  return text;
}

// Values are written raw; a line break inside one would start a command of its own.
std::string text(const std::string& value) {
  std::string out = value;
  for (char& c : out) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

class Lines {
public:
  void add(const std::string& path, const std::string& value) {
    out += path;
    out += '=';
    out += value;
    out += '\n';
  }
  std::string out;
};

// Every parameter of one effect in table order, then its switch.
void effectLines(Lines& lines, const std::string& prefix, const InputFx& bank, const FxInfo& row) {
  for (int p = 0; p < row.paramCount; ++p) {
    const FxParam& param = row.params[p];
    const float value = bank.params[row.id][p].load();
    lines.add(prefix + param.key,
              param.kind == FxParam::Kind::toggle ? onOff(value >= 0.5f) : number(value));
  }
  lines.add(prefix + "enabled", onOff(bank.enabled[row.id].load()));
}

void routeLines(Lines& lines, const std::string& prefix, const Strip& strip, bool app) {
  const uint32_t mask = strip.routeMask.load();
  if (app) {
    for (int k = 0; k < 4; ++k) {
      lines.add(prefix + "to/virtual/" + std::to_string(k + 1), onOff((mask >> k) & 1u));
    }
    return;
  }
  for (int k = 0; k < 6; ++k) {
    const std::string target = k < 3 ? "to/outputs/" : "to/virtual/";
    lines.add(prefix + target + std::to_string(k % 3 + 1), onOff((mask >> k) & 1u));
  }
}

void inputLines(Lines& lines, const std::string& prefix, Engine& engine, int i) {
  const HwInput& input = engine.hwInputs[static_cast<size_t>(i)];
  const InputAnalysis& analysis = engine.analysis[static_cast<size_t>(i)];
  const NoiseFilter& filter = *input.noiseFilter;
  if (analysis.hasProfile) {
    std::string values;
    for (const float value : analysis.profile) {
      if (!values.empty()) values += ',';
      values += number(std::round(value * 10.0f) / 10.0f); // half away from zero
    }
    lines.add(prefix + "noise/profile", values);
  }
  lines.add(prefix + "noise/strength", num(filter.strength.load()));
  lines.add(prefix + "noise/enabled", onOff(filter.enabled.load() && analysis.hasProfile));

  const FxChain& chain = *input.fxChain;
  std::string order;
  for (const FxChain::Slot& slot : chain.movable) {
    if (!order.empty()) order += ',';
    order += FxChain::name(slot);
  }
  lines.add(prefix + "effects/chain", order);
  for (const FxChain::Slot& slot : chain.movable) {
    const InputFx* bank = chain.banks[slot.bank].get();
    if (slot.bank == 0 || bank == nullptr) continue;
    effectLines(lines, prefix + "effects/" + FxChain::name(slot) + "/", *bank, kFx[slot.id]);
  }
  for (const FxInfo& row : kFx) {
    const std::string key = row.key;
    effectLines(lines, prefix + (row.tool ? key : "effects/" + key) + "/", *input.fx, row);
  }
}

void outputLines(Lines& lines, const std::string& prefix, const Bus& bus) {
  lines.add(prefix + "speaker", onOff(bus.speaker.load()));
  if (bus.fx) effectLines(lines, prefix + "limiter/", *bus.fx, kFx[FxId::limiter]);
}

void memberLines(Lines& lines, Engine& engine, const GroupRow& row, int i) {
  const Ref ref{row.group, i};
  const std::string prefix =
      std::string(row.top) + "/" + row.sub + "/" + std::to_string(i + 1) + "/";
  lines.add(prefix + "name", text(nameOf(engine, ref)));
  lines.add(prefix + "gain", db(gainOf(engine, ref).load()));
  lines.add(prefix + "mute", onOff(muteOf(engine, ref).load()));
  const auto device = [](const DeviceLink& link) {
    return link.uid.empty() ? std::string("none") : text(link.uid);
  };
  switch (row.group) {
  case hwInputs:
    lines.add(prefix + "device", device(engine.hwInputs[static_cast<size_t>(i)].link));
    inputLines(lines, prefix, engine, i);
    break;
  case hwOutputs:
    lines.add(prefix + "device", device(engine.buses[static_cast<size_t>(i)].link));
    outputLines(lines, prefix, engine.buses[static_cast<size_t>(i)]);
    return;
  case swApps:
    lines.add(prefix + "passthrough", onOff(engine.app(i).passthrough));
    break;
  case hwVirtualOuts:
    return;
  default:
    break;
  }
  routeLines(lines, prefix, *stripOf(engine, ref), row.group == swApps);
}

void padLines(Lines& lines, Engine& engine) {
  lines.add("pads/folder", text(engine.settings.padsFolder));
  for (int n = 0; n < PadBank::kPads; ++n) {
    const PadBank::Pad& pad = engine.pads.pads[static_cast<size_t>(n)];
    if (pad.file.empty()) continue;
    const std::string prefix = "pads/" + std::to_string(n + 1) + "/";
    lines.add(prefix + "file", text(pad.file));
    lines.add(prefix + "name", text(pad.name));
    lines.add(prefix + "mode", pad.loop.load() ? "loop" : "once");
    lines.add(prefix + "gain", db(pad.gain.load()));
    lines.add(prefix + "fadein", secs(pad.fadeIn.load()));
    lines.add(prefix + "fadeout", secs(pad.fadeOut.load()));
    lines.add(prefix + "crossfade", secs(pad.crossfade.load()));
  }
}

void playerLines(Lines& lines, Engine& engine) {
  const Player& player = engine.player;
  lines.add("player/folder", text(engine.settings.playerFolder));
  lines.add("player/crossfade", secs(player.crossfade.load()));
  lines.add("player/trim", onOff(player.trim.load()));
  lines.add("player/repeat", onOff(player.repeat));
  lines.add("player/beatsync", onOff(player.beatSync.load()));
  for (size_t i = 0; i < player.playlist.size(); ++i) {
    const PlayerTrack& track = player.playlist[i];
    lines.add("player/playlist", text(track.path));
    if (track.crossfade >= 0.0f) {
      lines.add("player/playlist/" + std::to_string(i + 1) + "/crossfade", secs(track.crossfade));
    }
  }
}

void settingsLines(Lines& lines, const Settings& s) {
  lines.add("settings/audio/buffer", std::to_string(s.bufferFrames));
  lines.add("settings/audio/volumekeys",
            s.volumeKeys < 0 ? std::string("default") : std::to_string(s.volumeKeys + 1));
  lines.add("settings/board", text(s.board));
  lines.add("settings/intro", onOff(s.intro));
  lines.add("settings/fullscreen", onOff(s.fullscreen));
  lines.add("settings/restoreoutput", onOff(s.restoreOutput));
  if (!s.previousOutput.empty()) lines.add("settings/previousoutput", text(s.previousOutput));
  lines.add("settings/api/port", std::to_string(s.apiPort));
  lines.add("settings/api/enabled", onOff(s.apiEnabled));
}

std::string configText(Engine& engine) {
  Lines lines;
  lines.out = std::string(kConfigMarker) + "\n" + kHelpLine + "\n";
  // The applications first: later lines address them by number.
  for (int i = 0; i < engine.appCount(); ++i) {
    lines.add("software/apps", text(engine.app(i).bundleId));
  }
  for (const GroupRow& row : kGroups) {
    for (int i = 0; i < memberCount(engine, row.group); ++i) memberLines(lines, engine, row, i);
  }
  padLines(lines, engine);
  playerLines(lines, engine);
  settingsLines(lines, engine.settings);
  return lines.out;
}

} // namespace

std::string Api::configPath() {
  const char* home = std::getenv("HOME");
  const std::string folder = std::string(home ? home : ".") + "/Library/Application Support/Velto";
  // On a fresh machine even "Library" is missing: every folder of the chain is made.
  for (size_t slash = folder.find('/', 1); slash != std::string::npos;
       slash = folder.find('/', slash + 1)) {
    ::mkdir(folder.substr(0, slash).c_str(), 0755);
  }
  ::mkdir(folder.c_str(), 0755);
  return folder + "/config.txt";
}

// main thread
void Api::save() {
  // A file that could not be read holds what the user has and this run does not know.
  if (!configError.empty()) return;
  // A failed save keeps the previous file; the change stays in memory and the window says so.
  if (replaceFile(configPath(), configText(engine))) {
    saveError.clear();
    return;
  }
  const int code = errno;
  const char* reason = std::strerror(code);
  saveError = reason != nullptr ? reason : "Fehler " + std::to_string(code);
}

} // namespace velto
