// Writes the intro sound: 5.6 s of 48 kHz stereo 16-bit PCM that follows the intro picture — a
// swell while the grid grows, a chime for each ring, a soft noise sweep, a pluck per title letter
// and a fade to silence. Synthesised here, so the build needs no sample from elsewhere.
// Usage: velto_intro_sound <out.wav>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 48000;
constexpr double kLength = 5.6;
constexpr double kPi = 3.14159265358979323846;

double smooth(double u) {
  u = u < 0 ? 0 : (u > 1 ? 1 : u);
  return u * u * (3 - 2 * u);
}

// A bell-like tone: a few inharmonic partials with an exponential decay.
double chime(double t, double f, double decay) {
  if (t < 0) return 0;
  const double env = std::exp(-t / decay) * smooth(t / 0.004);
  return env * (std::sin(2 * kPi * f * t) + 0.4 * std::sin(2 * kPi * f * 2.76 * t) +
                0.2 * std::sin(2 * kPi * f * 5.4 * t));
}

void put32(std::FILE* f, uint32_t v) {
  const unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                              static_cast<unsigned char>(v >> 16),
                              static_cast<unsigned char>(v >> 24)};
  std::fwrite(b, 1, 4, f);
}
void put16(std::FILE* f, uint16_t v) {
  const unsigned char b[2] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8)};
  std::fwrite(b, 1, 2, f);
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <out.wav>\n", argv[0]);
    return 2;
  }
  const int frames = static_cast<int>(kLength * kRate);
  std::vector<int16_t> pcm(static_cast<size_t>(frames) * 2);
  const double ringAt[4] = {1.7, 2.05, 2.27, 2.49};
  const double ringNote[4] = {523.25, 659.25, 783.99, 1046.5};
  uint32_t seed = 0x9e3779b9u;
  double noiseLow = 0;
  for (int i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double fadeOut = 1 - smooth((t - 4.6) / 1.0);
    // Swell: a low fifth rising in level while the grid grows.
    const double swell = smooth((t - 0.25) / 1.45) * (1 - smooth((t - 3.0) / 2.0));
    double mono =
        0.22 * swell * (std::sin(2 * kPi * 130.81 * t) + 0.6 * std::sin(2 * kPi * 196 * t));
    double left = 0, right = 0;
    for (int k = 0; k < 4; ++k) {
      const double c = 0.12 * chime(t - ringAt[k], ringNote[k], 0.7);
      left += c * (1.0 - 0.15 * k);
      right += c * (0.55 + 0.15 * k);
    }
    // Sweep: low-passed noise that pans from left to right.
    seed = seed * 1664525u + 1013904223u;
    const double white = static_cast<double>(seed >> 8) / 8388608.0 - 1.0;
    noiseLow += 0.08 * (white - noiseLow);
    const double sweepEnv = std::exp(-std::pow((t - 3.2) / 0.35, 2));
    const double pan = smooth((t - 2.75) / 0.9);
    left += 0.25 * sweepEnv * noiseLow * (1 - pan);
    right += 0.25 * sweepEnv * noiseLow * pan;
    // Title letters: the first at 2.75 s, the others from 3.55 s, 0.09 s apart.
    for (int l = 0; l < 5; ++l) {
      const double at = l == 0 ? 2.75 : 3.55 + 0.09 * (l - 1);
      mono += 0.1 * chime(t - at, 880.0 * std::pow(2.0, l / 12.0 * 2), 0.35);
    }
    left = (left + mono) * fadeOut;
    right = (right + mono) * fadeOut;
    auto sample = [](double v) {
      v = std::tanh(v) * 32000.0;
      return static_cast<int16_t>(std::lround(v));
    };
    pcm[static_cast<size_t>(i) * 2] = sample(left);
    pcm[static_cast<size_t>(i) * 2 + 1] = sample(right);
  }
  std::FILE* f = std::fopen(argv[1], "wb");
  if (!f) return 1;
  const uint32_t bytes = static_cast<uint32_t>(pcm.size() * 2);
  std::fwrite("RIFF", 1, 4, f);
  put32(f, 36 + bytes);
  std::fwrite("WAVEfmt ", 1, 8, f);
  put32(f, 16);
  put16(f, 1);
  put16(f, 2);
  put32(f, kRate);
  put32(f, kRate * 4);
  put16(f, 4);
  put16(f, 16);
  std::fwrite("data", 1, 4, f);
  put32(f, bytes);
  for (int16_t s : pcm) put16(f, static_cast<uint16_t>(s));
  const bool written = !std::ferror(f);
  return std::fclose(f) == 0 && written ? 0 : 1;
}
