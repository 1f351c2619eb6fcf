#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for the given parts of the build (native, windows, fuzz), with
# apt-get, and only when something is missing.
set -euo pipefail

packages=()
for part in "${@:-native}"; do
    case "$part" in
        native) packages+=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
                           libsamplerate0-dev libspeexdsp-dev) ;;
        windows) packages+=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
                            wine wine64 python3 xvfb x11-apps) ;;
        fuzz) packages+=(cmake ninja-build clang libclang-rt-14-dev) ;;
        *) echo "setup: unknown part $part (native, windows, fuzz)"; exit 2 ;;
    esac
done

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
