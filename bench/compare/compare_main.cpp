// Entry of the comparison benchmarks (echo cancellation, pitch shifting, FFT).
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
