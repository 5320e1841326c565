// The Player tab: the player's card beside a transport panel (title, times, seek bar with the
// crossfade zone, transport buttons, crossfade and option switches) and the playlist panel
// (adding files from the player folder, folder controls, the track table). Keeps no copy of
// the playlist. Part of the mixer window; main thread only, once per frame while the tab is open.
#pragma once

#include <string>

namespace velto {

class Engine;

void drawPlayer(Engine& engine);

// "m:ss" of a time in seconds, clamped to 0 and truncated to whole seconds; a value that is not
// a number reads as 0 and one past the int range as its largest value.
void formatTime(char (&out)[16], double seconds);
// Creates the folder with any missing parents; false when it is not there afterwards.
bool makePlayerFolder(const std::string& folder);
// "Ordner wählen …" (its chooser titled `title`) and "Im Dateimanager" on one line for
// `folder`. A click whose helper program is missing puts its line into `missing`; a click that
// finds it empties it.
void folderButtons(std::string& folder, const char* title, std::string& missing);

} // namespace velto
