#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the unit, integration and
# end-to-end tests through CTest, then the browser test. Every build option it depends on is
# given here, so an earlier configuration of build/ (by tools/run.sh, say) changes nothing;
# a run in which CTest finds no test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh" test browser
bash "$root/tools/build.sh" "$root/build" -DRELAY_TESTS=ON -DRELAY_BENCH=ON -DRELAY_FUZZ=OFF \
  -DRELAY_SANITIZE=
(cd "$root/build" && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 300)
"$root/tests/browser/run" "$root/build/relay"
