#!/usr/bin/env bash
# Configures and builds the tree into a build folder.
# Usage: tools/build.sh BUILD_DIR [extra cmake arguments...]
# CMake's configure output is shown only when configuring fails; the build's output is shown.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
source "$root/tools/quietly.sh"
quietly cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build "$dir" -j"$(nproc)"
