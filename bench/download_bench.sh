#!/usr/bin/env bash
# Download throughput: the screensaver's driver (cThread_Comm) and curl fetch
# the same generated body from one loopback server in the same run, taking
# turns; prints both medians, their ratio, the driver's peak memory, the
# longest pause of its progress figures and how long a cancel takes.
#   bench/download_bench.sh [BUILD_DIR] [runs] [megabytes] [read block in bytes]
set -euo pipefail
BUILD=$(cd "${1:-build}" && pwd)
RUNS=${2:-5}
MB=${3:-200}
BLOCK=${4:-0}
command -v curl >/dev/null || { echo "curl is needed (apt-get install curl)" >&2; exit 1; }
# The build's own Wine loader: wine64 for the 64-bit edition, wine for the
# 32-bit one.
WINE=$(sed -n 's/^DG_WINE_LOADER:[A-Z]*=//p' "$BUILD/CMakeCache.txt" 2>/dev/null || true)
WINE=${WINE:-/usr/lib/wine/wine64}
case "$WINE" in */wine64) export WINEARCH=win64 ;; *) export WINEARCH=win32 ;; esac
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
XVFB=
if [ -z "${DISPLAY:-}" ]; then
  fd=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fd" >/dev/null 2>&1 &
  XVFB=$!
  for _ in $(seq 100); do [ -s "$fd" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$fd")"
  rm -f "$fd"
fi
WORK=$BUILD/bench-download
mkdir -p "$WORK"
trap '[ -n "$XVFB" ] && kill $XVFB 2>/dev/null; rm -rf "$WORK"' EXIT
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 || true
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true

coproc BENCH { "$WINE" "$BUILD/bin/download_bench.exe" "Z:${WORK//\//\\}" "$MB" "$BLOCK" 2>&1; }
URL=
while IFS= read -r line <&"${BENCH[0]}"; do
  line=${line%$'\r'}
  case "$line" in URL\ *) URL=${line#URL }; break ;; *) echo "$line" >&2 ;; esac
done
[ -n "$URL" ] || { echo "download_bench.exe did not start" >&2; exit 1; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
CURL_TIMES=()
DRIVER_TIMES=()
GAPS=()
for i in $(seq "$RUNS"); do
  CURL_TIMES+=("$(curl -s -o "$WORK/curl.bin" -w '%{time_total}' "$URL")")
  rm -f "$WORK/curl.bin"
  echo run >&"${BENCH[1]}"
  IFS= read -r line <&"${BENCH[0]}"
  line=${line%$'\r'}
  read -r _ seconds gap <<<"$line"
  DRIVER_TIMES+=("$seconds")
  GAPS+=("$gap")
  echo "run $i: curl ${CURL_TIMES[-1]} s, driver ${DRIVER_TIMES[-1]} s, longest progress pause ${GAPS[-1]} ms"
done
CANCELS=()
for i in 1 2 3; do
  echo cancel >&"${BENCH[1]}"
  IFS= read -r line <&"${BENCH[0]}"
  line=${line%$'\r'}
  CANCELS+=("${line#cancel }")
done
echo quit >&"${BENCH[1]}"
IFS= read -r line <&"${BENCH[0]}"
read -r _ SMALL_KB LARGE_KB <<<"${line%$'\r'}"
wait "$BENCH_PID" 2>/dev/null || true

CURL_MEDIAN=$(printf '%s\n' "${CURL_TIMES[@]}" | median)
DRIVER_MEDIAN=$(printf '%s\n' "${DRIVER_TIMES[@]}" | median)
GAP_MAX=$(printf '%s\n' "${GAPS[@]}" | sort -g | tail -n1)
CANCEL_MAX=$(printf '%s\n' "${CANCELS[@]}" | sort -g | tail -n1)
awk -v mb="$MB" -v c="$CURL_MEDIAN" -v d="$DRIVER_MEDIAN" -v s="$SMALL_KB" -v l="$LARGE_KB" -v runs="$RUNS" \
    -v gap="$GAP_MAX" -v cancel="$CANCEL_MAX" 'BEGIN {
  printf "\n%d MB from the loopback server, median of %d runs\n", mb, runs
  printf "  curl            %7.3f s  %8.1f MB/s\n", c, mb / c
  printf "  driver          %7.3f s  %8.1f MB/s\n", d, mb / d
  printf "  driver / curl   %7.2f    (throughput; aim: at least 0.9)\n", c / d
  printf "  driver peak working set: %d KB after a 10 MB transfer, %d KB after the %d MB ones\n", s, l, mb
  printf "  longest pause of the progress figures: %.0f ms (aim: at most 100)\n", gap
  printf "  a cancel ends the transfer in %.0f ms at most, of 3 (aim: within 2000)\n", cancel * 1000 }'
