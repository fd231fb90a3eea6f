#!/usr/bin/env bash
# The demo launch list as scripts/demo-list writes it, read back by the
# build's listcheck.exe under Wine, which reads it exactly as the launcher
# does: the plans, entries, delays, paths and command lines must come out as
# meant, with no surplus and no warning, and every program and run directory
# must exist where the list says.
#   check-demo-list.sh BINDIR WORKDIR WINE_LOADER WINE_ARCH
set -euo pipefail
bindir=$1 work=$2 loader=$3 arch=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
rm -rf "$work"
mkdir -p "$work"

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

listcheck() { "$root/cmake/wine-run.sh" "$bindir/wineprefix" "$loader" "$arch" "$bindir/listcheck.exe" "$@"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }
# Text as the dump writes it: backslashes doubled, bytes from 0x80 up as \xhh.
dump_text() {
  printf '%s' "$1" | iconv -f UTF-8 -t GBK | od -An -v -tx1 | tr -s ' \n' '\n\n' | grep . |
    while read -r byte; do
      if [ $((16#$byte)) -ge 128 ]; then printf '\\x%s' "$byte"
      elif [ "$byte" = 5c ]; then printf '\\\\'
      else printf "\\x$byte"; fi
    done
}

# check NAME EXPECTED-PORT PLAN-ORDER [demo-list options...]
check() {
  local name=$1 port=$2 order=$3
  shift 3
  local list=$work/$name.list rundir=$work/$name-run
  "$root/scripts/demo-list" "$@" "$list" "$bindir" "$rundir"

  # Every line ends in CR LF.
  if LC_ALL=C grep -qv $'\r$' "$list"; then fail "$name: a line without CR"; fi

  local beat="" full relaunch expected entries=() first=0
  [ "$port" = 22225 ] || beat="--port $port "
  full=("Malvoryn.exe|Main Server| ${beat}--beat-every 5|0" "Corvellinex.exe|Side Server| ${beat}--beat-every 5|0"
        "BriefWorker.exe|Brief Worker| --exit-after 8|3" "StallWorker.exe|Stall Worker| ${beat}--beat-for 10|6")
  relaunch=("BriefWorker.exe|Brief Worker| --exit-after 8|0" "StallWorker.exe|Stall Worker| ${beat}--beat-for 10|3")
  if [ "$order" = full-first ]; then entries=("${full[@]}" "${relaunch[@]}"); else entries=("${relaunch[@]}" "${full[@]}"); fi

  expected=$(
    printf 'encoding\tgbk\ntitle\t%s\nport\t%s\nbind\t\nentries\t%d\n' "$(dump_text 演示调度台)" "$port" "${#entries[@]}"
    local i=0 exe dir args delay
    for e in "${entries[@]}"; do
      IFS='|' read -r exe dir args delay <<<"$e"
      printf 'entry\t%d\t1\t%s\t%s\t%s\t%s\n' "$i" "$delay" "$(dump_text "$(winpath "$bindir/demo/$exe")")" \
        "$(dump_text "$(winpath "$rundir/$dir")")" "$args"
      i=$((i + 1))
    done
    printf 'plans\t2\n'
    if [ "$order" = full-first ]; then
      printf 'plan\t0\t0\t4\t%s\nplan\t1\t4\t2\t%s\n' "$(dump_text 全套演示)" "$(dump_text 重启与卡死)"
    else
      printf 'plan\t0\t0\t2\t%s\nplan\t1\t2\t4\t%s\n' "$(dump_text 重启与卡死)" "$(dump_text 全套演示)"
    fi
  )
  local dump
  dump=$(listcheck --dump "$(winpath "$list")")
  if [ "$dump" != "$expected" ]; then
    fail "$name: the launcher would read this list differently:"$'\n'"$(diff <(echo "$expected") <(echo "$dump"))"
  fi

  local report
  report=$(listcheck "$(winpath "$list")" | iconv -f GBK -t UTF-8)
  grep -q '^No warnings\.$' <<<"$report" || fail "$name: listcheck warns:"$'\n'"$report"
  if grep -q '^Surplus' <<<"$report"; then fail "$name: surplus:"$'\n'"$report"; fi

  for e in "${entries[@]}"; do
    IFS='|' read -r exe dir _ _ <<<"$e"
    [ -f "$bindir/demo/$exe" ] || fail "$name: $bindir/demo/$exe does not exist"
    [ -d "$rundir/$dir" ] || fail "$name: run directory $rundir/$dir was not made"
  done
}

check default 22225 full-first
check relaunch-first 22245 relaunch-first --port 22245 --relaunch-first

# A path that a bracketed field cannot hold is refused, not written wrong.
if "$root/scripts/demo-list" "$work/bad.list" "$bindir" "$work/run]dir" 2>/dev/null; then
  fail "a run directory with ']' was accepted"
fi
[ ! -e "$work/bad.list" ] || fail "a list was written for a run directory with ']'"

[ "$failures" -eq 0 ] && echo "demo list: ok"
exit "$failures"
