#!/usr/bin/env bash
# Installs what is missing, builds the relay and runs it in the current directory (where
# relay.pem and relay-2.pem are looked for). Arguments go to the relay, e.g. -p 8080.
# Every build option it depends on is given here, so an earlier configuration of build/
# (by tools/test.sh, say) changes nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh" build
bash "$root/tools/build.sh" "$root/build" -DRELAY_TESTS=OFF -DRELAY_BENCH=OFF -DRELAY_FUZZ=OFF \
  -DRELAY_SANITIZE=
exec "$root/build/relay" "$@"
