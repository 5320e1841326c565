#include "app/intro_sound.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "app/child_process.h"

namespace velto {
namespace {

struct Player {
  const char* name;
  std::vector<std::string> options; // before the file
};

const std::vector<Player>& players() {
  static const std::vector<Player> kPlayers = {
      {"pw-play", {}},
      {"paplay", {}},
      {"aplay", {"-q"}},
      {"ffplay", {"-nodisp", "-autoexit", "-loglevel", "quiet"}},
  };
  return kPlayers;
}

std::string gFile;
std::string gPlayerPath;
const Player* gPlayer = nullptr;
pid_t gPid = 0;

} // namespace

void setIntroSoundFile(const std::string& path) {
  stopIntroSound();
  gFile = path;
  gPlayer = nullptr;
  gPlayerPath.clear();
  if (path.empty()) return;
  for (const Player& p : players()) {
    gPlayerPath = findProgram(p.name);
    if (gPlayerPath.empty()) continue;
    gPlayer = &p;
    return;
  }
}

void playIntroSound(bool play) {
  if (gFile.empty() || gPlayer == nullptr) return;
  stopIntroSound();
  if (!play) return;
  std::vector<std::string> args = {gPlayer->name};
  args.insert(args.end(), gPlayer->options.begin(), gPlayer->options.end());
  args.push_back("--");
  args.push_back(gFile);
  // What the player says (no sound server, no device) is not the user's concern: the intro is
  // then silent without a word.
  const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  const pid_t pid = spawnProcess(gPlayerPath, args, quiet, quiet);
  if (quiet >= 0) ::close(quiet);
  gPid = pid > 0 ? pid : 0;
}

void stopIntroSound() {
  // A player that has finished is a zombie until now, so its pid was never handed on.
  stopProcess(gPid);
  gPid = 0;
}

pid_t introSoundPid() {
  return gPid;
}

} // namespace velto
