// Drum tracks and beatless sounds for judging the beat analysis, made from a set of timbres so
// that the tests and the tempo bench can play the same patterns on different instruments.
// Mono, 48000 Hz, no test framework needed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velto::kits {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = 48000;

// Kinds of drum track; each names its beat (the tempo it must read at).
enum class Kit {
  ride,      // kick on 1 and 3, snare on 2 and 4, ride on every quarter
  rideKick,  // the same with the kick on every beat
  eighthHat, // kick on 1 and 3, snare on 2 and 4, closed hat on every eighth
  floor,     // kick on every beat, open hat on the off-beats
  bass,      // syncopated bass line (3 + 3 + 2 eighths), kick on 1, snare on 2 and 4
};

inline const char* kitName(Kit kit) {
  switch (kit) {
  case Kit::ride:
    return "ride";
  case Kit::rideKick:
    return "ride+kick";
  case Kit::eighthHat:
    return "eighth-hat";
  case Kit::floor:
    return "floor";
  case Kit::bass:
    return "bass";
  }
  return "?";
}

struct Timbre {
  uint32_t seed = 1;
  // Kick: a sine whose pitch falls from `kickHigh` to `kickLow` Hz with time constant `kickSweep`.
  double kickHigh = 160, kickLow = 48, kickSweep = 0.03, kickDecay = 0.12, kickLevel = 0.7;
  double kickClick = 0.0; // level of a short noise click at the start
  // Snare: noise through a band-pass at `snareCentre` Hz, plus an optional tone body.
  double snareCentre = 1800, snareQ = 0.8, snareDecay = 0.10, snareLevel = 0.5;
  double snareTone = 0.0, snareToneHz = 185;
  // Ride: inharmonic partials, a long ring.
  std::vector<double> ridePartials = {3127, 4351, 5233, 6679, 7818, 9023};
  double rideDecay = 0.45, rideLevel = 0.10;
  // Hats: high-passed noise, or (hatSquares) six square waves at inharmonic ratios.
  double hatCutoff = 7000, hatClosedDecay = 0.025, hatOpenDecay = 0.16, hatLevel = 0.18;
  bool hatSquares = false;
  // Bass: `bassHarmonics` sawtooth harmonics.
  int bassHarmonics = 6;
  double bassLevel = 0.35, bassDecay = 0.35;
  double noiseFloor = 0.002;
};

// Second-order filter (RBJ cookbook), direct form I.
struct Biquad {
  double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  static Biquad make(bool highPass, bool bandPass, double hz, double q) {
    const double w = 2 * kPi * hz / kRate, alpha = std::sin(w) / (2 * q), c = std::cos(w);
    const double a0 = 1 + alpha;
    Biquad f;
    if (bandPass) {
      f.b0 = alpha / a0, f.b1 = 0, f.b2 = -alpha / a0;
    } else if (highPass) {
      f.b0 = (1 + c) / 2 / a0, f.b1 = -(1 + c) / a0, f.b2 = (1 + c) / 2 / a0;
    } else {
      f.b0 = (1 - c) / 2 / a0, f.b1 = (1 - c) / a0, f.b2 = (1 - c) / 2 / a0;
    }
    f.a1 = -2 * c / a0, f.a2 = (1 - alpha) / a0;
    return f;
  }
  double operator()(double x) {
    double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1, x1 = x, y2 = y1, y1 = y;
    return y;
  }
};

// Plays the instruments into a track. Each drum sound is made once (the noisy ones in four
// takes, used in turn) and mixed in at every hit.
class KitPlayer {
public:
  KitPlayer(const Timbre& timbre, double seconds)
      : t_(timbre), out_(size_t(seconds * kRate)), random_(timbre.seed) {
    // A cheap uniform noise of the floor's RMS.
    uint32_t state = timbre.seed * 2654435761u + 1u;
    for (float& x : out_) {
      state ^= state << 13, state ^= state >> 17, state ^= state << 5;
      x = float(t_.noiseFloor * std::sqrt(3.0) * (double(state) / 2147483648.0 - 1.0));
    }
  }

  void kick(double at, double level = 1.0) {
    if (kick_.empty()) {
      double phase = 0.0;
      std::normal_distribution<double> noise(0.0, 1.0);
      kick_ = render(6 * t_.kickDecay, [&](double s) {
        double hz = t_.kickLow + (t_.kickHigh - t_.kickLow) * std::exp(-s / t_.kickSweep);
        phase += 2 * kPi * hz / kRate;
        double click = s < 0.004 ? t_.kickClick * noise(random_) * (1 - s / 0.004) : 0.0;
        return t_.kickLevel * envelope(s, 0.002, t_.kickDecay) * std::sin(phase) + click;
      });
    }
    mix(at, kick_, level);
  }

  void snare(double at, double level = 1.0) {
    std::vector<float>& take = snares_[snareTake_++ % kTakes];
    if (take.empty()) {
      Biquad band = Biquad::make(false, true, t_.snareCentre, t_.snareQ);
      std::normal_distribution<double> noise(0.0, 1.0);
      take = render(6 * t_.snareDecay, [&](double s) {
        double body = t_.snareTone * std::sin(2 * kPi * t_.snareToneHz * s) * std::exp(-s / 0.05);
        return t_.snareLevel * envelope(s, 0.001, t_.snareDecay) *
               (3.0 * band(noise(random_)) + body);
      });
    }
    mix(at, take, level);
  }

  void ride(double at) {
    if (ride_.empty()) {
      ride_ = render(5 * t_.rideDecay, [&](double s) {
        double x = 0;
        for (size_t k = 0; k < t_.ridePartials.size(); ++k) {
          x += std::sin(2 * kPi * t_.ridePartials[k] * s + double(k)) / (1.0 + 0.3 * double(k));
        }
        return t_.rideLevel * envelope(s, 0.0005, t_.rideDecay) * x;
      });
    }
    mix(at, ride_, 1.0);
  }

  void hat(double at, bool open) {
    std::vector<float>* takes = open ? openHats_ : closedHats_;
    std::vector<float>& take = takes[hatTake_ % kTakes];
    ++hatTake_;
    if (take.empty()) {
      Biquad high = Biquad::make(true, false, t_.hatCutoff, 0.7);
      std::normal_distribution<double> noise(0.0, 1.0);
      const double decay = open ? t_.hatOpenDecay : t_.hatClosedDecay;
      take = render(6 * decay, [&](double s) {
        double x = 0;
        if (t_.hatSquares) {
          for (double hz : {205.3, 304.4, 369.6, 522.7, 540.0, 800.0}) {
            x += std::sin(2 * kPi * hz * s) >= 0 ? 0.3 : -0.3;
          }
        } else {
          x = noise(random_);
        }
        return t_.hatLevel * envelope(s, 0.0005, decay) * high(x);
      });
    }
    mix(at, take, 1.0);
  }

  void bassNote(double at, double length, double hz) {
    Biquad low = Biquad::make(false, false, 600, 0.7);
    mix(at,
        render(length,
               [&](double s) {
                 double x = 0;
                 for (int h = 1; h <= t_.bassHarmonics; ++h) {
                   x += std::sin(2 * kPi * h * hz * s) / h;
                 }
                 double release = s > length - 0.02 ? (length - s) / 0.02 : 1.0;
                 return t_.bassLevel * envelope(s, 0.004, t_.bassDecay) * release * low(x);
               }),
        1.0);
  }

  std::vector<float> take() { return std::move(out_); }

private:
  static constexpr size_t kTakes = 4;

  static double envelope(double s, double attack, double decay) {
    return s < attack ? s / attack : std::exp(-(s - attack) / decay);
  }
  template <typename Source>
  static std::vector<float> render(double length, Source source) {
    std::vector<float> sound(size_t(length * kRate));
    for (size_t j = 0; j < sound.size(); ++j) sound[j] = float(source(double(j) / kRate));
    return sound;
  }
  void mix(double at, const std::vector<float>& sound, double level) {
    size_t start = size_t(std::lround(at * kRate));
    for (size_t j = 0; j < sound.size() && start + j < out_.size(); ++j) {
      out_[start + j] += float(level * sound[j]);
    }
  }

  Timbre t_;
  std::vector<float> out_;
  std::mt19937 random_;
  std::vector<float> kick_, ride_;
  std::vector<float> snares_[kTakes], closedHats_[kTakes], openHats_[kTakes];
  size_t snareTake_ = 0, hatTake_ = 0;
};

// A drum track of `kit` at `bpm` from `firstBeat` s on; the off-beat eighths sit at `offbeat` of
// the beat (0.5 straight, 2/3 swung). `fills` adds what drummers add: a kick on the "and" of 3
// every other bar, a ghost snare now and then.
inline std::vector<float> drumTrack(Kit kit, double bpm, double offbeat, double seconds,
                                    const Timbre& timbre, double firstBeat = 0.25,
                                    bool fills = true) {
  KitPlayer play(timbre, seconds);
  const double beat = 60.0 / bpm;
  const double bassNotes[] = {55.0, 55.0, 65.4, 49.0, 73.4, 61.7, 55.0, 82.4};
  for (int k = 0; firstBeat + k * beat < seconds; ++k) {
    const double on = firstBeat + k * beat, off = on + offbeat * beat;
    const int inBar = k % 4, bar = k / 4;
    const bool backbeat = inBar == 1 || inBar == 3;
    switch (kit) {
    case Kit::ride:
    case Kit::rideKick:
      if (!backbeat || kit == Kit::rideKick) play.kick(on);
      if (backbeat) play.snare(on);
      play.ride(on);
      if (fills && inBar == 2 && bar % 2 == 1) play.kick(off, 0.7);
      break;
    case Kit::eighthHat:
      if (!backbeat) play.kick(on);
      if (backbeat) play.snare(on);
      play.hat(on, false);
      play.hat(off, false);
      if (fills && inBar == 2 && bar % 2 == 1) play.kick(off, 0.7);
      break;
    case Kit::floor:
      play.kick(on);
      play.hat(off, true);
      break;
    case Kit::bass: {
      // Eighths 0, 3 and 6 of the bar (3 + 3 + 2), and 7 every other bar.
      const double note = bassNotes[bar % 8];
      if (inBar == 0) {
        play.kick(on);
        play.bassNote(on, 1.3 * beat, note);
      }
      if (inBar == 1) play.bassNote(off, 1.3 * beat, note * 1.5);
      if (inBar == 3) {
        play.bassNote(on, offbeat * beat, note * 1.335);
        if (bar % 2 == 1) play.bassNote(off, (1 - offbeat) * beat, note);
      }
      if (backbeat) play.snare(on);
      if (fills && inBar == 2 && bar % 3 == 2) play.snare(off, 0.25);
      break;
    }
    }
  }
  return play.take();
}

// Beatless sounds.
enum class Still { chords, vibrato, tremolo, white, pink };

inline const char* stillName(Still still) {
  switch (still) {
  case Still::chords:
    return "held chords";
  case Still::vibrato:
    return "chords, vibrato";
  case Still::tremolo:
    return "chords, tremolo";
  case Still::white:
    return "white noise";
  case Still::pink:
    return "pink noise";
  }
  return "?";
}

struct StillVoicing {
  uint32_t seed = 3;
  double chordSeconds = 4.0; // a held chord changes this often, crossfaded
  double vibratoHz = 5.0, vibratoDepth = 0.002;
  double tremoloHz = 5.0, tremoloDepth = 0.3;
  std::vector<double> roots = {130.8, 174.6, 146.8, 196.0, 110.0, 164.8};
  int harmonics = 12;
  double rolloff = 1.0; // harmonic h at 1 / h^rolloff
};

// A pad of held four-note chords (with a slow attack), or noise, at about -14 dBFS.
inline std::vector<float> stillSound(Still kind, double seconds, const StillVoicing& v) {
  std::vector<float> out(size_t(seconds * kRate));
  std::mt19937 random(v.seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  if (kind == Still::white || kind == Still::pink) {
    // Pink by Kellet's three-pole approximation.
    double b0 = 0, b1 = 0, b2 = 0;
    for (float& x : out) {
      double w = noise(random);
      if (kind == Still::white) {
        x = float(0.1 * w);
        continue;
      }
      b0 = 0.99765 * b0 + w * 0.0990460;
      b1 = 0.96300 * b1 + w * 0.2965164;
      b2 = 0.57000 * b2 + w * 1.0526913;
      x = float(0.06 * (b0 + b1 + b2 + w * 0.1848));
    }
    return out;
  }
  const double fade = 0.8;
  const double ratios[] = {1.0, 1.26, 1.5, 2.0};
  for (size_t c = 0; c * v.chordSeconds < seconds; ++c) {
    const double start = double(c) * v.chordSeconds, root = v.roots[c % v.roots.size()];
    const double length = v.chordSeconds + fade;
    std::vector<double> phase(4 * size_t(v.harmonics), 0.0);
    std::vector<double> weight(size_t(v.harmonics) + 1);
    for (int h = 1; h <= v.harmonics; ++h) weight[size_t(h)] = std::pow(h, -v.rolloff);
    const size_t from = size_t(start * kRate);
    for (size_t j = 0; j < size_t(length * kRate) && from + j < out.size(); ++j) {
      const double s = double(j) / kRate, t = start + s;
      double gain = std::min({1.0, s / fade, (length - s) / fade});
      double bend = 1.0;
      if (kind == Still::vibrato) bend += v.vibratoDepth * std::sin(2 * kPi * v.vibratoHz * t);
      if (kind == Still::tremolo) {
        gain *= 1.0 - v.tremoloDepth * (0.5 + 0.5 * std::sin(2 * kPi * v.tremoloHz * t));
      }
      double x = 0.0;
      for (int n = 0; n < 4; ++n) {
        for (int h = 1; h <= v.harmonics; ++h) {
          double& p = phase[size_t(n * v.harmonics + h - 1)];
          p += 2 * kPi * root * ratios[n] * h * bend / kRate;
          x += std::sin(p) * weight[size_t(h)];
        }
      }
      out[from + j] += float(0.03 * gain * x);
    }
  }
  return out;
}

} // namespace velto::kits
