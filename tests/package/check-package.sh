#!/usr/bin/env bash
# Checks release zips from scripts/package:
#   tests/package/check-package.sh dist/Morvastel-<version>-<arch>.zip...
# For each: its name carries VERSION; the listing is exactly the expected
# files; the shipped texts (the alert rules and their tests among them) are
# the repository's, and CHANGES.md's newest entry
# is VERSION's; the programs are built for the zip's architecture, need no DLL
# beyond Windows' own, and carry VERSION in their VERSIONINFO resource (read
# back by windres); listcheck from the zip says VERSION and reads the example
# list; morvastelctl from the zip finds no launcher (exit 3); Morvastel.exe
# from the zip starts under Wine in the unpacked folder, shows its window with
# the example list's title, answers morvastelctl's status with the list's
# plans and VERSION (read by Python's json), and closes on Esc. The running is skipped
# for win32 where the kernel cannot run 32-bit programs.
# Ends with "package check: N zip(s) passed" or the first failure (status 1).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

[ $# -gt 0 ] || { echo "usage: tests/package/check-package.sh ZIP..." >&2; exit 2; }
[ -n "${DISPLAY:-}" ] || . scripts/xvfb-env

work=$(mktemp -d)
# The display of scripts/xvfb-env, when it started one, ends here too.
trap 'rm -rf "$work"; [ -z "${MORVASTEL_XVFB_PID:-}" ] || kill "$MORVASTEL_XVFB_PID" 2>/dev/null' EXIT
fail() { echo "package check FAILED: $zip: $*" >&2; exit 1; }

# DLLs that every Windows has; anything else would have to ship in the zip.
# dbghelp is not among them: an import of it would be looked for in the
# program's folder first, so the launcher loads it from System32 itself.
system_dlls='^(kernel32|user32|gdi32|comctl32|shell32|ws2_32|iphlpapi|msvcrt|advapi32|ntdll|psapi)\.dll$'

# The version everything must carry: plain in the zip's name, with the commit
# after a "+" where a program shows it.
release=$(tr -d ' \r\n' <VERSION)
shown_version="^${release//./\\.}(\\+[0-9a-z.]+)?\$"

# Checks the VERSIONINFO resource of program $1 (as windres $2 prints it):
# numbers and strings of VERSION, the product's name, the file's own name and
# a description.
check_version_info() {
  local exe=$1 windres=$2 rc value numbers
  rc=$("$windres" -i "$exe" -O rc 2>/dev/null | sed -n '/^1 VERSIONINFO/,/^END/p')
  [ -n "$rc" ] || fail "$(basename "$exe") has no VERSIONINFO resource"
  numbers="${release%%-*}"
  numbers="${numbers//./, }, 0"
  for key in FILEVERSION PRODUCTVERSION; do
    [ "$(sed -n "s/^ *$key //p" <<<"$rc")" = "$numbers" ] ||
      fail "$(basename "$exe"): $key is not $numbers (VERSION $release)"
  done
  value() { sed -n "s/^ *VALUE \"$1\", L\?\"\(.*\)\"\$/\1/p" <<<"$rc"; }
  for key in FileVersion ProductVersion; do
    [[ $(value $key) =~ $shown_version ]] || fail "$(basename "$exe"): $key \"$(value $key)\" is not VERSION $release"
  done
  [ "$(value ProductName)" = Morvastel ] || fail "$(basename "$exe"): ProductName is \"$(value ProductName)\""
  [ "$(value OriginalFilename)" = "$(basename "$exe")" ] || fail "$(basename "$exe"): OriginalFilename is \"$(value OriginalFilename)\""
  [ -n "$(value FileDescription)" ] || fail "$(basename "$exe") has no FileDescription"
}

checked=0
for zip in "$@"; do
  file=$(basename "$zip")
  [[ $file =~ ^(Morvastel-(.+)-(win32|win64))\.zip$ ]] || fail "name is not Morvastel-<version>-<arch>.zip"
  name=${BASH_REMATCH[1]} version=${BASH_REMATCH[2]} arch=${BASH_REMATCH[3]}
  [ "$version" = "$release" ] || fail "the name says version $version, VERSION says $release"
  case $arch in
    win32) format=pei-i386 triple=i686-w64-mingw32 loader=/usr/lib/wine/wine ;;
    win64) format=pei-x86-64 triple=x86_64-w64-mingw32 loader=/usr/lib/wine/wine64 ;;
  esac
  objdump=$triple-objdump

  expected=$(printf '%s\n' "$name/Morvastel.exe" "$name/listcheck.exe" "$name/morvastelctl.exe" "$name/morvastelctrlc.exe" "$name/Morvastel.list" \
    "$name/operator-guide.zh-CN.md" "$name/CHANGES.md" "$name/VERSION" "$name/readme.txt" "$name/client/morvastel_client.h" \
    "$name/client/sample.c" "$name/fleet/morvastel-fleet.yml" "$name/fleet/Invoke-MorvastelFleet.ps1" \
    "$name/monitoring/morvastel-alerts.yml" "$name/monitoring/morvastel-alerts.test.yml" | sort)
  listing=$(unzip -Z1 "$zip" | sort) || fail "cannot list"
  [ "$listing" = "$expected" ] || fail "listing differs:"$'\n'"$(diff <(echo "$expected") <(echo "$listing"))"

  dir=$work/$arch
  mkdir -p "$dir"
  unzip -q "$zip" -d "$dir" || fail "cannot unpack"
  dir=$dir/$name
  cmp -s "$dir/Morvastel.list" examples/Morvastel.list || fail "Morvastel.list is not examples/Morvastel.list"
  cmp -s "$dir/operator-guide.zh-CN.md" docs/operator-guide.zh-CN.md || fail "the guide is not docs/operator-guide.zh-CN.md"
  cmp -s "$dir/CHANGES.md" CHANGES.md || fail "CHANGES.md is not the repository's"
  cmp -s "$dir/VERSION" VERSION || fail "VERSION is not the repository's"
  newest=$(grep -m 1 '^## ' "$dir/CHANGES.md")
  [[ $newest =~ ^"## $release"([^0-9A-Za-z.+-]|$) ]] || fail "CHANGES.md's newest entry is \"$newest\", not $release"
  cmp -s "$dir/client/morvastel_client.h" client/morvastel_client.h || fail "the client header differs from the repository's"
  cmp -s "$dir/client/sample.c" client/sample.c || fail "the sample differs from the repository's"
  for example in morvastel-fleet.yml Invoke-MorvastelFleet.ps1; do
    cmp -s "$dir/fleet/$example" "docs/fleet/$example" || fail "fleet/$example differs from the repository's"
  done
  for rules in morvastel-alerts.yml morvastel-alerts.test.yml; do
    cmp -s "$dir/monitoring/$rules" "docs/monitoring/$rules" || fail "monitoring/$rules differs from the repository's"
  done
  grep -qF "Morvastel $version ($arch)" <(tr -d '\r' <"$dir/readme.txt") || fail "readme.txt does not name the version and architecture"

  for exe in Morvastel.exe listcheck.exe morvastelctl.exe morvastelctrlc.exe; do
    "$objdump" -f "$dir/$exe" | grep -q "file format $format" || fail "$exe is not $format"
    while read -r dll; do
      [[ ${dll,,} =~ $system_dlls ]] || fail "$exe needs $dll, which Windows does not have"
    done < <("$objdump" -p "$dir/$exe" | sed -n 's/^\s*DLL Name: //p')
    check_version_info "$dir/$exe" "$triple-windres"
  done

  # Wine's 32-bit loader needs a kernel that runs 32-bit programs.
  if ! "$loader" --version >/dev/null 2>&1; then
    echo "$file: listing, contents, $format without foreign DLLs, version $release: ok;" \
         "running it SKIPPED: this kernel cannot execute $loader"
    checked=$((checked + 1))
    continue
  fi
  prefix=$root/build/package-test/prefix-$arch
  wine() { (cd "$dir" && "$root/cmake/wine-run.sh" "$prefix" "$loader" "$arch" "$@"); }
  said=$(wine listcheck.exe --version | tr -d '\r')
  [[ ${said#listcheck } =~ $shown_version ]] || fail "listcheck.exe --version says \"$said\", not VERSION $release"
  # Status 1: it warns, as the example's programs are not on this machine.
  report=$(wine listcheck.exe Morvastel.list | iconv -f GBK -t UTF-8)
  status=$?
  [ "$status" -eq 1 ] && grep -q ' warning(s):$' <<<"$report" ||
    fail "listcheck.exe on the example list: status $status (1 with its warnings wanted):"$'\n'"$report"
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
  read -r plans launcher_version < <(wine morvastelctl.exe status /p "$port" 2>&1 |
    python3 -c 'import json, sys; s = json.load(sys.stdin); print(len(s["plans"]), s["launcher"]["version"])' 2>&1)
  if [ "$plans" != 3 ]; then
    xdotool key --window "$window" Escape 2>/dev/null
    fail "morvastelctl.exe status did not show the example list's three plans: $plans $launcher_version"
  fi
  if ! [[ $launcher_version =~ $shown_version ]]; then
    xdotool key --window "$window" Escape 2>/dev/null
    fail "the launcher's status says version \"$launcher_version\", not VERSION $release"
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
  echo "$file: listing, contents, $format without foreign DLLs, version $release, listcheck, window \"$title\", morvastelctl status: ok"
  checked=$((checked + 1))
done
echo "package check: $checked zip(s) passed"
