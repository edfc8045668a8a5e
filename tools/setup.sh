#!/usr/bin/env bash
# Installs the Debian packages that building and testing the relay need, when missing.
# Usage: tools/setup.sh [build|test|bench|browser|fuzz]...   (default: build)
# Runs as root, or through sudo. apt-get's output is kept quiet while it succeeds and shown
# in full when a step fails.
set -euo pipefail

build_pkgs=(g++ make cmake libssl-dev openssl)
test_pkgs=(libgtest-dev libgmock-dev python3 python3-websockets libbenchmark-dev nodejs node-undici)
bench_pkgs=(libbenchmark-dev ncat nodejs node-ws linux-perf openssl iproute2)
browser_pkgs=(chromium chromium-driver python3 python3-selenium openssl iproute2)
fuzz_pkgs=(clang libclang-rt-14-dev)

want=()
for kind in "${@:-build}"; do
  case "$kind" in
    build) want+=("${build_pkgs[@]}") ;;
    test) want+=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
    bench) want+=("${bench_pkgs[@]}") ;;
    browser) want+=("${browser_pkgs[@]}") ;;
    fuzz) want+=("${fuzz_pkgs[@]}") ;;
    *) echo "setup.sh: unknown kind '$kind'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  [[ " ${missing[*]-} " == *" $p "* ]] && continue
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup.sh: missing packages: ${missing[*]}" >&2
    echo "setup.sh: run this command as root (su -c '...'), or install sudo first" >&2
    exit 1
  fi
  sudo=(sudo)
fi

source "$(dirname "$0")/quietly.sh"

echo "setup.sh: installing ${missing[*]}"
apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
quietly "${apt[@]}" update
quietly "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
