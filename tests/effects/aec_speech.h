// Real speech for the echo-canceller suites and the side-by-side bench: German sentences spoken
// by espeak-ng and resampled to 48000 Hz by sox, read through a pipe. Main thread only; returns
// nothing when either program is missing.
#pragma once

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace velto::test::aec {

// Two voices with texts of their own: the far end (a man) and the near talker (a woman).
inline constexpr const char* kFarText =
    "Guten Morgen, heute fahren wir mit dem Zug an den See. Das Wetter soll am Nachmittag besser "
    "werden. Vergiss bitte nicht, die Fahrkarten einzustecken. Am Bahnhof gibt es einen kleinen "
    "Laden mit frischem Brot. Wir treffen uns dort um halb neun. Danach gehen wir zu Fuss zum "
    "Ufer hinunter. Meine Schwester bringt ihren Hund mit, er schwimmt gern. Am Abend kochen wir "
    "zusammen Suppe und erzaehlen uns alte Geschichten. Wenn es regnet, bleiben wir einfach im "
    "Haus und spielen Karten.";
inline constexpr const char* kNearText =
    "Hallo, kannst du mich gut verstehen? Ich sitze gerade im Buero und die Heizung ist wieder "
    "kaputt. Der Techniker kommt erst morgen frueh. Bis dahin trage ich meinen dicken Pullover. "
    "Hast du die Unterlagen fuer die Sitzung schon gelesen? Wir muessen noch ueber das Budget "
    "sprechen.";

// Other sentences for judging on material the suites were not tuned on.
inline constexpr const char* kOtherFarText =
    "Der Regen hat endlich aufgehoert, und die Strassen trocknen langsam. Im Garten bluehen schon "
    "die ersten Tulpen. Unser Nachbar repariert sein Fahrrad vor der Garage. Morgen wollen wir "
    "frueh aufstehen und in die Berge fahren. Die Kinder freuen sich auf den Ausflug und packen "
    "ihre Rucksaecke. Vergiss die Jacken nicht, oben ist es kalt. Zum Mittag gibt es belegte "
    "Brote und heissen Tee aus der Thermoskanne.";

// `text` spoken with `voice` (an espeak-ng voice such as "de" or "de+f3"), at `rms`, repeated
// until it fills `frames` samples at 48000 Hz. Empty when espeak-ng or sox cannot be run.
inline std::vector<float> spokenGerman(const char* text, const char* voice, size_t frames,
                                       float rms) {
  const std::string command = std::string("espeak-ng -v ") + voice + " --stdout '" + text +
                              "' 2>/dev/null | sox -q -t wav - -r 48000 -e floating-point -b 32 "
                              "-t raw - gain -3 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::vector<float> spoken;
  float chunk[4096];
  size_t got = 0;
  while ((got = std::fread(chunk, sizeof(float), 4096, pipe)) > 0) {
    spoken.insert(spoken.end(), chunk, chunk + got);
  }
  if (pclose(pipe) != 0 || spoken.size() < 48000) return {};
  double sumSq = 0.0;
  for (const float s : spoken) sumSq += static_cast<double>(s) * s;
  const auto scale =
      static_cast<float>(rms / std::sqrt(sumSq / static_cast<double>(spoken.size())));
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i) out[i] = spoken[i % spoken.size()] * scale;
  return out;
}

} // namespace velto::test::aec
