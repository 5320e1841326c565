// The bank's filter effects: low cut and four-band EQ, the de-esser's detection band, the glide
// of their parameters, the coefficients (audio-EQ cookbook forms in double precision at 48000 Hz)
// and the EQ response for the curve display.
#include "effects/input_fx.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace velto {

namespace {

constexpr double kRate = 48000.0;
constexpr int kChannels = 2;

struct Section {
  double b0, b1, b2, a1, a2; // normalised by a0
};

constexpr Section kPassThrough{1.0, 0.0, 0.0, 0.0, 0.0};

double omega(double hz) {
  return 2.0 * std::numbers::pi * hz / kRate;
}

Section normalised(double b0, double b1, double b2, double a0, double a1, double a2) {
  return {b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0};
}

Section highPass(double hz, double twoQ) {
  const double w = omega(hz);
  const double c = std::cos(w);
  const double alpha = std::sin(w) / twoQ;
  return normalised((1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0, 1.0 + alpha, -2.0 * c,
                    1.0 - alpha);
}

// Constant 0 dB peak gain, Q 1.
Section bandPass(double hz) {
  const double w = omega(hz);
  const double c = std::cos(w);
  const double alpha = std::sin(w) / 2.0;
  return normalised(alpha, 0.0, -alpha, 1.0 + alpha, -2.0 * c, 1.0 - alpha);
}

Section peaking(double hz, double gainDb, double q) {
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = omega(hz);
  const double c = std::cos(w);
  const double alpha = std::sin(w) / (2.0 * q);
  return normalised(1.0 + alpha * a, -2.0 * c, 1.0 - alpha * a, 1.0 + alpha / a, -2.0 * c,
                    1.0 - alpha / a);
}

// Shelves with slope S = 1, where 2 sqrt(A) alpha = sqrt(A) sin(w) sqrt(2).
Section lowShelf(double hz, double gainDb) {
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = omega(hz);
  const double c = std::cos(w);
  const double k = std::sqrt(a) * std::sin(w) * std::numbers::sqrt2;
  return normalised(a * ((a + 1.0) - (a - 1.0) * c + k), 2.0 * a * ((a - 1.0) - (a + 1.0) * c),
                    a * ((a + 1.0) - (a - 1.0) * c - k), (a + 1.0) + (a - 1.0) * c + k,
                    -2.0 * ((a - 1.0) + (a + 1.0) * c), (a + 1.0) + (a - 1.0) * c - k);
}

Section highShelf(double hz, double gainDb) {
  const double a = std::pow(10.0, gainDb / 40.0);
  const double w = omega(hz);
  const double c = std::cos(w);
  const double k = std::sqrt(a) * std::sin(w) * std::numbers::sqrt2;
  return normalised(a * ((a + 1.0) + (a - 1.0) * c + k), -2.0 * a * ((a - 1.0) + (a + 1.0) * c),
                    a * ((a + 1.0) + (a - 1.0) * c - k), (a + 1.0) - (a - 1.0) * c + k,
                    2.0 * ((a - 1.0) - (a + 1.0) * c), (a + 1.0) - (a - 1.0) * c - k);
}

// The four EQ sections from the ten values in table order.
void eqSections(const float* v, Section out[4]) {
  out[0] = lowShelf(v[0], v[1]);
  out[1] = peaking(v[2], v[3], v[4]);
  out[2] = peaking(v[5], v[6], v[7]);
  out[3] = highShelf(v[8], v[9]);
}

// Both channels get the same sections.
void layOut(const Section* sections, int count, double* coefs) {
  for (int s = 0; s < count; ++s) {
    for (int c = 0; c < kChannels; ++c) {
      double* k = coefs + (s * kChannels + c) * 5;
      k[0] = sections[s].b0;
      k[1] = sections[s].b1;
      k[2] = sections[s].b2;
      k[3] = sections[s].a1;
      k[4] = sections[s].a2;
    }
  }
}

double magnitudeDb(const Section& s, double w) {
  const std::complex<double> z1 = std::polar(1.0, -w); // z^-1
  const std::complex<double> z2 = z1 * z1;
  const std::complex<double> h = (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
  return 20.0 * std::log10(std::abs(h));
}

// One glide step of a smoothed value toward its target; returns the new value.
float glide(float s, float t, const FxParam& p, bool snap) {
  if (!std::isfinite(t)) return s;
  if (snap || p.kind == FxParam::Kind::choice || !std::isfinite(s)) return t;
  if (std::fabs(s - t) < std::max(std::fabs(t), 1.0f) * 0.0001f) return t;
  if (p.kind == FxParam::Kind::log) {
    if (s <= 0.0f || t <= 0.0f) return t;
    return std::exp(std::log(s) + (std::log(t) - std::log(s)) * InputFx::kGlide);
  }
  return s + (t - s) * InputFx::kGlide;
}

} // namespace

void InputFx::updateFilters(bool snap) {
  for (const FxId id : {FxId::lowCut, FxId::eq, FxId::deEsser}) {
    const FxInfo& row = kFx[id];
    bool changed = false;
    for (int i = 0; i < row.paramCount; ++i) {
      const float t = params[id][i].load(std::memory_order_relaxed);
      smoothed[id][i] = glide(smoothed[id][i], t, row.params[i], snap);
      // Any difference counts, a value that is not a number too.
      if (!(smoothed[id][i] == applied[id][i])) changed = true;
    }
    if (!changed) continue;
    std::copy(std::begin(smoothed[id]), std::end(smoothed[id]), std::begin(applied[id]));
    const float* v = applied[id];
    if (id == FxId::lowCut) {
      Section sections[2];
      if (v[1] >= 24.0f) {
        // Fourth-order Butterworth: 24 dB per octave.
        sections[0] = highPass(v[0], 1.0823922);
        sections[1] = highPass(v[0], 2.61312592);
      } else {
        sections[0] = highPass(v[0], 1.41421356);
        sections[1] = kPassThrough;
      }
      layOut(sections, 2, lowCutCoefs);
      lowCutFilter->setCoefficients(lowCutCoefs);
    } else if (id == FxId::eq) {
      Section sections[4];
      eqSections(v, sections);
      layOut(sections, 4, eqCoefs);
      eqFilter->setCoefficients(eqCoefs);
    } else {
      const Section sections[2] = {bandPass(v[0]), kPassThrough};
      layOut(sections, 2, deEsserCoefs);
      deEsserFilter->setCoefficients(deEsserCoefs);
    }
  }
}

void InputFx::lowCut(float* left, float* right, uint32_t frames) {
  const float* in[2] = {left, right};
  float* out[2] = {filterL, filterR};
  lowCutFilter->process(in, out, frames);
  std::copy(filterL, filterL + frames, left);
  std::copy(filterR, filterR + frames, right);
}

void InputFx::eq(float* left, float* right, uint32_t frames) {
  const float* in[2] = {left, right};
  float* out[2] = {filterL, filterR};
  eqFilter->process(in, out, frames);
  std::copy(filterL, filterL + frames, left);
  std::copy(filterR, filterR + frames, right);
}

double InputFx::eqResponseDb(double hz) const {
  float v[kFxMaxParams];
  for (int i = 0; i < kFxMaxParams; ++i) v[i] = params[FxId::eq][i].load();
  Section sections[4];
  eqSections(v, sections);
  const double w = omega(hz);
  double db = 0.0;
  for (const Section& s : sections) db += magnitudeDb(s, w);
  return db;
}

} // namespace velto
