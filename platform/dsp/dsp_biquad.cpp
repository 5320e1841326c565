// Multichannel biquad cascade of the vector-library stand-in (direct form I, double precision
// state, so a coefficient change keeps the signal history).
#include "platform/dsp/dsp.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace platform::dsp {

namespace {

constexpr double kPassThrough[5] = {1.0, 0.0, 0.0, 0.0, 0.0};

bool allFinite(const double* values, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (!std::isfinite(values[i])) return false;
  }
  return true;
}

} // namespace

BiquadCascade::BiquadCascade(int sections, int channels, const double* coefficients)
    : sections_(std::max(sections, 1)), channels_(std::max(channels, 1)) {
  const size_t sets = static_cast<size_t>(sections_) * static_cast<size_t>(channels_);
  coefficients_.resize(sets * 5);
  state_.assign(sets, State{0.0, 0.0, 0.0, 0.0});
  for (size_t s = 0; s < sets; ++s) {
    const double* source = kPassThrough;
    if (coefficients && allFinite(coefficients + s * 5, 5)) source = coefficients + s * 5;
    std::copy(source, source + 5, coefficients_.begin() + static_cast<std::ptrdiff_t>(s * 5));
  }
}

bool BiquadCascade::setCoefficients(const double* coefficients, int firstSection, int count) {
  if (!coefficients || firstSection < 0 || firstSection >= sections_) return false;
  if (count < 0) count = sections_ - firstSection;
  if (count == 0 || firstSection + count > sections_) return false;
  const size_t values = static_cast<size_t>(count) * static_cast<size_t>(channels_) * 5;
  if (!allFinite(coefficients, values)) return false;
  const size_t offset = static_cast<size_t>(firstSection) * static_cast<size_t>(channels_) * 5;
  std::copy(coefficients, coefficients + values,
            coefficients_.begin() + static_cast<std::ptrdiff_t>(offset));
  return true;
}

void BiquadCascade::reset() {
  std::fill(state_.begin(), state_.end(), State{0.0, 0.0, 0.0, 0.0});
}

void BiquadCascade::process(const float* const* in, float* const* out, uint32_t frames) {
  for (int c = 0; c < channels_; ++c) {
    const float* source = in[c];
    float* target = out[c];
    for (uint32_t i = 0; i < frames; ++i) {
      double x = source[i];
      for (int s = 0; s < sections_; ++s) {
        const size_t set =
            static_cast<size_t>(s) * static_cast<size_t>(channels_) + static_cast<size_t>(c);
        const double* k = &coefficients_[set * 5];
        State& st = state_[set];
        const double y = k[0] * x + k[1] * st.x1 + k[2] * st.x2 - k[3] * st.y1 - k[4] * st.y2;
        st.x2 = st.x1;
        st.x1 = x;
        st.y2 = st.y1;
        st.y1 = y;
        x = y;
      }
      target[i] = static_cast<float>(x);
    }
  }
}

} // namespace platform::dsp
