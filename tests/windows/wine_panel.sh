#!/usr/bin/env bash
# The real DLL's control panel and firmware notice under Wine, in a virtual desktop on a virtual X display:
# the panel probe (panel_probe.exe) opens them through controlPanel as a host would and checks them, then a
# screenshot of each dialog is taken for people to look at.
#
# usage: tests/windows/wine_panel.sh [BUILD_DIR] [SCREENSHOT_DIR]
#        (default build/windows, built with the windows preset; screenshots default to BUILD_DIR/screenshots)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build/windows}
shots=${2:-$build/screenshots}
dll="$build/Tessel-ASIO-x64.dll"
probe="$build/tests/windows/panel_probe.exe"
[ -f "$dll" ] && [ -f "$probe" ] || { echo "wine panel: build the windows preset first ($dll, $probe)"; exit 1; }
command -v Xvfb >/dev/null && command -v xwd >/dev/null || { echo "wine panel: needs Xvfb and xwd (scripts/setup.sh windows)"; exit 1; }
mkdir -p "$shots"
shots=$(cd "$shots" && pwd)

export WINEPREFIX=$(mktemp -d /tmp/tessel-wine-panel.XXXXXX)
export WINEDEBUG=${WINEDEBUG:--all} WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
display=""
for n in $(seq 71 99); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=":$n"; break; }
done
[ -n "$display" ] || { echo "wine panel: no free X display"; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() { wineserver -k >/dev/null 2>&1 || true; kill "$xvfb" 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
export DISPLAY=$display
for _ in $(seq 50); do xwd -root -silent -display "$display" >/dev/null 2>&1 && break; sleep 0.1; done

echo "wine panel: creating a prefix in $WINEPREFIX on display $display"
wineboot -i >/dev/null 2>&1
wineserver -p >/dev/null 2>&1 || true
# Stable dialogs: Wine's own fonts, "Microsoft Sans Serif" drawn by Tahoma, every window in one virtual desktop.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "Microsoft Sans Serif" /d Tahoma /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1

dir="$WINEPREFIX/drive_c/Program Files/Tessel"
mkdir -p "$dir"
cp "$dll" "$probe" "$dir/"
wine regsvr32 /s 'C:\Program Files\Tessel\Tessel-ASIO-x64.dll'

echo "wine panel: the probe's checks"
status=0
(cd "$dir" && wine panel_probe.exe check) | tr -d '\r' || status=$?

echo "wine panel: screenshots"
for dialog in panel notice; do
    done_file="$WINEPREFIX/drive_c/probe-done"
    rm -f "$done_file"
    out=$(mktemp)
    (cd "$dir" && TESSEL_PROBE_DONE='C:\probe-done' WINEDEBUG=-all wine panel_probe.exe show "$dialog" >"$out" 2>&1) &
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
        python3 "$here/xwd_to_png.py" "$out.xwd" "$shots/$dialog.png" "$left" "$top" "$right" "$bottom"
        echo "  $shots/$dialog.png"
    fi
    touch "$done_file"
    wait "$shown" || true
    rm -f "$out" "$out.xwd"
done

[ "$status" -eq 0 ] && echo "wine panel: all checks passed" || echo "wine panel: checks failed"
exit "$status"
