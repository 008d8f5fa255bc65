#!/usr/bin/env bash
# Installs i386 packages while a mirror lacks its i386 security index (a
# mirror caught mid-sync): multi-arch libraries must have the same version
# on both sides, and the 64-bit side already has the security versions, so
# apt alone finds no solution. The i386 build of each such library is taken
# from the security archive's pool, at the 64-bit side's version (the pool
# path is the 64-bit package's, with the other architecture), and installed
# with the packages asked for; apt checks what it installs as always.
#   i386_from_pool.sh PACKAGE:i386...
set -euo pipefail
POOL=http://deb.debian.org/debian-security
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
# apt-cache ends with 100 where a dependency has no candidate on one side;
# what it listed up to there still counts, and the install below says what
# is missing.
{ apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
  --no-enhances "$@" 2>/dev/null || true; } | { grep -E '^[a-z0-9].*:i386$' || true; } | sort -u | while read -r wanted; do
  name=${wanted%:i386}
  ours=$(apt-cache policy "$name" 2>/dev/null | awk '/Candidate:/ {print $2}' || true)
  theirs=$(apt-cache policy "$wanted" 2>/dev/null | awk '/Candidate:/ {print $2}' || true)
  { [ -z "$ours" ] || [ "$ours" = "(none)" ] || [ "$ours" = "$theirs" ]; } && continue
  stanza=$(apt-cache show "$name=$ours" 2>/dev/null || true)
  [ "$(awk '/^Architecture:/ {print $2; exit}' <<<"$stanza")" = amd64 ] || continue
  file=$(awk '/^Filename:/ {print $2; exit}' <<<"$stanza")
  case "$file" in pool/updates/*) ;; *) continue ;; esac
  file=${file/_amd64.deb/_i386.deb}
  if curl -sSf -m 120 -o "$folder/$(basename "$file")" "$POOL/$file"; then
    echo "i386_from_pool: $name $ours from the pool"
  fi
done
shopt -s nullglob
debs=("$folder"/*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${debs[@]}" "$@" >/dev/null
