#!/usr/bin/env bash
# Installs what building and testing dorn needs on Debian 12, only where something is missing.
#   scripts/install-deps.sh            the Linux builds
#   scripts/install-deps.sh windows    also the Windows build: MinGW-w64, GoogleTest's sources
#                                      (built for the target) and Wine to run the tests
#   scripts/install-deps.sh fuzz       also the fuzzers: clang with libFuzzer and the sanitizer
#                                      runtimes, and llvm-symbolizer for readable stack traces
#   scripts/install-deps.sh node       also Node.js (the fleet's end-to-end test)
set -euo pipefail

packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          nlohmann-json3-dev libcli11-dev libboost-dev libssl-dev openssl libcpp-httplib-dev procps libsystemd-dev dbus-daemon
          clang-format curl prometheus)
case "${1:-}" in
    windows) packages+=(g++-mingw-w64-x86-64-posix googletest wine curl) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev llvm-14) ;;
    node) packages+=(nodejs) ;;
esac

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
