#!/usr/bin/env bash
# The real DLL's control panel and firmware notice under Wine, in a virtual desktop on a virtual X display:
# the panel probe (panel_probe.exe) opens them through controlPanel as a host would and checks them, then a
# screenshot of each dialog is taken for people to look at. Given the windows-virtual build too, the test-only
# DLL's panel is checked and shown with the four virtual microphones of its default machine.
#
# usage: tests/windows/wine_panel.sh [BUILD_DIR] [SCREENSHOT_DIR] [VIRTUAL_BUILD_DIR]
#        (default build/windows, built with the windows preset; screenshots default to BUILD_DIR/screenshots;
#        VIRTUAL_BUILD_DIR, built with the windows-virtual preset, adds panel-virtual.png and its checks)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/windows}
shots=${2:-$build/screenshots}
virtual=${3:-}
dll="$build/Tessel-ASIO-x64.dll"
probe="$build/tests/windows/panel_probe.exe"
virtualDll="${virtual:+$virtual/Tessel-ASIO-virtual-x64.dll}"
[ -f "$dll" ] && [ -f "$probe" ] || { echo "wine panel: build the windows preset first ($dll, $probe)"; exit 1; }
[ -z "$virtual" ] || [ -f "$virtualDll" ] || { echo "wine panel: build the windows-virtual preset first ($virtualDll)"; exit 1; }
command -v Xvfb >/dev/null && command -v xwd >/dev/null || { echo "wine panel: needs Xvfb and xwd (scripts/setup.sh windows)"; exit 1; }
mkdir -p "$shots"
shots=$(cd "$shots" && pwd)

export WINEPREFIX=$(mktemp -d "$(cd "$build" && pwd)/wine-panel.XXXXXX")
export WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
unset TESSEL_VIRTUAL_MACHINE  # the test-only DLL's default machine: four microphones, a playback device
display=""
for n in $(seq 57 70); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=":$n"; break; }
done
[ -n "$display" ] || { echo "wine panel: no free X display"; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() { timeout 30 wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xwd -root -silent -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done

echo "wine panel: creating a prefix in $WINEPREFIX on display $display"
timeout 180 wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 || true
# Stable dialogs: Wine's own fonts, "Microsoft Sans Serif" drawn by Tahoma.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
timeout 60 wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Microsoft Sans Serif" /d Tahoma /f >/dev/null 2>&1

dir="$WINEPREFIX/drive_c/Program Files/Tessel"
mkdir -p "$dir"
cp "$dll" "$probe" "$dir/"
[ -z "$virtual" ] || cp "$virtualDll" "$dir/"

# Every dialog runs in a virtual desktop named here, so that Wine draws the windows itself, as Windows does.
# Without one, each window is an X toplevel, and with no window manager on the display Wine waits two seconds
# for every window it hides to be withdrawn: each panel takes that long to close, longer than stop may wait.
# (The registry's default desktop would only be read by an explorer started after it is written.)
inDesktop() { timeout "$1" wine explorer /desktop=TesselPanel,1024x768 "${@:2}"; }

status=0
# The probe's own count is its verdict: explorer, which starts it in the desktop, does not pass its exit code on.
runProbe() {
    local output
    output=$(cd "$dir" && inDesktop 180 panel_probe.exe "$1" 2>&1 | tr -d '\r') || true
    echo "$output"
    echo "$output" | grep -q '^panel probe: 0 failure(s)$' || status=1
}

screenshot() {
    local dialog=$1 name=$2 done_file="$WINEPREFIX/drive_c/probe-done" out rect shown
    rm -f "$done_file"
    out=$(mktemp)
    (cd "$dir" && TESSEL_PROBE_DONE='C:\probe-done' inDesktop 120 panel_probe.exe show "$dialog" >"$out" 2>&1) &
    shown=$!
    rect=""
    for _ in $(seq 300); do
        rect=$(tr -d '\r' <"$out" | sed -n 's/^rect //p')
        [ -n "$rect" ] && break
        sleep 0.1
    done
    if [ -z "$rect" ]; then
        echo "wine panel: the $dialog did not show: $(tr -d '\r' <"$out")"
        status=1
    else
        xwd -root -silent -display "$display" >"$out.xwd"
        read -r left top right bottom <<<"$rect"
        # The window rectangle in the virtual desktop, which fills the screen from its top left corner.
        python3 "$here/xwd_to_png.py" "$out.xwd" "$shots/$name.png" "$left" "$top" "$right" "$bottom"
        echo "  $shots/$name.png"
    fi
    touch "$done_file"
    wait "$shown" || true
    rm -f "$out" "$out.xwd"
}

timeout 60 wine regsvr32 /s 'C:\Program Files\Tessel\Tessel-ASIO-x64.dll' || { echo "wine panel: regsvr32 failed"; exit 1; }
echo "wine panel: the probe's checks"
runProbe check
echo "wine panel: screenshots"
screenshot panel panel
screenshot notice notice

if [ -n "$virtual" ]; then
    # The test-only DLL registers under the product's class IDs: from here on, hosts create it.
    timeout 60 wine regsvr32 /s 'C:\Program Files\Tessel\Tessel-ASIO-virtual-x64.dll' ||
        { echo "wine panel: regsvr32 of the test-only DLL failed"; exit 1; }
    echo "wine panel: the test-only DLL's panel"
    runProbe virtual
    screenshot panel panel-virtual
fi

[ "$status" -eq 0 ] && echo "wine panel: all checks passed" || echo "wine panel: checks failed"
exit "$status"
