#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest: wine-run.sh WINE64 PREFIX PROGRAM ARGS...
# The program's output goes to a file and is shown when it ends. A Wine
# service that the program happens to start first inherits that file, not
# ctest's pipe, so ctest never waits for a service that outlives the test.
wine=$1 prefix=$2
shift 2
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" "$@" </dev/null >"$out" 2>&1
status=$?
cat "$out"
rm -f "$out"
exit $status
