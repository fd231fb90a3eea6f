#!/usr/bin/env bash
# Checks release zips from scripts/package:
#   tests/package/check-package.sh dist/Morvastel-<version>-<arch>.zip...
# For each: the listing is exactly the expected files; the shipped texts are
# the repository's; both programs are built for the zip's architecture and
# need no DLL beyond Windows' own; listcheck from the zip reads the example
# list; morvastelctl from the zip finds no launcher (exit 3); Morvastel.exe
# from the zip starts under Wine in the unpacked folder, shows its window with
# the example list's title, answers morvastelctl's status with the list's
# plans (read by Python's json), and closes on Esc. The running is skipped
# for win32 where the kernel cannot run 32-bit programs.
# Ends with "package check: N zip(s) passed" or the first failure (status 1).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

[ $# -gt 0 ] || { echo "usage: tests/package/check-package.sh ZIP..." >&2; exit 2; }
[ -n "${DISPLAY:-}" ] || . scripts/xvfb-env

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package check FAILED: $zip: $*" >&2; exit 1; }

# DLLs that every Windows has; anything else would have to ship in the zip.
# dbghelp is not among them: an import of it would be looked for in the
# program's folder first, so the launcher loads it from System32 itself.
system_dlls='^(kernel32|user32|gdi32|comctl32|shell32|ws2_32|iphlpapi|msvcrt|advapi32|ntdll|psapi)\.dll$'

checked=0
for zip in "$@"; do
  file=$(basename "$zip")
  [[ $file =~ ^(Morvastel-(.+)-(win32|win64))\.zip$ ]] || fail "name is not Morvastel-<version>-<arch>.zip"
  name=${BASH_REMATCH[1]} version=${BASH_REMATCH[2]} arch=${BASH_REMATCH[3]}
  case $arch in
    win32) format=pei-i386 objdump=i686-w64-mingw32-objdump loader=/usr/lib/wine/wine ;;
    win64) format=pei-x86-64 objdump=x86_64-w64-mingw32-objdump loader=/usr/lib/wine/wine64 ;;
  esac

  expected=$(printf '%s\n' "$name/Morvastel.exe" "$name/listcheck.exe" "$name/morvastelctl.exe" "$name/Morvastel.list" \
    "$name/operator-guide.zh-CN.md" "$name/readme.txt" "$name/client/morvastel_client.h" \
    "$name/client/sample.c" "$name/fleet/morvastel-fleet.yml" "$name/fleet/Invoke-MorvastelFleet.ps1" | sort)
  listing=$(unzip -Z1 "$zip" | sort) || fail "cannot list"
  [ "$listing" = "$expected" ] || fail "listing differs:"$'\n'"$(diff <(echo "$expected") <(echo "$listing"))"

  dir=$work/$arch
  mkdir -p "$dir"
  unzip -q "$zip" -d "$dir" || fail "cannot unpack"
  dir=$dir/$name
  cmp -s "$dir/Morvastel.list" examples/Morvastel.list || fail "Morvastel.list is not examples/Morvastel.list"
  cmp -s "$dir/operator-guide.zh-CN.md" docs/operator-guide.zh-CN.md || fail "the guide is not docs/operator-guide.zh-CN.md"
  cmp -s "$dir/client/morvastel_client.h" client/morvastel_client.h || fail "the client header differs from the repository's"
  cmp -s "$dir/client/sample.c" client/sample.c || fail "the sample differs from the repository's"
  for example in morvastel-fleet.yml Invoke-MorvastelFleet.ps1; do
    cmp -s "$dir/fleet/$example" "docs/fleet/$example" || fail "fleet/$example differs from the repository's"
  done
  grep -qF "Morvastel $version ($arch)" <(tr -d '\r' <"$dir/readme.txt") || fail "readme.txt does not name the version and architecture"

  for exe in Morvastel.exe listcheck.exe morvastelctl.exe; do
    "$objdump" -f "$dir/$exe" | grep -q "file format $format" || fail "$exe is not $format"
    while read -r dll; do
      [[ ${dll,,} =~ $system_dlls ]] || fail "$exe needs $dll, which Windows does not have"
    done < <("$objdump" -p "$dir/$exe" | sed -n 's/^\s*DLL Name: //p')
  done

  # Wine's 32-bit loader needs a kernel that runs 32-bit programs.
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "$file: listing, contents, $format without foreign DLLs: ok;" \
         "running it SKIPPED: this kernel cannot execute $loader"
    checked=$((checked + 1))
    continue
  fi
  prefix=$root/build/package-test/prefix-$arch
  wine() { (cd "$dir" && "$root/cmake/wine-run.sh" "$prefix" "$loader" "$arch" "$@"); }
  report=$(wine listcheck.exe Morvastel.list | iconv -f GBK -t UTF-8) || fail "listcheck.exe failed on the example list"
  grep -q '^3 plan(s), 7 entries$' <<<"$report" || fail "listcheck.exe read the example list wrongly:"$'\n'"$report"
  # The example list's port; nothing serves it until the launcher runs.
  port=$(LC_ALL=C sed -n 's/^[-/]p \([0-9]*\)\r$/\1/p' examples/Morvastel.list)
  wine morvastelctl.exe status /p "$port" >/dev/null 2>&1
  code=$?
  [ "$code" -eq 3 ] || fail "morvastelctl.exe status with no launcher gave $code, not 3"

  # The window's title comes from the example list's /n line, so it shows
  # that the program read the list (GBK) from its folder.
  title=$(LC_ALL=C sed -n '1s/^[-/]n \(.*\)\r$/\1/p' examples/Morvastel.list | iconv -f GBK -t UTF-8)
  [ -n "$title" ] || fail "examples/Morvastel.list has no title line to look for"
  wine Morvastel.exe &
  pid=$!
  window=""
  for _ in $(seq 1 300); do
    # The program has more X windows than its dialog (an input method one).
    for candidate in $(xdotool search --class morvastel.exe 2>/dev/null); do
      [ "$(xdotool getwindowname "$candidate" 2>/dev/null)" = "$title" ] && window=$candidate
    done
    [ -n "$window" ] && break
    sleep 0.1
  done
  if [ -z "$window" ]; then
    kill "$pid" 2>/dev/null
    WINEPREFIX=$prefix "$(dirname "$loader")/wineserver" -k 2>/dev/null
    fail "Morvastel.exe showed no window titled \"$title\" within 30 s"
  fi
  plans=$(wine morvastelctl.exe status /p "$port" 2>&1 |
          python3 -c 'import json, sys; print(len(json.load(sys.stdin)["plans"]))' 2>&1)
  if [ "$plans" != 3 ]; then
    xdotool key --window "$window" Escape 2>/dev/null
    fail "morvastelctl.exe status did not show the example list's three plans: $plans"
  fi
  xdotool key --window "$window" Escape 2>/dev/null
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    WINEPREFIX=$prefix "$(dirname "$loader")/wineserver" -k 2>/dev/null
    fail "Morvastel.exe did not close on Esc"
  fi
  wait "$pid" 2>/dev/null
  # Wine's own helpers in this prefix would outlive the program for a while.
  WINEPREFIX=$prefix "$(dirname "$loader")/wineserver" -k 2>/dev/null
  echo "$file: listing, contents, $format without foreign DLLs, listcheck, window \"$title\", morvastelctl status: ok"
  checked=$((checked + 1))
done
echo "package check: $checked zip(s) passed"
