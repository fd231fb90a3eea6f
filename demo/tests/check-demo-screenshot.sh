#!/usr/bin/env bash
# The demo's screenshot (scripts/demo-lib's demo_screenshot, which scripts/run
# uses) shows the launcher's window, even while its plan keeps opening console
# windows where the window is: two rows of a program that exits after a
# second are started again and again, each time in a new console window over
# the launcher's. Three pictures are taken;
# in each, where the launcher's window is, the picture must be the dialog's
# light face and not a console's black.
#   check-demo-screenshot.sh BINDIR WORKDIR WINE_LOADER WINE_ARCH
# In a display and a Wine prefix of its own, so no other test's windows lie
# over it.
set -uo pipefail
bindir=$1 work=$2 demo_loader=$3 demo_arch=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=$work/prefix
rm -rf "$work/run" "$work"/shot-*.png
mkdir -p "$work/run"
unset DISPLAY
. "$root/scripts/xvfb-env"
. "$root/scripts/demo-lib"
trap 'demo_end_prefix; kill "$MORVASTEL_XVFB_PID" 2>/dev/null' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Two rows of a program that exits after a second: a new console about every
# half second, each over the launcher for a second.
list=$work/screenshot.list
brief=$(demo_winpath "$bindir/demo/BriefWorker.exe")
printf '/n 截图\n/p 22285\n::截图\n1 [%s] [%s] [--exit-after 1] 0\n1 [%s] [%s] [--exit-after 1] 0\n' \
  "$brief" "$(demo_winpath "$work/run")" "$brief" "$(demo_winpath "$work/run")" |
  sed 's/$/\r/' | iconv -f UTF-8 -t GBK >"$list"

demo_end_prefix
demo_wine "$bindir/Morvastel.exe" /r /f "$(demo_winpath "$list")" >/dev/null 2>&1 &
demo_control wait 60 >/dev/null || fail "no launcher window"
demo_wait_for_line "$work/run/BriefWorker.log" 30 'started \(instance 4\)' || fail "BriefWorker was not started again"
demo_control show >/dev/null
sleep 1

for n in 1 2 3; do
  shot=$work/shot-$n.png
  window=$(demo_screenshot "$shot") || fail "picture $n: demo_screenshot failed"
  read -r x y w h _ < <(demo_x_place "$window")
  light=$(convert "$shot" -crop "${w}x${h}+${x}+${y}" +repage -colorspace Gray -format '%[fx:mean>0.6]' info:)
  [ "$light" = 1 ] || fail "picture $n ($shot): the launcher's window ${w}x${h}+${x}+${y} is covered"
  sleep 0.7
done
echo "demo screenshot: ok"
