#!/usr/bin/env bash
# Runs a Windows program under Wine in the binary dir's own prefix, with the
# ANSI code page 936 (GBK) unless MORVASTEL_WINE_LOCALE says otherwise. Used as
# CMAKE_CROSSCOMPILING_EMULATOR.
# Usage: wine-run.sh PREFIX_DIR LOADER WINEARCH program.exe [args...]
#
# MORVASTEL_WINE_DESKTOP=WxH gives the prefix one virtual desktop with a
# taskbar and a notification area of its own (the tests use it: without a
# tray, Wine takes about 2 s to remove a notification icon). It is a property
# of the prefix, settled when the prefix is made, before any program runs in
# it: preparing a prefix never stops or disturbs a program already running
# there. A caller asking a prefix for another desktop than it was made with
# is refused (exit 125) rather than served differently.
set -euo pipefail
prefix=$1 loader=$2 arch=$3
shift 3
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
desktop=${MORVASTEL_WINE_DESKTOP:-none}
ready=$prefix/.morvastel-ready
# Create the prefix once; a lock keeps parallel callers from racing on it,
# and every other caller waits until it is complete.
if [ ! -f "$ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$ready" ]; then
      # A wineboot that fails part-way (seen once on a loaded machine: a
      # prefix with an empty system32, after which every program in it failed
      # with "could not load kernel32.dll") is made again once, from nothing;
      # a prefix is marked ready only when it is whole.
      for attempt in 1 2; do
        LC_ALL=zh_CN.UTF-8 "$loader" wineboot -i >/dev/null 2>&1 || true
        if [ "$desktop" != none ]; then
          LC_ALL=zh_CN.UTF-8 "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
          LC_ALL=zh_CN.UTF-8 "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
            /d "$desktop" /f >/dev/null 2>&1
        fi
        # wineboot returns before the prefix settles; its server ends once the
        # registry is written out, and the next program starts with it as set.
        "$(dirname "$loader")/wineserver" -w 2>/dev/null || true
        [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ] && break
        echo "wine-run.sh: $prefix came out incomplete (no kernel32.dll; try $attempt of 2)" >&2
        "$(dirname "$loader")/wineserver" -k 2>/dev/null || true
        find "$prefix" -mindepth 1 -delete
      done
      [ -f "$prefix/drive_c/windows/system32/kernel32.dll" ] || exit 125
      echo "$desktop" >"$ready.tmp"
      mv "$ready.tmp" "$ready"
    fi
  ) 9>"$prefix.lock" || exit 125
fi
made=$(cat "$ready")
if [ "$made" != "$desktop" ]; then
  echo "wine-run.sh: $prefix was made with desktop '$made', asked for '$desktop';" \
       "remove the prefix or ask for the same" >&2
  exit 125
fi
# The locale sets Wine's ANSI code page: zh_CN.UTF-8 gives 936 (GBK), as on
# a Simplified Chinese Windows; MORVASTEL_WINE_LOCALE=en_US.UTF-8 gives 1252,
# as on an English one. Give each locale a prefix of its own.
locale=${MORVASTEL_WINE_LOCALE:-zh_CN.UTF-8}
# Wine's server, and the system processes a program may start (services, the
# desktop, devices), inherit its Unix output and live on after it for as long
# as anything uses the prefix. Whoever reads that output to its end (ctest, a
# $(...)) would wait for them too. So the program writes to files of our own,
# passed on while it runs and to the last byte once it has ended.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
env LC_ALL="$locale" LANG="$locale" "$loader" "$@" <&0 >"$out" 2>"$err" &
program=$!
tail -s 0.05 -n +1 -f --pid="$program" "$err" >&2 &
errors=$!
tail -s 0.05 -n +1 -f --pid="$program" "$out"
status=0
wait "$program" || status=$?
wait "$errors" || true
# MORVASTEL_WINE_EXPECT: a text the program writes whenever it has run (a
# test program's summary). A program that ended with 0 without it did not
# run at all (seen under the 32-bit loader: 0 at once, nothing written), and
# that is a failure, never a pass.
if [ "$status" -eq 0 ] && [ -n "${MORVASTEL_WINE_EXPECT:-}" ] && ! grep -qF -- "$MORVASTEL_WINE_EXPECT" "$out"; then
  echo "wine-run.sh: $1 ended with 0 but never wrote \"$MORVASTEL_WINE_EXPECT\": it did not run" >&2
  status=1
fi
exit "$status"
