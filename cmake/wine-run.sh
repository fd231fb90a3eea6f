#!/usr/bin/env bash
# Runs a Windows program under Wine in the binary dir's own prefix, with the
# ANSI code page 936 (GBK). Used as CMAKE_CROSSCOMPILING_EMULATOR.
# Usage: wine-run.sh PREFIX_DIR LOADER WINEARCH program.exe [args...]
set -euo pipefail
prefix=$1 loader=$2 arch=$3
shift 3
export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Create the prefix once; a lock keeps parallel tests from racing on it.
if [ ! -f "$prefix/.morvastel-ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -f "$prefix/.morvastel-ready" ]; then
      LC_ALL=zh_CN.UTF-8 "$loader" wineboot -i >/dev/null 2>&1 || true
      # wineboot returns before the prefix settles; wait for its server.
      "$(dirname "$loader")/wineserver" -w 2>/dev/null || true
      touch "$prefix/.morvastel-ready"
    fi
  ) 9>"$prefix.lock"
fi
# With MORVASTEL_WINE_DESKTOP=WxH the prefix runs its programs in one virtual
# desktop with a taskbar and a notification area of its own. The tests use it:
# without a tray, Wine takes about 2 s to remove a notification icon.
if [ -n "${MORVASTEL_WINE_DESKTOP:-}" ] && [ ! -f "$prefix/.desktop-$MORVASTEL_WINE_DESKTOP" ]; then
  (
    flock 9
    if [ ! -f "$prefix/.desktop-$MORVASTEL_WINE_DESKTOP" ]; then
      LC_ALL=zh_CN.UTF-8 "$loader" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
      LC_ALL=zh_CN.UTF-8 "$loader" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
        /d "$MORVASTEL_WINE_DESKTOP" /f >/dev/null 2>&1
      "$(dirname "$loader")/wineserver" -k 2>/dev/null || true
      "$(dirname "$loader")/wineserver" -w 2>/dev/null || true
      touch "$prefix/.desktop-$MORVASTEL_WINE_DESKTOP"
    fi
  ) 9>"$prefix.lock"
fi
# zh_CN makes Wine use code page 936 even though glibc lacks the locale.
exec env LC_ALL=zh_CN.UTF-8 LANG=zh_CN.UTF-8 "$loader" "$@"
