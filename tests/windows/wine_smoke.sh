#!/usr/bin/env bash
# Smoke test of the Windows DLL under Wine: register it as regsvr32 does, check every key and value the
# registration writes, let the Windows build of tessel-rec find and create both classes as a host would, check
# the saved settings, unregister and check that every key is gone.
#
# usage: tests/windows/wine_smoke.sh [BUILD_DIR]   (default build/windows, built with the windows preset)
set -euo pipefail

build=${1:-build/windows}
dll="$build/Tessel-ASIO-x64.dll"
exe="$build/tools/tessel-rec/tessel-rec.exe"
[ -f "$dll" ] && [ -f "$exe" ] || { echo "wine smoke: build the windows preset first ($dll, $exe)"; exit 1; }

export WINEPREFIX=$(mktemp -d /tmp/tessel-wine.XXXXXX)
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION ACTUAL EXPECTED
    if [ "$2" == "$3" ]; then
        printf '  ok    %s = %s\n' "$1" "$2"
    else
        printf '  FAIL  %s = "%s", expected "%s"\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}

# reg query KEY [/v NAME | /ve] -> the data of the value, or <missing>. Always the 64-bit view: where Wine has a
# 32-bit side, `wine reg` is its 32-bit reg.exe, which would read the 32-bit view.
value() {
    local out
    out=$(wine reg query "$@" /reg:64 2>/dev/null | tr -d '\r') || { echo "<missing>"; return; }
    echo "$out" | awk -F'    ' 'NF >= 4 && $3 ~ /^REG_/ { print $4; found = 1; exit } END { if (!found) print "<missing>" }'
}
key_exists() { wine reg query "$1" /reg:64 >/dev/null 2>&1 && echo present || echo absent; }

echo "wine smoke: the DLL's exports, imports and resources"
objdump=x86_64-w64-mingw32-objdump
exports=$($objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && !/Table/ { print $NF }' | tr '\n' ' ')
check "exports" "$exports" "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
imports=$($objdump -p "$dll" | awk '/DLL Name:/ { print tolower($3) }' | sort | tr '\n' ' ')
foreign=$(echo "$imports" | tr ' ' '\n' | grep -v -E '^(advapi32|kernel32|msvcrt|ole32|oleaut32|user32|gdi32|winmm|setupapi|hid|comctl32|shell32|avrt|ksuser)\.dll$' | grep . || true)
check "imports beyond system DLLs ($imports)" "$foreign" ""
check "resources" "$(python3 "$(dirname "$0")/pe_resources.py" "$dll")" "version=1.0.0.0 icons=106"
# The virtual hardware belongs to the test-only DLL (the windows-virtual preset); none of it may reach the product:
# no redirected entry point, no report export (TesselVirtual_Report, which tessel-rec looks for in whatever
# driver module it loads), no configuration variable, no virtual device's name, in any symbol or string.
virtual_text=$( (x86_64-w64-mingw32-objdump -p "$dll"; strings -a "$dll"; strings -a -el "$dll") |
    grep -E -i -o 'TesselVirtual_Report|TesselVirtual_[A-Za-z_]*|TESSEL_VIRTUAL_MACHINE|Tessel Virtual Machine|sim::(devices|os|win)|VirtualMicrophone|VirtualKernel|VirtualPlayback|sim/(devices|win)/' |
    sort -u | tr '\n' ' ' || true)
check "virtual-device symbols or text in the product DLL" "$virtual_text" ""

echo "wine smoke: creating a prefix in $WINEPREFIX"
wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 || true
dir="$WINEPREFIX/drive_c/Program Files/Tessel"
mkdir -p "$dir"
cp "$dll" "$exe" "$dir/"
module='C:\Program Files\Tessel\Tessel-ASIO-x64.dll'
lower_module='c:\program files\tessel\tessel-asio-x64.dll'

integer_clsid='{CF683376-4DD8-4F2E-93C8-ADBD68AE84C4}'
float_clsid='{2A9B7DA3-7510-4BD2-9840-869A34EDF21D}'

echo "wine smoke: regsvr32"
wine regsvr32 /s "$module"
check "regsvr32 exit code" "$?" "0"

echo "wine smoke: registry layout after registration"
for class in "integer $integer_clsid Tessel" "float $float_clsid Tessel (Float)"; do
    read -r kind clsid description <<<"$class"
    asio_key="HKLM\\SOFTWARE\\ASIO\\$( [ "$kind" == integer ] && echo "Tessel ASIO Driver" || echo "Tessel (Float) ASIO Driver")"
    check "HKCR\\CLSID\\$clsid (default)" "$(value "HKCR\\CLSID\\$clsid" /ve)" "$description"
    check "HKCR\\CLSID\\$clsid\\InprocServer32 (default)" "$(value "HKCR\\CLSID\\$clsid\\InprocServer32" /ve)" "$lower_module"
    check "HKCR\\CLSID\\$clsid\\InprocServer32 ThreadingModel" "$(value "HKCR\\CLSID\\$clsid\\InprocServer32" /v ThreadingModel)" "Apartment"
    check "$asio_key CLSID" "$(value "$asio_key" /v CLSID)" "$clsid"
    check "$asio_key Description" "$(value "$asio_key" /v Description)" "$description"
done

echo "wine smoke: tessel-rec (the Windows build, through COM)"
output=$(cd "$dir" && wine tessel-rec.exe --list | tr -d '\r') || true
echo "$output" | sed 's/^/    /'
check "drivers created" "$(echo "$output" | grep -c '^  name: Tessel$')" "2"
check "init results" "$(echo "$output" | grep -c '^  init: 0 (ASIO Driver open Failure!)$')" "2"
check "channel answers" "$(echo "$output" | grep -c '^  channels: 0 in, 2 out$')" "2"
check "buffer size answers" "$(echo "$output" | grep -c '^  buffer sizes: min 144, max 1152, preferred 288, granularity 144$')" "2"
check "rate answers" "$(echo "$output" | grep -c '^  can do: 44100 no, 48000 yes, 96000 yes, 192000 yes$')" "2"

echo "wine smoke: settings saved by the driver"
settings='HKCU\SOFTWARE\Korvel\Tessel ASIO\1.00'
check "Modeless Control Panel" "$(value "$settings" /v "Modeless Control Panel")" "0x0"
check "Auto-open Control Panel" "$(value "$settings" /v "Auto-open Control Panel")" "0x0"
check "Buffer Size Preferred" "$(value "$settings" /v "Buffer Size Preferred")" "0x120"
check "Output Device present" "$(wine reg query "$settings" /v "Output Device" /reg:64 2>/dev/null | tr -d '\r' | grep -c 'Output Device    REG_SZ')" "1"
check "Show Metrics never written" "$(value "$settings" /v "Show Metrics")" "<missing>"

echo "wine smoke: regsvr32 /u"
wine regsvr32 /u /s "$module"
check "regsvr32 /u exit code" "$?" "0"
for key in "HKCR\\CLSID\\$integer_clsid" "HKCR\\CLSID\\$float_clsid" \
           "HKLM\\SOFTWARE\\ASIO\\Tessel ASIO Driver" "HKLM\\SOFTWARE\\ASIO\\Tessel (Float) ASIO Driver"; do
    check "$key" "$(key_exists "$key")" "absent"
done

if [ "$failures" -ne 0 ]; then
    echo "wine smoke: $failures check(s) failed"
    exit 1
fi
echo "wine smoke: all checks passed"
