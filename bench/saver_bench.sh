#!/usr/bin/env bash
# Runs saver_bench.exe under a private Xvfb and a warm Wine server: the
# saver's start to the player's, the black gap between two skits beside the
# player's own start to its window, and the saver's CPU use while a skit
# plays, read from the host's /proc.
#   bench/saver_bench.sh [BUILD_DIR] [runs] [seconds-of-play] [all|start|gap|standby|cpu]
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${2:-7}
PLAY=${3:-30}
WHAT=${4:-all}
# The build's own Wine loader: wine64 for the 64-bit edition, wine for the
# 32-bit one.
WINE=$(sed -n 's/^DG_WINE_LOADER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null || true)
WINE=${WINE:-/usr/lib/wine/wine64}
case "$WINE" in */wine64) export WINEARCH=win64 ;; *) export WINEARCH=win32 ;; esac
export WINEPREFIX=$BUILD/bench-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# DG_BENCH_DESK=1 runs it on the tests' desk, under a window manager, as a
# user's desktop is: without one, Wine waits two seconds for a window manager
# that never answers whenever a window hides, and a player's window then
# stays on the screen two seconds after its last frame (which the standby
# part would count as black).
# shellcheck source=tests/harness/display.sh
source "$(dirname "$0")/../tests/harness/display.sh"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; stop_displays' EXIT
if [ "${DG_BENCH_DESK:-0}" = 1 ]; then
  start_desk
else
  start_xvfb
fi
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true

ticks() {  # user + system clock ticks of the saver process
  local pid
  pid=$(pgrep -f 'drearigrams.scr' | head -n1)
  [ -n "$pid" ] && awk '{print $14 + $15}' "/proc/$pid/stat" || echo 0
}
cd "$BUILD"
"$WINE" bin/saver_bench.exe "$RUNS" "$PLAY" "$WHAT" </dev/null | while IFS= read -r line; do
  line=${line%$'\r'}
  case "$line" in
    PLAYING-START) T0=$(ticks); W0=$(date +%s.%N) ;;
    PLAYING-END*)
      T1=$(ticks); W1=$(date +%s.%N); HZ=$(getconf CLK_TCK)
      awk -v t0="$T0" -v t1="$T1" -v w0="$W0" -v w1="$W1" -v hz="$HZ" 'BEGIN {
        cpu = (t1 - t0) / hz; wall = w1 - w0;
        printf "\nwhile a skit plays (%.0f s)\n  saver CPU per minute   %8.1f ms   (%.3f%% of one core; aim: under 1%%)\n", wall, cpu / wall * 60000, cpu / wall * 100 }' ;;
    *) echo "$line" ;;
  esac
done
