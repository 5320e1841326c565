// The intro sound's player: a command-line player of the desktop (pw-play, paplay, aplay or
// ffplay, the first one found) started with the sound file as its argument and stopped by its
// pid, so a new start never overlaps an old one and nothing plays on after the program quits.
// Owned by the shell. Threading: main thread.
#pragma once

#include <string>
#include <sys/types.h>

namespace velto {

// The sound to play ("" for none); looks up the player once.
void setIntroSoundFile(const std::string& path);
// The intro-sound hook: stops a playing sound, and with `play` starts it from the beginning.
// Without a sound file or a player nothing happens.
void playIntroSound(bool play);
// At quit.
void stopIntroSound();
// The running player's pid, 0 when none was started since the last stop.
pid_t introSoundPid();

} // namespace velto
