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
SECONDS_TO_RUN=${DG_DEMO_SECONDS:-48}

case "$MODE" in
  run) SWITCH=/s ;;
  config) SWITCH=/c ;;
  *) echo "usage: ./run demo [config]" >&2; exit 2 ;;
esac

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The installation as the setup lays it out: the programs and the seed (the
# catalogue, the skits and the master copy of the player) in the program
# folder; each user's data in that user's own folder, which the screensaver
# makes from the seed when it first starts.
rm -rf "$DEMO/install"
mkdir -p "$DEMO/install/seed/skits" "$WINEPREFIX"
cp "$BUILD/bin/drearigrams.scr" "$DEMO/install/"
cp "$BUILD/bin/skitplay.exe" "$DEMO/install/seed/"
# The help page the configuration dialogs open (HelpFilePath below).
cp "$BUILD/bin/drearigrams.html" "$DEMO/install/"
# The demo skits, notice movies and preview pictures, drawn at build time;
# the skits the content server offers go to the server's folder instead.
# The movie among them is made with ffmpeg at build time.
SERVED=(fireflies dusk)
[ -f "$BUILD/generated/demo/dusk.mp4" ] ||
  { echo "the demo's movie is missing: build with ffmpeg installed (./run installs it)" >&2; exit 1; }
rm -rf "$DEMO/server"
mkdir -p "$DEMO/server/skits"
cp "$BUILD"/generated/demo/*.skit "$BUILD"/generated/demo/*.mp4 "$BUILD"/generated/demo/*.bmp "$DEMO/install/seed/skits/"
for name in "${SERVED[@]}"; do
  mv "$DEMO/install/seed/skits/$name".* "$DEMO/server/skits/"
done
for skit in "$DEMO"/install/seed/skits/*.skit "$DEMO"/server/skits/*.skit "$DEMO"/server/skits/*.mp4; do
  printf 'A demo skit of the Drearigrams Screensaver.\r\n' >"${skit%.*}.txt"
done

XVFB_PID=
SERVER_PID=
cleanup() {
  [ -n "$SERVER_PID" ] && kill "$SERVER_PID" 2>/dev/null || true
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

# The installation key the screensaver reads: the user's folders as values
# each user's screensaver expands to its own, the seed beside the programs.
KEY='HKLM\Software\Brindlecove\drearigrams'
reg_sz() { "$WINE64" reg add "$KEY" /v "$1" /t REG_SZ /d "$2" /f >/dev/null 2>&1; }
reg_expand() { "$WINE64" reg add "$KEY" /v "$1" /t REG_EXPAND_SZ /d "$2" /f >/dev/null 2>&1; }
USER_DATA='%LOCALAPPDATA%\Drearigrams'
reg_expand SkitsPath "$USER_DATA\\skits"
reg_expand DownloadPath "$USER_DATA\\download"
reg_expand OpsFilePath "$USER_DATA\\drearigrams.pak"
reg_expand LogPath "$USER_DATA\\download.log"
reg_expand Player "$USER_DATA\\skitplay.exe"
reg_expand DataPath "$USER_DATA"
reg_sz SeedPath "$INSTALL_WIN\\seed"
reg_sz HelpFilePath "$INSTALL_WIN\\drearigrams.html"
reg_sz AboutURL "http://127.0.0.1/"
# The demo user starts afresh every time: the screensaver copies the seed.
USER_DATA_UNIX=$("$WINE64" winepath -u "$("$WINE64" cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')\\Drearigrams" \
  2>/dev/null)
if [ -n "$USER_DATA_UNIX" ] && [[ "$USER_DATA_UNIX" == "$WINEPREFIX"/* ]]; then rm -rf "$USER_DATA_UNIX"; fi
# Sound once; new skits downloaded automatically.
"$WINE64" reg add 'HKCU\Software\Brindlecove\drearigrams' /v Sound /t REG_DWORD /d 1 /f >/dev/null 2>&1
"$WINE64" reg add 'HKCU\Software\Brindlecove\drearigrams' /v SyncMethod /t REG_DWORD /d 0 /f >/dev/null 2>&1
# The demo maker's key pair, made at build time: the catalogue carries its
# public half, and the server's list is signed with its private half.
KEY_FILE=$BUILD/generated/demo-maker.key
PUB_FILE=$BUILD/generated/demo-maker.pub
sed "s|\"makerKey\": null|\"makerKey\": {\"file\": \"$PUB_FILE\"}|" "$ROOT/resources/demo/catalogue.json" \
  >"$DEMO/catalogue.json"
"$WINE64" "$BUILD/bin/paktool.exe" catalog build "$("$WINE64" winepath -w "$DEMO/catalogue.json")" \
  "$INSTALL_WIN\\seed\\drearigrams.pak" </dev/null

# The content server: a newer list with two new skits (a scene and a
# movie), on the address the catalogue holds (loopback only), with the size
# and SHA-256 of each of its files, signed.
SERVER_WIN=$("$WINE64" winepath -w "$DEMO/server")
"$WINE64" "$BUILD/bin/paktool.exe" sync build "$("$WINE64" winepath -w "$ROOT/resources/demo/sync.json")" \
  "$SERVER_WIN\\kinetrope.syn" --files "$SERVER_WIN\\skits" --sign "$("$WINE64" winepath -w "$KEY_FILE")" </dev/null
"$WINE64" "$BUILD/bin/paktool.exe" sync verify "$SERVER_WIN\\kinetrope.syn" "$("$WINE64" winepath -w "$PUB_FILE")" \
  </dev/null | sed 's/^/  /'
# nginx where it is installed: a real web server, with validators and
# ranges, so interrupted downloads resume. Python's server otherwise.
if [ -x /usr/sbin/nginx ]; then
  NGINX=$DEMO/nginx
  rm -rf "$NGINX"
  mkdir -p "$NGINX"
  cat >"$NGINX/nginx.conf" <<CONF
worker_processes 1;
pid $NGINX/nginx.pid;
error_log $NGINX/error.log;
events { worker_connections 64; }
http {
  access_log $DEMO/server.log;
  client_body_temp_path $NGINX/body;
  proxy_temp_path $NGINX/proxy;
  fastcgi_temp_path $NGINX/fastcgi;
  uwsgi_temp_path $NGINX/uwsgi;
  scgi_temp_path $NGINX/scgi;
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:8642;
    root $DEMO/server;
  }
}
CONF
  /usr/sbin/nginx -p "$NGINX/" -c "$NGINX/nginx.conf" -e "$NGINX/error.log" -g 'daemon off;' </dev/null >/dev/null 2>&1 &
  SERVER_PID=$!
  SERVER_NAME=nginx
else
  python3 -m http.server 8642 --bind 127.0.0.1 --directory "$DEMO/server" >"$DEMO/server.log" 2>&1 &
  SERVER_PID=$!
  SERVER_NAME="Python's http.server"
fi

echo "Demo installation: $DEMO/install (the user's data: ${USER_DATA_UNIX:-%LOCALAPPDATA%\\Drearigrams})"
echo "Content server: http://127.0.0.1:8642/ ($SERVER_NAME, serving $DEMO/server)"
echo "Starting drearigrams.scr $SWITCH"
"$WINE64" "$DEMO/install/drearigrams.scr" "$SWITCH" </dev/null >/dev/null 2>&1 &
PROGRAM=$!

if [ -n "$HEADLESS" ]; then
  # A screenshot every few seconds shows the run as it goes: the first skit,
  # the notice that comes with the automatic download, and later the new skit.
  for ((at = 4; at <= SECONDS_TO_RUN; at += 4)); do
    sleep 4
    SHOT=$DEMO/screenshot-$MODE-$(printf '%02d' "$at")s.png
    xwd -root -silent -display "$DISPLAY" | "${DG_CONVERT:-convert}" xwd:- "$SHOT"
  done
  cp "$SHOT" "$DEMO/screenshot-$MODE.png"
  echo "Screenshots: $DEMO/screenshot-$MODE-*.png (the last also as $DEMO/screenshot-$MODE.png)"
  if [ -n "$USER_DATA_UNIX" ] && [ -f "$USER_DATA_UNIX/download.log" ]; then
    echo "Download log:"
    sed 's/^/  /' "$USER_DATA_UNIX/download.log"
  fi
  kill "$PROGRAM" 2>/dev/null || true
else
  wait "$PROGRAM" || true
fi
