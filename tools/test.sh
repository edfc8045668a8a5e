#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit, integration and
# end-to-end tests through CTest, then the browser test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh" test
bash "$root/tools/build.sh" "$root/build"
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)" --timeout 300)
if [ -x "$root/tests/browser/run" ]; then
  "$root/tests/browser/run" "$root/build/relay"
fi
