// FFT speed side by side: the vector library's packed real FFT and the fixed 512-point complex
// FFT against Debian's fftw3 (single precision, FFTW_MEASURE plans) at the sizes the effects use:
// 256 (echo canceller), 512 (noise filter, complex) and 2048 (feedback analysis).
#include "effects/fft.h"
#include "platform/dsp/dsp.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace {

std::vector<float> noise(size_t n) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& s : v) s = u(rng);
  return v;
}

void BM_FftOursReal(benchmark::State& state) {
  const auto n = static_cast<uint32_t>(state.range(0));
  const int log2n = static_cast<int>(std::lround(std::log2(n)));
  platform::dsp::FftSetup setup(log2n);
  const auto input = noise(n);
  std::vector<float> re(n / 2), im(n / 2);
  for (auto _ : state) {
    platform::dsp::ctoz(input.data(), {re.data(), im.data()}, n / 2);
    setup.realInPlace({re.data(), im.data()}, log2n, platform::dsp::FftDirection::forward);
    benchmark::DoNotOptimize(re.data());
    benchmark::DoNotOptimize(im.data());
  }
}
BENCHMARK(BM_FftOursReal)->Arg(256)->Arg(512)->Arg(2048);

void BM_FftFftwReal(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  float* in = fftwf_alloc_real(static_cast<size_t>(n));
  fftwf_complex* out = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
  fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
  const auto input = noise(static_cast<size_t>(n));
  for (auto _ : state) {
    std::copy(input.begin(), input.end(), in);
    fftwf_execute(plan);
    benchmark::DoNotOptimize(out);
  }
  fftwf_destroy_plan(plan);
  fftwf_free(out);
  fftwf_free(in);
}
BENCHMARK(BM_FftFftwReal)->Arg(256)->Arg(512)->Arg(2048);

void BM_FftOursFixedComplex512(benchmark::State& state) {
  const velto::FixedFft fft;
  const auto input = noise(2 * velto::FixedFft::kSize);
  std::vector<std::complex<float>> data(velto::FixedFft::kSize);
  for (auto _ : state) {
    for (int i = 0; i < velto::FixedFft::kSize; ++i) data[i] = {input[2 * i], input[2 * i + 1]};
    fft.run(data.data(), false);
    benchmark::DoNotOptimize(data.data());
  }
}
BENCHMARK(BM_FftOursFixedComplex512);

void BM_FftFftwComplex512(benchmark::State& state) {
  constexpr int n = 512;
  fftwf_complex* data = fftwf_alloc_complex(n);
  fftwf_plan plan = fftwf_plan_dft_1d(n, data, data, FFTW_FORWARD, FFTW_MEASURE);
  const auto input = noise(2 * n);
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) data[i][0] = input[2 * i], data[i][1] = input[2 * i + 1];
    fftwf_execute(plan);
    benchmark::DoNotOptimize(data);
  }
  fftwf_destroy_plan(plan);
  fftwf_free(data);
}
BENCHMARK(BM_FftFftwComplex512);

} // namespace
