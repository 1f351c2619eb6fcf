#!/usr/bin/env bash
# Checks the installer under Wine, in one fresh 64-bit prefix: a silent install; both drivers listed (the 64-bit
# keys in the 64-bit registry view, the 32-bit keys in the 32-bit view) and created through COM by the probe host
# of each bitness; a second install over the first; a silent uninstall that leaves nothing but the user's
# settings; an uninstall after the DLLs were deleted by hand; and an installer whose DLL cannot be registered,
# which must fail with exit code 2 and leave nothing behind.
#
# Where the prefix has no 32-bit side (no wine32, or a kernel that runs no 32-bit programs) the 32-bit checks are
# reported as skipped and the installer is expected to install the 64-bit driver alone.
#
# usage: tests/windows/installer_check.sh [BUILD_DIR] [X86_BUILD_DIR]
#        (defaults build/windows and build/windows-x86, after cmake --build --preset installer)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:-build/windows}" && pwd)
build86=$(cd "${2:-build/windows-x86}" && pwd)
setup=$(ls "$build"/Tessel-ASIO-Setup-*.exe 2>/dev/null | head -n 1 || true)
probe64="$build/tests/windows/asio-probe-x64.exe"
probe86="$build86/tests/windows/asio-probe-x86.exe"
reg_dump="$build/tests/windows/reg-dump.exe"
for file in "$setup" "$probe64" "$probe86" "$reg_dump" "$build/Tessel-ASIO-x64.dll" "$build86/Tessel-ASIO-x86.dll"; do
    [ -n "$file" ] && [ -f "$file" ] || { echo "installer check: build the installer first (cmake --build --preset installer)"; exit 1; }
done
version=$(basename "$setup" .exe)
version=${version#Tessel-ASIO-Setup-}

export WINEPREFIX=$(mktemp -d /tmp/tessel-installer.XXXXXX)
export WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() { timeout 30 wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT

# Every Wine call is bounded: a dialog nobody answers must fail the check, not hang CI.
w() { timeout 120 wine "$@"; }

failures=0
skipped=0
check() {  # check DESCRIPTION ACTUAL EXPECTED
    if [ "$2" == "$3" ]; then
        printf '  ok    %s = %s\n' "$1" "$2"
    else
        printf '  FAIL  %s = "%s", expected "%s"\n' "$1" "$2" "$3"
        failures=$((failures + 1))
    fi
}
skip() { printf '  skip  %s\n' "$1"; skipped=$((skipped + 1)); }

program_files="$WINEPREFIX/drive_c/Program Files/Tessel"
dir='C:\Program Files\Tessel'
integer_clsid='{CF683376-4DD8-4F2E-93C8-ADBD68AE84C4}'
float_clsid='{2A9B7DA3-7510-4BD2-9840-869A34EDF21D}'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tessel ASIO Driver'
settings_key='HKCU\SOFTWARE\Korvel\Tessel ASIO'
# The installer's logs, in the temporary folder of the prefix's user.
setup_log() { find "$WINEPREFIX/drive_c/users" -name Tessel-ASIO-Setup.log -exec cat {} + | tr -d '\r'; }
uninstall_log() { find "$WINEPREFIX/drive_c/users" -name Tessel-ASIO-Uninstall.log -exec cat {} + | tr -d '\r'; }

# The registry as the checks see it: one reg-dump call after each change (see reg_dump.c), then lookups here.
snapshot_file="$WINEPREFIX/registry.txt"
snapshot() {
    local branches=("64:$uninstall_key" "64:HKCU\\SOFTWARE\\Korvel")
    for view in 64 32; do
        branches+=("$view:HKLM\\SOFTWARE\\ASIO" "$view:HKCR\\CLSID\\$integer_clsid" "$view:HKCR\\CLSID\\$float_clsid")
    done
    w "$reg_dump" "${branches[@]}" | tr -d '\r' >"$snapshot_file"
}
# value KEY VIEW NAME -> the data ("" names the default value), or <missing>
value() {
    want="value $2 $1|$3=" awk 'BEGIN { want = tolower(ENVIRON["want"]) }
        index(tolower($0), want) == 1 { print substr($0, length(want) + 1); found = 1; exit }
        END { if (!found) print "<missing>" }' "$snapshot_file"
}
key_state() { grep -qixF "key $2 $1" "$snapshot_file" && echo present || echo absent; }


echo "installer check: the packages"
objdump=x86_64-w64-mingw32-objdump
exports=$($objdump -p "$build86/Tessel-ASIO-x86.dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\[/ && !/Table/ { print $NF }' | tr '\n' ' ')
check "32-bit DLL exports, undecorated" "$exports" "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer "
check "32-bit DLL resources" "$(python3 "$here/pe_resources.py" "$build86/Tessel-ASIO-x86.dll")" "version=$version.0 icons=106"
check "64-bit DLL resources" "$(python3 "$here/pe_resources.py" "$build/Tessel-ASIO-x64.dll")" "version=$version.0 icons=106"
# The convention check must tell a method built as a plain C function from a member call: two one-method DLLs.
for convention in thiscall cdecl; do
    printf 'struct CAsioDriver { int __attribute__((%s)) getChannels(int* a, int* b); };\n' "$convention" >"$WINEPREFIX/fake.cpp"
    printf 'int CAsioDriver::getChannels(int* a, int* b) { return *a + *b; }\n' >>"$WINEPREFIX/fake.cpp"
    i686-w64-mingw32-g++-posix -shared -O2 -o "$WINEPREFIX/fake-$convention.dll" "$WINEPREFIX/fake.cpp"
    result=0; "$here/x86_conventions.sh" "$WINEPREFIX/fake-$convention.dll" getChannels:8 >/dev/null || result=$?
    check "convention check on a $convention getChannels" "$result" "$([ $convention == thiscall ] && echo 0 || echo 1)"
done
conventions=0; "$here/x86_conventions.sh" "$build86/Tessel-ASIO-x86.dll" >"$WINEPREFIX/conventions.txt" || conventions=$?
grep FAIL "$WINEPREFIX/conventions.txt" || true
check "32-bit DLL: IASIO methods thiscall, IUnknown __stdcall (x86_conventions.sh)" "$conventions" "0"
check "installer version" "$(python3 "$here/pe_resources.py" "$setup" | sed 's/ icons=.*//')" "version=$version.0"

echo "installer check: creating a prefix in $WINEPREFIX"
timeout 300 wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 || true
cp "$setup" "$WINEPREFIX/drive_c/Tessel-ASIO-Setup.exe"
mkdir -p "$WINEPREFIX/drive_c/probe"
cp "$probe64" "$probe86" "$WINEPREFIX/drive_c/probe/"
has32=no
[ -f "$WINEPREFIX/drive_c/windows/syswow64/regsvr32.exe" ] && has32=yes
echo "  32-bit side in this prefix: $has32"

installed_state() {  # the checks of a complete installation
    snapshot
    check "Tessel-ASIO-x64.dll installed" "$([ -f "$program_files/Tessel-ASIO-x64.dll" ] && echo yes || echo no)" "yes"
    check "tessel-rec.exe installed" "$([ -f "$program_files/tessel-rec.exe" ] && echo yes || echo no)" "yes"
    check "help page installed" "$([ -f "$program_files/Tessel ASIO Help.html" ] && echo yes || echo no)" "yes"
    check "uninstaller installed" "$([ -f "$program_files/uninstall.exe" ] && echo yes || echo no)" "yes"
    check "uninstall entry DisplayVersion" "$(value "$uninstall_key" 64 DisplayVersion)" "$version"
    check "uninstall entry Publisher" "$(value "$uninstall_key" 64 Publisher)" "Korvel"
    check "uninstall entry UninstallString" "$(value "$uninstall_key" 64 UninstallString)" "\"$dir\\uninstall.exe\""
    check "64-bit view: integer driver listed" "$(value 'HKLM\SOFTWARE\ASIO\Tessel ASIO Driver' 64 CLSID)" "$integer_clsid"
    check "64-bit view: float driver listed" "$(value 'HKLM\SOFTWARE\ASIO\Tessel (Float) ASIO Driver' 64 CLSID)" "$float_clsid"
    check "64-bit view: integer class server" "$(value "HKCR\\CLSID\\$integer_clsid\\InprocServer32" 64 "")" "c:\\program files\\tessel\\tessel-asio-x64.dll"
    check "64-bit view: float class server" "$(value "HKCR\\CLSID\\$float_clsid\\InprocServer32" 64 "")" "c:\\program files\\tessel\\tessel-asio-x64.dll"
    if [ "$has32" == yes ]; then
        check "Tessel-ASIO-x86.dll installed" "$([ -f "$program_files/Tessel-ASIO-x86.dll" ] && echo yes || echo no)" "yes"
        check "32-bit view: integer driver listed" "$(value 'HKLM\SOFTWARE\ASIO\Tessel ASIO Driver' 32 CLSID)" "$integer_clsid"
        check "32-bit view: float driver listed" "$(value 'HKLM\SOFTWARE\ASIO\Tessel (Float) ASIO Driver' 32 CLSID)" "$float_clsid"
        check "32-bit view: integer class server" "$(value "HKCR\\CLSID\\$integer_clsid\\InprocServer32" 32 "")" "c:\\program files\\tessel\\tessel-asio-x86.dll"
    else
        skip "32-bit DLL and its keys in the 32-bit view (no 32-bit side)"
        check "Tessel-ASIO-x86.dll not installed without a 32-bit side" "$([ -f "$program_files/Tessel-ASIO-x86.dll" ] && echo yes || echo no)" "no"
    fi
}

nothing_left() {  # the checks of a complete removal; the settings are checked by the caller
    snapshot
    check "install folder removed" "$([ -e "$program_files" ] && echo present || echo absent)" "absent"
    [ -e "$program_files" ] && ls -A "$program_files" | sed 's/^/    left: /'
    true
    check "uninstall entry" "$(key_state "$uninstall_key" 64)" "absent"
    for view in 64 32; do
        check "$view-bit view: HKLM\\SOFTWARE\\ASIO" "$(key_state 'HKLM\SOFTWARE\ASIO' $view)" "absent"
        check "$view-bit view: HKCR\\CLSID\\$integer_clsid" "$(key_state "HKCR\\CLSID\\$integer_clsid" $view)" "absent"
        check "$view-bit view: HKCR\\CLSID\\$float_clsid" "$(key_state "HKCR\\CLSID\\$float_clsid" $view)" "absent"
    done
}

# The uninstaller copies itself to the temporary folder and runs from there, so that it can delete itself; the
# first process returns at once (with 0). Wait, bounded, for the copy's log to close with its last line.
uninstall() {  # uninstall ARGUMENTS...
    find "$WINEPREFIX/drive_c/users" -name Tessel-ASIO-Uninstall.log -delete
    status=0
    w "$dir\\uninstall.exe" "$@" || status=$?
    check "uninstall $* exit code" "$status" "0"
    for _ in $(seq 1 120); do
        [ -n "$(uninstall_log | grep -E '^(Uninstalled|Uninstall incomplete)')" ] && return 0
        sleep 0.5
    done
    check "uninstaller finished" "no" "yes"
}

echo "installer check: silent install"
status=0; w 'C:\Tessel-ASIO-Setup.exe' /S || status=$?
check "setup /S exit code" "$status" "0"
installed_state

echo "installer check: the probe hosts (through COM, as hosts do)"
run_probe() {  # run_probe EXE -> its output in probe_output, its exit code in probe_status
    probe_status=0
    probe_output=$(cd "$WINEPREFIX/drive_c/probe" && w "$1" --expect 2 | tr -d '\r') || probe_status=$?
}
run_probe asio-probe-x64.exe
echo "$probe_output" | sed 's/^/    /'
check "64-bit probe exit code" "$probe_status" "0"
check "64-bit probe: drivers created" "$(echo "$probe_output" | grep -c '^  created through COM$')" "2"
output64=$probe_output
if [ "$has32" == yes ]; then
    run_probe asio-probe-x86.exe
    echo "$probe_output" | grep -E 'FAIL|asio-probe' | sed 's/^/    /' || true
    check "32-bit probe exit code" "$probe_status" "0"
    check "32-bit probe: drivers created" "$(echo "$probe_output" | grep -c '^  created through COM$')" "2"
    check "32-bit answers equal the 64-bit ones" "$(diff <(echo "$output64" | tail -n +2) <(echo "$probe_output" | tail -n +2) >/dev/null && echo equal || echo different)" "equal"
else
    skip "32-bit probe host (no 32-bit side)"
fi
snapshot
check "settings saved by the driver" "$(value "$settings_key\\1.00" 64 "Buffer Size Preferred")" "0x120"

echo "installer check: installing again over the installed version"
status=0; w 'C:\Tessel-ASIO-Setup.exe' /S || status=$?
check "second setup /S exit code" "$status" "0"
check "log says it replaced the installed version" "$(setup_log | grep -c "^Replacing version $version in $(printf '%s' "$dir" | sed 's/\\/\\\\/g')\.$")" "1"
installed_state
run_probe asio-probe-x64.exe
check "64-bit probe after the second install" "$probe_status" "0"

echo "installer check: silent uninstall, as the list of installed programs runs it"
uninstall /S
nothing_left
snapshot
check "user settings kept" "$(key_state "$settings_key" 64)" "present"

echo "installer check: uninstall after the DLLs were deleted by hand, removing the settings"
status=0; w 'C:\Tessel-ASIO-Setup.exe' /S || status=$?
check "setup /S exit code" "$status" "0"
rm -f "$program_files"/Tessel-ASIO-x*.dll
uninstall /S /REMOVESETTINGS
check "log names the missing 64-bit DLL" "$(uninstall_log | grep -c '^Tessel-ASIO-x64.dll was already deleted; removing its registration directly\.$')" "1"
nothing_left
snapshot
check "user settings removed on request" "$(key_state "$settings_key" 64)" "absent"

echo "installer check: a DLL that cannot be registered"
broken="$WINEPREFIX/drive_c/broken"
mkdir -p "$broken"
echo "not a DLL" >"$broken/Tessel-ASIO-x64.dll"
makensis -V1 -WX -DVERSION="$version" -DVERSION4="$version.0" -DOUTFILE="$broken/Tessel-ASIO-Setup.exe" \
    -DX64_DLL="$broken/Tessel-ASIO-x64.dll" -DX86_DLL="$build86/Tessel-ASIO-x86.dll" \
    -DTESSEL_REC="$build/tools/tessel-rec/tessel-rec.exe" -DHELP_FILE="$source_dir/installer/help.html" \
    "$source_dir/installer/tessel.nsi" >/dev/null
status=0; w 'C:\broken\Tessel-ASIO-Setup.exe' /S || status=$?
check "setup /S exit code" "$status" "2"
check "log says why" "$(setup_log | grep -c '^ERROR: The driver for 64-bit programs could not be registered')" "1"
nothing_left

if [ "$failures" -ne 0 ]; then
    echo "installer check: $failures check(s) failed"
    exit 1
fi
echo "installer check: all checks passed ($skipped skipped)"
