#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest: wine-run.sh WINE64 PREFIX PROGRAM ARGS...
# The program's output goes to a file and is shown when it ends. A Wine
# service that the program happens to start first inherits that file, not
# ctest's pipe, so ctest never waits for a service that outlives the test.
wine=$1 prefix=$2
shift 2
started=${EPOCHREALTIME/./}
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" "$@" </dev/null >"$out" 2>&1
status=$?
cat "$out"
# A program that fails before it prints anything (Wine could not start it)
# would otherwise leave ctest nothing to show.
if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
  echo "wine-run.sh: $1 ended with status $status after $(((${EPOCHREALTIME/./} - started) / 1000)) ms, having printed nothing"
fi
rm -f "$out"
exit $status
