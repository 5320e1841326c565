// Requests per second of the command interpreter: the whole root object, and a gain write that
// answers with its strip object. Engine without devices (not live), on the main thread.
#include "api/api.h"
#include "engine/engine.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

void setUpEnvironment() {
  // Never the real machine's folders: the engine reads HOME, the audio layer the system root.
  static char home[] = "/tmp/velto-api-bench-XXXXXX";
  static char root[] = "/tmp/velto-api-bench-root-XXXXXX";
  static bool done = false;
  if (done) return;
  done = true;
  if (mkdtemp(home) != nullptr) setenv("HOME", home, 1);
  if (mkdtemp(root) != nullptr) setenv("VELTO_SYSTEM_ROOT", root, 1);
}

void rootRead(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  velto::Api api(engine);
  size_t bytes = 0;
  for (auto _ : state) {
    velto::HttpResponse r = api.handle("GET", "/", "");
    bytes += r.body.size();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes/reply"] =
      benchmark::Counter(static_cast<double>(bytes) / static_cast<double>(state.iterations()));
}
BENCHMARK(rootRead);

void gainWrite(benchmark::State& state) {
  setUpEnvironment();
  velto::Engine engine(false);
  velto::Api api(engine);
  const std::string levels[2] = {"-6", "-12.5"};
  int n = 0;
  for (auto _ : state) {
    velto::HttpResponse r = api.handle("POST", "/hardware/outputs/1/gain", levels[n ^= 1]);
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(gainWrite);

} // namespace

BENCHMARK_MAIN();
