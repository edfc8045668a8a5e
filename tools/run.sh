#!/usr/bin/env bash
# Installs what is missing, builds the relay and runs it in the current directory (where
# relay.pem and relay-2.pem are looked for). Arguments go to the relay, e.g. -p 8080.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/tools/setup.sh" build
bash "$root/tools/build.sh" "$root/build" -DRELAY_BENCH=OFF -DRELAY_TESTS=OFF
exec "$root/build/relay" "$@"
