#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once normally, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, the thread suites under ThreadSanitizer, and
# then every fuzz program (clang, libFuzzer) for a bounded time each. Every build here treats
# warnings as errors; the Release configuration is built once as well.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" || exit 1

jobs=$(nproc)
passed=0
failed=0
status=0

# run_pass <name> <sanitizer> <ctest filter...>
run_pass() {
  local name=$1 san=$2
  shift 2
  local dir="$root/build/$name"
  local bench=ON
  [ -n "$san" ] && bench=OFF
  echo "== $name: configure and build"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTO_SANITIZE="$san" -DVELTO_BUILD_BENCH=$bench -DVELTO_WERROR=ON >/dev/null ||
    { status=1 failed=$((failed + 1)); echo "== $name: configure FAILED"; return; }
  cmake --build "$dir" -j "$jobs" ||
    { status=1 failed=$((failed + 1)); echo "== $name: build FAILED"; return; }
  echo "== $name: tests"
  local home sys log
  home=$(mktemp -d) sys=$(mktemp -d) log=$(mktemp)
  HOME="$home" VELTO_SYSTEM_ROOT="$sys" ctest --test-dir "$dir" -j "$jobs" --output-on-failure \
    --timeout 900 "$@" 2>&1 | tee "$log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
  else
    # No summary: the run itself broke off, which counts as a failure of its own.
    status=1 failed=$((failed + 1))
  fi
  rm -rf "$home" "$sys" "$log"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp

# The optimised configuration a user builds, warnings as errors; built, not run.
run_release() {
  local dir="$root/build/release"
  echo "== release: configure and build"
  if cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTO_BUILD_BENCH=OFF \
    -DVELTO_WERROR=ON >/dev/null && cmake --build "$dir" -j "$jobs"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1)) status=1
  fi
}

run_pass normal ""
run_release
run_pass asan address
run_pass tsan thread -R 'Threads\.'

# Each fuzz program runs from its seed corpus for VELTO_FUZZ_SECONDS (all at once); one that
# finds a crash, leak, time-out or sanitizer report counts as failed and shows its log.
run_fuzz() {
  local dir="$root/build/fuzz" seconds=${VELTO_FUZZ_SECONDS:-60}
  echo "== fuzz: configure and build"
  CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELTO_SANITIZE=fuzzer -DVELTO_BUILD_FUZZ=ON -DVELTO_BUILD_BENCH=OFF -DVELTO_WERROR=ON \
    >/dev/null || { status=1 failed=$((failed + 1)); echo "== fuzz: configure FAILED"; return; }
  cmake --build "$dir" -j "$jobs" --target velto_fuzz ||
    { status=1 failed=$((failed + 1)); echo "== fuzz: build FAILED"; return; }
  echo "== fuzz: ${seconds} s each"
  local work names=() pids=() prog name i extra
  work=$(mktemp -d)
  for prog in "$dir"/fuzz/fuzz_*; do
    name=${prog##*/fuzz_}
    mkdir -p "$work/$name/corpus" "$work/$name/home" "$work/$name/sys"
    cp -r "$root/fuzz/corpus/$name/." "$work/$name/corpus/" 2>/dev/null
    # The HTTP reader needs inputs past its 64 KiB head limit. A hostile sound file may keep a
    # decoder growing its buffer through a few MiB: the sanitizer's allocator copies and maps
    # at every step, which costs ten times the product's 0.6 s, so those get a longer time-out.
    extra=(-timeout=10)
    [ "$name" = http_request ] && extra=(-timeout=10 -max_len=140000)
    case $name in audio_file | media) extra=(-timeout=30) ;; esac
    (cd "$work/$name" && HOME="$work/$name/home" VELTO_SYSTEM_ROOT="$work/$name/sys" \
      "$prog" -max_total_time="$seconds" -rss_limit_mb=4096 "${extra[@]}" \
      -artifact_prefix="$work/$name/" corpus >log 2>&1) &
    names+=("$name") pids+=($!)
  done
  for i in "${!pids[@]}"; do
    name=${names[$i]}
    if wait "${pids[$i]}"; then
      passed=$((passed + 1))
      echo "fuzz $name: $(grep -E '^Done [0-9]+ runs' "$work/$name/log")"
    else
      failed=$((failed + 1)) status=1
      echo "fuzz $name: FAILED"
      tail -n 60 "$work/$name/log"
    fi
  done
  rm -rf "$work"
}

if command -v clang++ >/dev/null; then run_fuzz; else status=1 failed=$((failed + 1)); echo "fuzz: clang++ missing"; fi

echo "total: $passed passed, $failed failed"
exit $status
