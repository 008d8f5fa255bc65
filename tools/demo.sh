#!/usr/bin/env bash
# Runs the screensaver on a demo installation in a private Wine prefix.
#   tools/demo.sh BUILD_DIR [config]
# With a display (DISPLAY set) the program runs there until it is closed;
# without one it runs under Xvfb for a fixed time and leaves a screenshot.
set -euo pipefail

BUILD=$(cd "$1" && pwd)
MODE=${2:-run}
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX=$BUILD/demo/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
DEMO=$BUILD/demo
SECONDS_TO_RUN=${DG_DEMO_SECONDS:-12}

case "$MODE" in
  run) SWITCH=/s ;;
  config) SWITCH=/c ;;
  *) echo "usage: ./run demo [config]" >&2; exit 2 ;;
esac

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
rm -rf "$DEMO/install"
mkdir -p "$DEMO/install/skits" "$DEMO/install/download" "$WINEPREFIX"
cp "$BUILD/bin/drearigrams.scr" "$BUILD/bin/skitplay.exe" "$DEMO/install/"
# The demo skits, notice movies and preview pictures, drawn at build time.
cp "$BUILD"/generated/demo/*.skit "$BUILD"/generated/demo/*.bmp "$DEMO/install/skits/"
for skit in "$DEMO"/install/skits/*.skit; do
  printf 'A demo skit of the Drearigrams Screensaver.\r\n' >"${skit%.skit}.txt"
done

XVFB_PID=
cleanup() {
  "$WINESERVER" -k >/dev/null 2>&1 || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null || true
}
trap cleanup EXIT

HEADLESS=
if [ -z "${DISPLAY:-}" ]; then
  HEADLESS=1
  fd_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd_file" >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do [ -s "$fd_file" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$fd_file")"
  rm -f "$fd_file"
fi

"$WINESERVER" -p </dev/null >/dev/null 2>&1 || true
"$WINE64" wineboot -i </dev/null >/dev/null 2>&1 || true
INSTALL_WIN=$("$WINE64" winepath -w "$DEMO/install" 2>/dev/null)

# The installation key the screensaver reads.
KEY='HKLM\Software\Brindlecove\drearigrams'
reg_sz() { "$WINE64" reg add "$KEY" /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1; }
reg_sz SkitsPath "$INSTALL_WIN\\skits"
reg_sz DownloadPath "$INSTALL_WIN\\download"
reg_sz OpsFilePath "$INSTALL_WIN\\drearigrams.pak"
reg_sz LogPath "$INSTALL_WIN\\download.log"
reg_sz HelpFilePath "$INSTALL_WIN\\drearigrams.html"
reg_sz Player "$INSTALL_WIN\\skitplay.exe"
reg_sz AboutURL "http://127.0.0.1/"
# Sound once; no automatic download until the demo has a content server.
"$WINE64" reg add 'HKCU\Software\Brindlecove\drearigrams' /v Sound /t REG_DWORD /d 1 /f >/dev/null 2>&1
"$WINE64" reg add 'HKCU\Software\Brindlecove\drearigrams' /v SyncMethod /t REG_DWORD /d 2 /f >/dev/null 2>&1
"$WINE64" "$BUILD/bin/paktool.exe" catalog build "$("$WINE64" winepath -w "$ROOT/resources/demo/catalogue.json")" \
  "$INSTALL_WIN\\drearigrams.pak" </dev/null

echo "Demo installation: $DEMO/install"
echo "Starting drearigrams.scr $SWITCH"
"$WINE64" "$DEMO/install/drearigrams.scr" "$SWITCH" </dev/null >/dev/null 2>&1 &
PROGRAM=$!

if [ -n "$HEADLESS" ]; then
  sleep "$SECONDS_TO_RUN"
  SHOT=$DEMO/screenshot-$MODE.png
  xwd -root -silent -display "$DISPLAY" | convert xwd:- "$SHOT"
  echo "Screenshot: $SHOT"
  kill "$PROGRAM" 2>/dev/null || true
else
  wait "$PROGRAM" || true
fi
