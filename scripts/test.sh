#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: once normally, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the thread suites under ThreadSanitizer.
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
    -DVELTO_SANITIZE="$san" -DVELTO_BUILD_BENCH=$bench >/dev/null || { status=1; return; }
  cmake --build "$dir" -j "$jobs" || { status=1; return; }
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
    status=1
  fi
  rm -rf "$home" "$sys" "$log"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_pass normal ""
run_pass asan address
run_pass tsan thread -R 'Threads\.'

echo "total: $passed passed, $failed failed"
exit $status
