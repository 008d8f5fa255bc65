#!/usr/bin/env bash
# The movies of the player's tests, made with ffmpeg from its own test
# sources (nothing is fetched):
#   segments.mp4   H.264 320x240 at 30 frames a second, red, green, blue for
#                  a second each, with a 440 Hz tone (AAC, 44.1 kHz, mono);
#                  the index at the front, as a maker publishing for the web
#                  would have it
#   cut.mp4        its first half: the index whole, the pictures cut short
#   flipped.mp4    its first 32 bytes (the file type box), then every byte
#                  inverted
#   empty.mp4      no bytes
#   soundonly.mp4  the tone alone
#   narrow.mp4     322x242 (rows a decoder pads), red left of x 162, blue
#                  right of it, a third of a second
#   make_movies.sh OUT_DIR
set -euo pipefail
out=$1
mkdir -p "$out"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
colour() { echo "color=c=$1:s=320x240:r=30:d=1"; }
ff -f lavfi -i "$(colour red)" -f lavfi -i "$(colour lime)" -f lavfi -i "$(colour blue)" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=3" \
  -filter_complex "[0][1][2]concat=n=3:v=1:a=0,format=yuv420p[v]" -map "[v]" -map 3:a \
  -c:v libx264 -preset veryfast -c:a aac -b:a 64k -movflags +faststart "$out/segments.mp4"
ff -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=2" -c:a aac -b:a 64k "$out/soundonly.mp4"
ff -f lavfi -i "color=c=red:s=162x242:r=30:d=0.34[l];color=c=blue:s=160x242:r=30:d=0.34[r];[l][r]hstack" \
  -c:v libx264 -preset veryfast -pix_fmt yuv420p "$out/narrow.mp4"
: >"$out/empty.mp4"
python3 - "$out" <<'PY'
import sys
out = sys.argv[1]
data = open(out + "/segments.mp4", "rb").read()
open(out + "/cut.mp4", "wb").write(data[: len(data) // 2])
open(out + "/flipped.mp4", "wb").write(data[:32] + bytes(b ^ 0xFF for b in data[32:]))
PY
