#!/usr/bin/env bash
# Download throughput: the screensaver's driver (cThread_Comm) and curl fetch
# the same body from the same servers in the same run, taking turns; prints
# both medians and their ratio for each server, the driver's peak memory,
# the longest pause of its progress figures and how long a cancel takes.
#   bench/download_bench.sh [BUILD_DIR] [runs] [megabytes] [read block in bytes]
#
# Two servers: nginx (Debian's nginx-light), a real web server as the
# maker's content is served from, and the tests' loopback server. The
# loopback server is a Windows program in the driver's own process, so
# under Wine both ends of its connection make their socket calls through
# the one wineserver, while curl pays only for the far end; the aim is
# measured on nginx, and the loopback figures show what Wine costs.
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
# shellcheck source=tests/harness/display.sh
source "$(dirname "$0")/../tests/harness/display.sh"
[ -n "${DISPLAY:-}" ] || start_xvfb 1024x768
WORK=$BUILD/bench-download
mkdir -p "$WORK"
# A Wine server started here is stopped here: left running, it would keep
# this display (gone with the Xvfb above) for whatever uses the prefix next.
OWN_SERVER=
/usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1 && OWN_SERVER=1
trap '[ -n "$OWN_SERVER" ] && /usr/lib/wine/wineserver -k >/dev/null 2>&1; stop_displays; rm -rf "$WORK"' EXIT
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true

coproc BENCH { "$WINE" "$BUILD/bin/download_bench.exe" "Z:${WORK//\//\\}" "$MB" "$BLOCK" 2>&1; }
URL=
NGINX=
while IFS= read -r line <&"${BENCH[0]}"; do
  line=${line%$'\r'}
  case "$line" in
    URL\ *) URL=${line#URL } ;;
    NGINX\ *) NGINX=${line#NGINX }; break ;;
    *) echo "$line" >&2 ;;
  esac
done
[ -n "$URL" ] && [ -n "$NGINX" ] || { echo "download_bench.exe did not start" >&2; exit 1; }
[ "$NGINX" = - ] && { echo "nginx is not installed (apt-get install nginx-light): loopback server only" >&2; NGINX=; }

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
declare -A CURL_TIMES DRIVER_TIMES
GAPS=()
# One transfer by each, on the server named; appends "curl driver" seconds.
measure() {
  local name=$1 url=$2 seconds gap
  local c
  c=$(curl -s -o "$WORK/curl.bin" -w '%{time_total}' "$url")
  rm -f "$WORK/curl.bin"
  echo "run $url" >&"${BENCH[1]}"
  IFS= read -r line <&"${BENCH[0]}"
  line=${line%$'\r'}
  read -r _ seconds gap <<<"$line"
  CURL_TIMES[$name]+="$c "
  DRIVER_TIMES[$name]+="$seconds "
  GAPS+=("$gap")
  echo "run $i, $name: curl $c s, driver $seconds s, longest progress pause $gap ms"
}
# nginx first: until the loopback server serves curl (in this process), the
# peak working set is the driver's own.
NGINX_KB=
if [ -n "$NGINX" ]; then
  for i in $(seq "$RUNS"); do measure nginx "$NGINX"; done
  echo memory >&"${BENCH[1]}"
  IFS= read -r line <&"${BENCH[0]}"
  NGINX_KB=${line%$'\r'}
  NGINX_KB=${NGINX_KB#memory }
fi
for i in $(seq "$RUNS"); do measure loopback "$URL"; done
CANCELS=()
for i in 1 2 3; do
  echo "cancel $URL" >&"${BENCH[1]}"
  IFS= read -r line <&"${BENCH[0]}"
  line=${line%$'\r'}
  CANCELS+=("${line#cancel }")
done
echo quit >&"${BENCH[1]}"
IFS= read -r line <&"${BENCH[0]}"
read -r _ SMALL_KB LARGE_KB <<<"${line%$'\r'}"
wait "$BENCH_PID" 2>/dev/null || true

GAP_MAX=$(printf '%s\n' "${GAPS[@]}" | sort -g | tail -n1)
CANCEL_MAX=$(printf '%s\n' "${CANCELS[@]}" | sort -g | tail -n1)
printf '\n%d MB, median of %d runs\n' "$MB" "$RUNS"
for name in nginx loopback; do
  [ -n "${CURL_TIMES[$name]:-}" ] || continue
  c=$(printf '%s\n' ${CURL_TIMES[$name]} | median)
  d=$(printf '%s\n' ${DRIVER_TIMES[$name]} | median)
  awk -v mb="$MB" -v c="$c" -v d="$d" -v name="$name" 'BEGIN {
    if (name == "nginx") {
      print "  from nginx, a real web server:"
      aim = "(throughput; aim: at least 0.9)"
    } else {
      print "  from the tests\x27 loopback server, a Windows program sharing Wine with the driver:"
      aim = "(throughput; both ends under Wine)"
    }
    printf "    curl            %7.3f s  %8.1f MB/s\n", c, mb / c
    printf "    driver          %7.3f s  %8.1f MB/s\n", d, mb / d
    printf "    driver / curl   %7.2f    %s\n", c / d, aim }'
done
awk -v mb="$MB" -v s="$SMALL_KB" -v n="$NGINX_KB" -v l="$LARGE_KB" -v gap="$GAP_MAX" -v cancel="$CANCEL_MAX" 'BEGIN {
  if (n != "") printf "  driver peak working set: %d KB after a 10 MB transfer, %d KB after the %d MB ones from nginx\n", s, n, mb
  printf "  peak working set with the loopback server serving curl too: %d KB\n", l
  printf "  longest pause of the progress figures: %.0f ms (aim: at most 100)\n", gap
  printf "  a cancel ends the transfer in %.0f ms at most, of 3 (aim: within 2000)\n", cancel * 1000 }'
