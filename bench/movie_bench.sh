#!/usr/bin/env bash
# The reference player playing a 30 s 1080p30 H.264 movie, beside mpv
# playing the same file in the same run, both decoding in software into an
# X11 window on one private Xvfb (1920x1080): the processor time of each
# (user + system of the playing process, medians of RUNS), the share of
# pictures shown on time, and the player's peak working set after 1 and
# after LONG minutes of one long movie (VmHWM of the playing process).
#   bench/movie_bench.sh [BUILD_DIR] [runs] [long-minutes]
# (runs 0: the memory only)
#
# Options: skitplay.exe MOVIE (no argument file: sound off, full screen on
# the primary monitor) under the build's Wine, Media Foundation decoding
# through GStreamer in software; mpv --no-config --hwdec=no --vo=x11
# --no-audio --fs. On time: skitplay counts a picture shown at most one
# picture's time after its own; mpv's share is the pictures it neither
# dropped at the output nor in the decoder.
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${2:-5}
LONG=${3:-10}
WINE=$(sed -n 's/^DG_WINE_LOADER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null || true)
WINE=${WINE:-/usr/lib/wine/wine64}
export WINEPREFIX=$BUILD/bench-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
for tool in ffmpeg mpv Xvfb /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "movie_bench: $tool is needed (./run installs it)" >&2; exit 2; }
done

# shellcheck source=tests/harness/display.sh
source "$(dirname "$0")/../tests/harness/display.sh"
trap '/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; stop_displays' EXIT
start_xvfb 1920x1080
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true

# The movies, made once: moving test pictures and a tone, H.264 and AAC in
# MP4 as a maker would publish them.
MOVIES=$BUILD/bench-movies
mkdir -p "$MOVIES"
make_movie() {  # make_movie FILE SECONDS
  [ -s "$1" ] && return 0
  echo "making $(basename "$1") ($2 s of 1080p30)..."
  ffmpeg -hide_banner -loglevel error -nostdin -y -f lavfi -i "testsrc2=size=1920x1080:rate=30:duration=$2" \
    -f lavfi -i "sine=frequency=330:sample_rate=44100:duration=$2" -c:v libx264 -preset veryfast -crf 23 \
    -pix_fmt yuv420p -c:a aac -b:a 96k -movflags +faststart "$1.part.mp4"
  mv "$1.part.mp4" "$1"
}
SHORT_MOVIE=$MOVIES/bench-30s.mp4
LONG_MOVIE=$MOVIES/bench-${LONG}min.mp4
make_movie "$SHORT_MOVIE" 30
FRAMES=900
# Wine maps the Linux root to drive Z:.
windows_path() { local path=$1; echo "Z:${path//\//\\}"; }
WIN_MOVIE=$(windows_path "$SHORT_MOVIE")

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

player_cpu=() player_share=() mpv_cpu=() mpv_share=()
for run in $(seq "$RUNS"); do
  stamps=$(mktemp)
  times=$(mktemp)
  (cd "$BUILD/bin" && DG_FRAME_STAMPS=$(windows_path "$stamps") \
    /usr/bin/time -o "$times" -f "%U %S" "$WINE" skitplay.exe "$WIN_MOVIE" </dev/null >/dev/null 2>&1) || true
  read -r user system <"$times"
  player_cpu+=("$(awk -v u="$user" -v s="$system" 'BEGIN {print u + s}')")
  on_time=$(awk '/^PICTURES/ {print $5}' "$stamps" | tail -n1)
  player_share+=("$(awk -v n="${on_time:-0}" -v f="$FRAMES" 'BEGIN {print 100 * n / f}')")

  status=$(/usr/bin/time -o "$times" -f "%U %S" mpv --no-config --hwdec=no --vo=x11 --no-audio --fs \
    --term-status-msg='STATUS ${frame-drop-count} ${decoder-frame-drop-count}' "$SHORT_MOVIE" 2>&1 </dev/null |
    tr '\r' '\n' | grep -a 'STATUS' | tail -n1 || true)
  read -r user system <"$times"
  mpv_cpu+=("$(awk -v u="$user" -v s="$system" 'BEGIN {print u + s}')")
  mpv_share+=("$(echo "$status" | awk -v f="$FRAMES" '{d = $2 + $3} END {print 100 * (f - d) / f}')")
  echo "run $run: skitplay ${player_cpu[-1]} s, ${player_share[-1]} % on time; mpv ${mpv_cpu[-1]} s, ${mpv_share[-1]} % on time"
  rm -f "$stamps" "$times"
done

if [ "$RUNS" -gt 0 ]; then
  pc=$(printf '%s\n' "${player_cpu[@]}" | median)
  mc=$(printf '%s\n' "${mpv_cpu[@]}" | median)
  ps=$(printf '%s\n' "${player_share[@]}" | median)
  ms=$(printf '%s\n' "${mpv_share[@]}" | median)
  echo
  echo "30 s 1080p30 H.264, medians of $RUNS          skitplay        mpv"
  printf '  processor time                  %8.2f s    %8.2f s   ratio %.2f (aim: at most 1.50)\n' "$pc" "$mc" \
    "$(awk -v a="$pc" -v b="$mc" 'BEGIN {print (b > 0) ? a / b : 0}')"
  printf '  pictures on time                %8.1f %%    %8.1f %%   (aim: at least 95 %%)\n' "$ps" "$ms"
fi

# Memory: the playing process's peak working set after 1 and after LONG
# minutes of one long movie.
make_movie "$LONG_MOVIE" $((LONG * 60))
WIN_LONG=$(windows_path "$LONG_MOVIE")
(cd "$BUILD/bin" && exec "$WINE" skitplay.exe "$WIN_LONG" </dev/null >/dev/null 2>&1) &
LAUNCHER=$!
pid=
for _ in $(seq 100); do
  pid=$(pgrep -f 'skitplay.exe' | head -n1 || true)
  [ -n "$pid" ] && break
  sleep 0.1
done
hwm() { awk '/^VmHWM/ {printf "%.1f", $2 / 1024}' "/proc/$1/status" 2>/dev/null || echo 0; }
# Minute by minute, so that a climb that goes on tells from one that settles.
minutes=()
for _ in $(seq "$LONG"); do
  sleep 60
  minutes+=("$(hwm "$pid")")
done
first=${minutes[0]} last=${minutes[-1]}
kill "$LAUNCHER" "$pid" 2>/dev/null || true
wait "$LAUNCHER" 2>/dev/null || true
echo
echo "skitplay peak working set minute by minute (MB): ${minutes[*]}"
printf 'skitplay peak working set: %.1f MB after 1 minute, %.1f MB after %d minutes: %+.1f MB (aim: within 5 MB)\n' \
  "$first" "$last" "$LONG" "$(awk -v a="$first" -v b="$last" 'BEGIN {print b - a}')"
