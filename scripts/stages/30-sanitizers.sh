#!/usr/bin/env bash
# The unit and integration tests again, built with AddressSanitizer +
# UndefinedBehaviorSanitizer, then with ThreadSanitizer. Any report fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
for preset in asan tsan; do
  echo "--- $preset ---"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  # The soak runs once, in the native stage; under the sanitizers it would
  # only be slower.
  ctest --preset "$preset" -LE soak
done
