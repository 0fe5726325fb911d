#!/usr/bin/env bash
# Sanitizer and fuzz stages of the test command (each in its own build folder):
#   asan  the whole test suite with AddressSanitizer + UndefinedBehaviorSanitizer (build/asan)
#   tsan  the serial and receive-path tests (tests/serial) with ThreadSanitizer (build/tsan)
#   fuzz  every libFuzzer target on its seeds plus a few seconds of fuzzing (build/fuzz, clang)
#   scripts/sanitize.sh [asan] [tsan] [fuzz]     (no argument: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(asan tsan fuzz)
for s in "${stages[@]}"; do
  echo "=== sanitizer stage: $s" >&2
  case $s in
    asan)
      cmake --preset asan >/dev/null
      cmake --build --preset asan
      ctest --preset asan -j2
      ;;
    tsan)
      cmake --preset tsan >/dev/null
      cmake --build --preset tsan
      TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
        ctest --test-dir build/tsan/tests/serial -j2 --output-on-failure --timeout 600
      ;;
    fuzz)
      cmake --preset fuzz >/dev/null
      cmake --build --preset fuzz
      ctest --preset fuzz -j2
      ;;
    *) echo "unknown stage: $s (asan, tsan or fuzz)" >&2; exit 2 ;;
  esac
done
