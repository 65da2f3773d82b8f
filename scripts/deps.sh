#!/bin/bash
# Installs the Debian 12 packages the build needs: "native" for the Linux program and its
# tests, "all" for every suite (adds the MinGW cross compilers, Wine, the locales the Wine tests
# generate, msitools' wixl for the Windows installer and clang's fuzzer).
set -euo pipefail
what=${1:-all}
native=(g++ cmake ninja-build pkgconf git libgtest-dev libgmock-dev googletest libbenchmark-dev
        qt6-base-dev libcli11-dev zlib1g-dev libmosquitto-dev mosquitto mosquitto-clients
        dpkg-dev file desktop-file-utils appstream man-db groff-base lintian doxygen python3
        bash-completion zsh fish
        python3-pytest python3-setuptools python3-pip
        clang-format-14 clang-tidy-14)
cross=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 wixl msitools locales clang-14 libclang-rt-14-dev)
pkgs=("${native[@]}")
[ "$what" = all ] && pkgs+=("${cross[@]}")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
