#!/usr/bin/env bash
# The running screensaver as the user sees it: the built program on a
# scratch installation with the reference player and a one-colour skit,
# looked at through screenshots of the X display (xwd), and ended by real
# input from the X side (xdotool), which reaches Wine the way a user's does.
#   - the skit's colour fills the middle of the primary monitor (the movie
#     is in front of the black saver form);
#   - every other monitor is black (covered), not the desktop's colour;
#   - a pointer move over the skit, a key, and (with two monitors) a pointer
#     move on the other monitor each end the run;
#   - a movie skit of the same colour (H.264 in MP4, made here with ffmpeg)
#     plays from the catalogue through the same player, and a key ends it.
# The screenshot of the playing skit is kept as SHOTS/skit-$DG_DESK.png.
#   screen_test.sh WORKDIR SHOTS BIN_DIR RUNNER...
# RUNNER is how a Windows program is started (ctest's emulator: Wine with
# the build's prefix); DG_EDITION (32 or 64) is the edition's.
set -u
WORK=$1 SHOTS=$2 BIN=$3
shift 3
RUN=("$@")
DESK=${DG_DESK:-display}
rm -rf "$WORK"
mkdir -p "$WORK/install/skits" "$WORK/install/download" "$SHOTS"
rm -f "$SHOTS/skit-$DESK-failed.png"
cd "$WORK" || exit 1
[ -n "${DISPLAY:-}" ] || { echo "FAIL: no X display"; exit 1; }
for tool in xwd xdotool; do
  command -v "$tool" >/dev/null || { echo "FAIL: $tool is missing (./run installs it)"; exit 1; }
done
CONVERT=
while IFS= read -r candidate; do
  if "$candidate" -version 2>/dev/null | grep -q '^Version: ImageMagick'; then CONVERT=$candidate; break; fi
done < <(type -ap convert)
[ -n "$CONVERT" ] || { echo "FAIL: ImageMagick's convert is missing"; exit 1; }

shot() { xwd -root -silent -display "$DISPLAY" 2>/dev/null | "$CONVERT" xwd:- "$1" 2>/dev/null; }
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
INSTALL=$WORK/install
INSTALL_WIN=$(windows_path "$INSTALL")
KEY='HKLM\Software\Brindlecove\drearigrams'
USER_KEY='HKCU\Software\Brindlecove\drearigrams'
PID=
stop_saver() {
  if [ -n "$PID" ] && kill -0 "$PID" 2>/dev/null; then
    timeout 30 "${RUN[@]}" taskkill /f /im drearigrams.scr </dev/null >/dev/null 2>&1
    timeout 30 "${RUN[@]}" taskkill /f /im skitplay.exe </dev/null >/dev/null 2>&1
    wait "$PID" 2>/dev/null
  fi
  PID=
}
cleanup() {
  stop_saver
  timeout 30 "${RUN[@]}" reg delete "$KEY" /f </dev/null >/dev/null 2>&1
  timeout 30 "${RUN[@]}" reg delete "$USER_KEY" /f </dev/null >/dev/null 2>&1
}
trap cleanup EXIT
fail() {
  echo "FAIL ($DESK): $*"
  shot "$SHOTS/skit-$DESK-failed.png" && echo "  the screen then: $SHOTS/skit-$DESK-failed.png"
  # The X windows then, with their places: which program covered what.
  echo "  the windows then (xwininfo -root -tree):"
  xwininfo -root -tree 2>/dev/null | grep -E ' [0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+' | grep -vE ' [0-9]x[0-9]+\+| [0-9]+x[0-9]\+' |
    head -n 40 | sed 's/^ */    /'
  exit 1
}

# The skit: one colour over the whole primary monitor, for ten minutes.
SKIT_RGB="224,112,32"
printf 'skit 1\nlength 600\nbackground #E07020\n' >"$INSTALL/skits/orange.skit"
cp "$BIN/drearigrams.scr" "$BIN/skitplay.exe" "$INSTALL/"
cat >catalogue.json <<'JSON'
{
  "header": {"syncIntervalDays": 365, "lastSync": "2099-01-01 00:00:00"},
  "records": [
    {"category": "skit", "id": 1, "title": "Orange", "state": "installed", "selection": "on",
     "files": [{"name": "orange.skit"}]}
  ]
}
JSON
timeout 60 "${RUN[@]}" "$BIN/paktool.exe" catalog build "$(windows_path "$WORK/catalogue.json")" \
  "$INSTALL_WIN\\drearigrams.pak" </dev/null >paktool.out 2>&1 || { cat paktool.out; fail "paktool cannot build the catalogue"; }
reg_sz() {
  timeout 30 "${RUN[@]}" reg add "$KEY" /v "$1" /t REG_SZ /d "$2" /f </dev/null >reg.out 2>&1 ||
    { echo "reg add $KEY /v $1 ended with $?: $(tr -d '\r' <reg.out)"; return 1; }
}
reg_sz Player "$INSTALL_WIN\\skitplay.exe" && reg_sz SkitsPath "$INSTALL_WIN\\skits" &&
  reg_sz OpsFilePath "$INSTALL_WIN\\drearigrams.pak" && reg_sz DownloadPath "$INSTALL_WIN\\download" &&
  reg_sz LogPath "$INSTALL_WIN\\download.log" && reg_sz DataPath "$INSTALL_WIN" || fail "cannot write $KEY"
timeout 30 "${RUN[@]}" reg add "$USER_KEY" /v SyncMethod /t REG_DWORD /d 2 /f </dev/null >/dev/null 2>&1
timeout 30 "${RUN[@]}" reg add "$USER_KEY" /v Sound /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1

# The monitors as X has them, "W H X Y" each, the primary one first.
MONITORS=()
if command -v xrandr >/dev/null && xrandr --listmonitors >monitors.txt 2>/dev/null; then
  # " 0: +*DUMMY0 1280/338x800/211+1024+0  DUMMY0": the star marks the primary.
  pattern='^ *[0-9]+: +\+?(\*?)[^ ]+ +([0-9]+)/[0-9]+x([0-9]+)/[0-9]+\+([0-9]+)\+([0-9]+)'
  while IFS= read -r line; do
    [[ $line =~ $pattern ]] || continue
    entry="${BASH_REMATCH[2]} ${BASH_REMATCH[3]} ${BASH_REMATCH[4]} ${BASH_REMATCH[5]}"
    if [ -n "${BASH_REMATCH[1]}" ]; then MONITORS=("$entry" "${MONITORS[@]}"); else MONITORS+=("$entry"); fi
  done <monitors.txt
fi
if [ "${#MONITORS[@]}" -eq 0 ]; then
  size=$(xwininfo -root 2>/dev/null | sed -n 's/.*-geometry \([0-9]*\)x\([0-9]*\).*/\1 \2/p')
  MONITORS=("${size:-1280 800} 0 0")
fi
middle_of() { local w h x y; read -r w h x y <<<"$1"; echo "$((x + w / 2)) $((y + h / 2))"; }
read -r PX PY <<<"$(middle_of "${MONITORS[0]}")"
echo "desk $DESK: ${#MONITORS[@]} monitor(s): ${MONITORS[*]/%/;} the primary one first"

# Whether two "R,G,B" colours differ by at most $3 in each channel.
near_rgb() {
  local a b i
  IFS=, read -ra a <<<"$1"
  IFS=, read -ra b <<<"$2"
  [ "${#a[@]}" -eq 3 ] && [ "${#b[@]}" -eq 3 ] || return 1
  for i in 0 1 2; do
    [ $((a[i] - b[i])) -le "$3" ] && [ $((b[i] - a[i])) -le "$3" ] || return 1
  done
}

# The colour at a point of the last screenshot, as "R,G,B".
pixel() { "$CONVERT" screen.png -format "%[fx:int(255*p{$1,$2}.r)],%[fx:int(255*p{$1,$2}.g)],%[fx:int(255*p{$1,$2}.b)]" info: 2>/dev/null; }

# A desktop colour of its own, so an uncovered monitor shows.
DESKTOP_RGB="30,110,60"
command -v xsetroot >/dev/null && xsetroot -solid '#1E6E3C' 2>/dev/null

# SKIT_TOLERANCE: how far the skit's colour may be off (a movie's colours
# pass through the decoder's Y'CbCr).
SKIT_TOLERANCE=0
start_saver() {
  xdotool mousemove "$PX" "$PY"
  "${RUN[@]}" "$INSTALL/drearigrams.scr" /s </dev/null >saver.out 2>&1 &
  PID=$!
  # Bounded: a start under Wine on a busy machine takes seconds.
  for _ in $(seq 120); do
    shot screen.png && near_rgb "$(pixel "$PX" "$PY")" "$SKIT_RGB" "$SKIT_TOLERANCE" && return 0
    kill -0 "$PID" 2>/dev/null || fail "the screensaver ended by itself: $(cat saver.out)"
    sleep 0.5
  done
  fail "the skit did not show in the middle of the primary monitor (it shows $(pixel "$PX" "$PY"), the skit is $SKIT_RGB)"
}
expect_end() {
  for _ in $(seq 60); do
    kill -0 "$PID" 2>/dev/null || { wait "$PID" 2>/dev/null; PID=; return 0; }
    sleep 0.5
  done
  fail "$1 did not end the run"
}

start_saver
cp screen.png "$SHOTS/skit-$DESK.png"
echo "the skit shows on the primary monitor: $SHOTS/skit-$DESK.png"
# Every other monitor black. A CI run once found the skit's colour on the
# other monitor in the first screenshot with the skit in front, and nothing
# here has shown it again (the window manager's first place for the movie,
# or a repaint still to come, are guesses): a few seconds are given, and
# what showed before is told, so that a run that sees it says so.
for monitor in "${MONITORS[@]:1}"; do
  read -r MX MY <<<"$(middle_of "$monitor")"
  first=$(pixel "$MX" "$MY") seen=$first
  for look in $(seq 10); do
    [ "$seen" = "0,0,0" ] && break
    sleep 0.5
    shot screen.png && seen=$(pixel "$MX" "$MY")
  done
  [ "$seen" = "0,0,0" ] || fail "the monitor at ${monitor} is not covered: it shows $seen (the desktop is $DESKTOP_RGB)"
  [ "$first" = "0,0,0" ] || echo "(the monitor at ${monitor} showed $first at first, black $((look - 1)) half-second(s) later)"
done
xdotool mousemove_relative 20 0
expect_end "a pointer move of 20 pixels over the skit"

start_saver
xdotool key q
expect_end "a key"

if [ "${#MONITORS[@]}" -gt 1 ]; then
  start_saver
  read -r MX MY <<<"$(middle_of "${MONITORS[1]}")"
  xdotool mousemove "$MX" "$MY"
  expect_end "a pointer move on the monitor at ${MONITORS[1]}"
fi
# A movie: the same colour for a minute, in a catalogue of its own. A 32-bit
# Wine decodes H.264 only with the i386 GStreamer plugins, which a mirror
# without its i386 security index cannot give (./run then goes on without).
if [ "${DG_EDITION:-64}" = 32 ] && [ ! -e /usr/lib/i386-linux-gnu/gstreamer-1.0/libgstlibav.so ]; then
  echo "ok ($DESK): the skit in front, ${#MONITORS[@]} monitor(s) covered, pointer and key end the run;" \
    "the movie skit is not tried: this 32-bit Wine has no i386 GStreamer plugins (gstreamer1.0-libav:i386)"
  exit 0
fi
command -v ffmpeg >/dev/null || fail "ffmpeg is missing (./run installs it)"
ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "color=c=0xE07020:s=320x240:r=30:d=60" \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p "$INSTALL/skits/orange.mp4" </dev/null || fail "ffmpeg cannot make the movie"
sed 's/"Orange"/"Orange movie"/; s/orange\.skit/orange.mp4/' catalogue.json >movie-catalogue.json
timeout 60 "${RUN[@]}" "$BIN/paktool.exe" catalog build "$(windows_path "$WORK/movie-catalogue.json")" \
  "$INSTALL_WIN\\movie.pak" </dev/null >paktool.out 2>&1 || { cat paktool.out; fail "paktool cannot build the movie's catalogue"; }
reg_sz OpsFilePath "$INSTALL_WIN\\movie.pak" || fail "cannot write $KEY"
SKIT_TOLERANCE=6
start_saver
cp screen.png "$SHOTS/movie-$DESK.png"
xdotool key q
expect_end "a key during the movie"
echo "ok ($DESK): the skit in front, ${#MONITORS[@]} monitor(s) covered, pointer and key end the run; the movie skit plays"
