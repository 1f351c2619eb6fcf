#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for the given parts of the build (native, windows, fuzz), with
# apt-get, and only when something is missing.
set -euo pipefail

# Runs a minimal 32-bit x86 Linux program (exit(0) through int 0x80) to learn whether this kernel runs 32-bit
# programs at all (some kernels are built or booted without it).
runs_32_bit_programs() {
    local program
    program=$(mktemp)
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0' >"$program"
    printf '\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\135\0\0\0\135\0\0\0\5\0\0\0\0\20\0\0' >>"$program"
    printf '\270\1\0\0\0\61\333\315\200' >>"$program"
    chmod +x "$program"
    local status=0
    "$program" 2>/dev/null || status=$?
    rm -f "$program"
    return $status
}

add_i386=no
packages=()
for part in "${@:-native}"; do
    case "$part" in
        native) packages+=(cmake ninja-build g++ pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev
                           libsamplerate0-dev libspeexdsp-dev) ;;
        windows) packages+=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64-x86-64
                            g++-mingw-w64-i686-posix binutils-mingw-w64-i686 nsis wine wine64 python3 xvfb x11-apps)
                 # Wine's 32-bit side, for the 32-bit driver's checks, only where the kernel runs 32-bit programs:
                 # elsewhere wine32 would replace the working 64-bit loader by one that cannot start.
                 if runs_32_bit_programs; then
                     dpkg --print-foreign-architectures | grep -qx i386 || add_i386=yes
                     packages+=(wine32:i386)
                 fi ;;
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
    [ "$add_i386" == yes ] && $sudo dpkg --add-architecture i386
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
