#!/usr/bin/env bash
# The demo's movie skit, made with ffmpeg from its own sources (nothing is
# fetched): "Dusk", 12 s of slowly turning dusk colours at 1280x720 and 30
# frames a second with its title drawn in, a soft 220 Hz tone for sound;
# H.264 and AAC in MP4, the index at the front, as a maker would publish it.
# Its preview picture is the frame at 6 s, 128 x 128, 24 bits.
#   make_demo_movie.sh OUT_DIR
set -euo pipefail
out=$1
mkdir -p "$out"
ff() { ffmpeg -hide_banner -loglevel error -nostdin -y "$@"; }
title="drawtext=text='Dusk':fontsize=120:fontcolor=white:x=(w-tw)/2:y=(h-th)/2-40:alpha='min(1\\,t/2)'"
subtitle="drawtext=text='a Drearigrams demo movie':fontsize=40:fontcolor=0xFFE0C0:x=(w-tw)/2:y=h/2+80"
subtitle="$subtitle:alpha='min(1\\,max(0\\,(t-1)/2))'"
ff -f lavfi -i "gradients=s=1280x720:r=30:d=12:c0=0x0B1D3A:c1=0x6D2749:c2=0xE07020:nb_colors=3:speed=0.02" \
  -f lavfi -i "sine=frequency=220:sample_rate=44100:duration=12" \
  -filter_complex "[0]$title,$subtitle,format=yuv420p[v];[1]afade=t=in:d=2,afade=t=out:st=10:d=2,volume=0.3[a]" \
  -map "[v]" -map "[a]" -c:v libx264 -preset veryfast -crf 26 -c:a aac -b:a 96k -movflags +faststart \
  "$out/dusk.mp4"
ff -ss 6 -i "$out/dusk.mp4" -frames:v 1 -vf scale=128:128 -pix_fmt bgr24 "$out/dusk.bmp"
