#!/usr/bin/env bash
# Reads the 32-bit DLL's machine code for the conventions 32-bit hosts call it with: every IASIO method of the
# driver must take its object in ECX and pop its own arguments (thiscall: `ret $N`, N the bytes of its
# arguments), and every IUnknown method must pop the object too (__stdcall). A method built as a plain C function
# would end in a bare `ret` and leave its arguments on the host's stack. This needs no Wine, so it runs even where
# 32-bit programs cannot; the 32-bit probe host checks the same at run time where they can.
#
# usage: tests/windows/x86_conventions.sh DLL [METHOD:BYTES ...]   (default: every IASIO and IUnknown method)
set -euo pipefail
dll=$1
shift
nm=i686-w64-mingw32-nm
objdump=i686-w64-mingw32-objdump

# method: bytes a 32-bit host pushes besides the object (thiscall), or with it (the IUnknown ones, __stdcall).
expected="init:4 getDriverName:4 getDriverVersion:0 getErrorMessage:4 start:0 stop:0 getChannels:8 getLatencies:8
getBufferSize:16 canSampleRate:8 getSampleRate:4 setSampleRate:8 getClockSources:8 setClockSource:4
getSamplePosition:8 getChannelInfo:4 createBuffers:16 disposeBuffers:0 controlPanel:0 future:8 outputReady:0
QueryInterface:12 AddRef:4 Release:4"
[ $# -gt 0 ] && expected="$*"

symbols=$(mktemp)
trap 'rm -f "$symbols"' EXIT
$nm "$dll" >"$symbols"
failures=0
for entry in $expected; do
    method=${entry%%:*}
    bytes=${entry##*:}
    symbol=$(awk -v pattern="^__ZN11CAsioDriver[0-9]+${method}E" '$2 == "T" && $3 ~ pattern { print $3; exit }' "$symbols")
    if [ -z "$symbol" ]; then
        echo "  FAIL  CAsioDriver::$method not found in $dll"
        failures=$((failures + 1))
        continue
    fi
    want="ret"
    [ "$bytes" -ne 0 ] && want=$(printf 'ret $0x%x' "$bytes")
    # Each return of the method, up to the next function (objdump goes on past the symbol's end); a method that
    # only ends in tail calls has none of its own.
    returns=$($objdump -d --no-show-raw-insn "--disassemble=$symbol" "$dll" | awk -F'\t' '/^[0-9a-f]+ </ { ++functions } functions == 1 && $2 ~ /^ret/ { sub(/ +$/, "", $2); print $2 }' | sort -u | tr '\n' ',')
    returns=$(echo "$returns" | tr -s ' ')
    if [ -z "$returns" ] || [ "$returns" == "$want," ]; then
        printf '  ok    CAsioDriver::%s returns with %s\n' "$method" "${returns:-tail calls}"
    else
        printf '  FAIL  CAsioDriver::%s returns with "%s", a 32-bit host expects "%s"\n' "$method" "$returns" "$want"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ]
