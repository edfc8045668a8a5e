#!/usr/bin/env bash
# Installs the Debian packages that building and testing the relay need, when missing.
# Usage: tools/setup.sh [build|test|bench|browser|fuzz]...   (default: build)
set -euo pipefail

build_pkgs=(g++ make cmake libssl-dev openssl)
test_pkgs=(libgtest-dev libgmock-dev python3 python3-websockets)
bench_pkgs=(libbenchmark-dev ncat nodejs node-ws linux-perf)
browser_pkgs=(chromium nodejs npm)
fuzz_pkgs=(clang libclang-rt-14-dev)

want=()
for kind in "${@:-build}"; do
  case "$kind" in
    build) want+=("${build_pkgs[@]}") ;;
    test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}" libbenchmark-dev) ;;
    bench) want+=("${bench_pkgs[@]}") ;;
    browser) want+=("${browser_pkgs[@]}") ;;
    fuzz) want+=("${fuzz_pkgs[@]}") ;;
    *) echo "setup.sh: unknown kind '$kind'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
