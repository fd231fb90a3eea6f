#!/usr/bin/env bash
# The metrics file against the real monitoring tools: Morvastel.exe runs a
# small plan under Wine with /m into a folder; prometheus-node-exporter
# publishes that folder with its textfile collector (Linux reads the file the
# Windows program wrote: Wine's Z: is /); a prometheus server with the
# shipped alert rules scrapes it. Prometheus' HTTP API must then show the
# program's own exits and its hang kill counted, no textfile scrape error,
# the plan supervising and the hang-kill alert firing. A second launcher,
# whose list (LF line ends) gives no plan, writes into a second exporter's
# folder: its list gauges must say so, the no-plans alert must fire and the
# no-plan-running alert must be on its way. The servers and the launchers
# are stopped at the end, whatever happened.
#   check-monitoring.sh BINDIR WORKDIR WINE_LOADER WINE_ARCH
set -uo pipefail
bindir=$1 work=$2 loader=$3 arch=$4
root=$(cd "$(dirname "$0")/../.." && pwd)

for tool in prometheus promtool prometheus-node-exporter; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAILED: $tool is missing; scripts/deps installs the packages prometheus and" \
         "prometheus-node-exporter, so the install step broke" >&2
    exit 1
  fi
done

rm -rf "$work"
mkdir -p "$work/textfile" "$work/textfile-empty" "$work/tsdb"
prefix=$work/wineprefix
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  WINEPREFIX=$prefix "$(dirname "$loader")/wineserver" -k 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT

free_port() {  # $1: tcp or udp
  python3 -c 'import socket,sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1] == "udp" else socket.SOCK_STREAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' "$1"
}
exporter_port=$(free_port tcp)
empty_exporter_port=$(free_port tcp)
prometheus_port=$(free_port tcp)
beat_port=$(free_port udp)
empty_beat_port=$(free_port udp)

wine() { MORVASTEL_WINE_DESKTOP=1280x800 "$root/cmake/wine-run.sh" "$prefix" "$loader" "$arch" "$@"; }
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# One program falls silent after a second of heartbeats; one exits with
# code 7 every two seconds. Plan 监控, GBK like every list.
helpers=$(winpath "$bindir/helpers")
list=$work/monitoring.list
{
  printf '::%s\r\n' "$(printf '监控' | iconv -f UTF-8 -t GBK)"
  printf '1 %s\\recorder.exe %s [%s beat %s 200 1000] 0\r\n' "$helpers" "$helpers" "$(winpath "$work/silent.log")" "$beat_port"
  printf '1 %s\\recorder.exe %s [%s exit 2000 7] 0\r\n' "$helpers" "$helpers" "$(winpath "$work/exiting.log")"
} >"$list"

wine "$bindir/Morvastel.exe" /r /p "$beat_port" /f "$(winpath "$list")" \
  /m "$(winpath "$work/textfile/morvastel.prom")" >/dev/null 2>&1 &
pids+=($!)
if ! wine "$bindir/demo/DemoControl.exe" wait 60 >/dev/null || ! wine "$bindir/demo/DemoControl.exe" interval 15 >/dev/null; then
  echo "FAILED: the launcher's window did not appear" >&2
  exit 1
fi

# The second launcher, started once the first one's window has been worked,
# with the guide's list that has LF line ends.
wine "$bindir/Morvastel.exe" /n no-plans /p "$empty_beat_port" /f "$(winpath "$root/docs/lists/lf-only.list")" \
  /m "$(winpath "$work/textfile-empty/morvastel.prom")" >/dev/null 2>&1 &
pids+=($!)

for folder_port in "textfile:$exporter_port" "textfile-empty:$empty_exporter_port"; do
  prometheus-node-exporter --web.listen-address="127.0.0.1:${folder_port#*:}" --collector.disable-defaults \
    --collector.textfile --collector.textfile.directory="$work/${folder_port%%:*}" >>"$work/exporter.log" 2>&1 &
  pids+=($!)
done
cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  evaluation_interval: 1s
rule_files:
  - $root/docs/monitoring/morvastel-alerts.yml
scrape_configs:
  - job_name: morvastel
    static_configs:
      - targets: ['127.0.0.1:$exporter_port', '127.0.0.1:$empty_exporter_port']
YML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
  --web.listen-address="127.0.0.1:$prometheus_port" >"$work/prometheus.log" 2>&1 &
pids+=($!)

api="http://127.0.0.1:$prometheus_port/api/v1"
# The value of an instant query's first result, or nothing.
query() {
  curl -s --max-time 5 "$api/query" --data-urlencode "query=$1" |
    python3 -c 'import json,sys
try:
    r = json.load(sys.stdin)["data"]["result"]
    print(r[0]["value"][1] if r else "")
except Exception:
    print("")'
}
# The state ("pending", "firing") of alert $1 for the instance whose address
# ends in port $2, or nothing.
alert_state() {
  curl -s --max-time 5 "$api/alerts" | python3 -c 'import json,sys
try:
    alerts = json.load(sys.stdin)["data"]["alerts"]
except Exception:
    alerts = []
print(next((a["state"] for a in alerts
            if a["labels"]["alertname"] == sys.argv[1] and a["labels"].get("instance", "").endswith(":" + sys.argv[2])), ""))' "$1" "$2"
}

exits="" kills="" scrape_error="" firing="" supervising="" plans="" read="" no_plans="" not_running=""
empty="instance=\"127.0.0.1:$empty_exporter_port\""
for _ in $(seq 1 90); do
  exits=$(query 'sum(morvastel_program_exits_total)')
  kills=$(query 'sum(morvastel_program_hang_kills_total)')
  scrape_error=$(query 'max(node_textfile_scrape_error)')
  supervising=$(query "morvastel_plan_supervising{instance=\"127.0.0.1:$exporter_port\"}")
  plans=$(query "morvastel_list_plans{$empty}")
  read=$(query "morvastel_list_read{$empty}")
  firing=$(alert_state MorvastelProgramHangKilled "$exporter_port")
  no_plans=$(alert_state MorvastelListGaveNoPlans "$empty_exporter_port")
  not_running=$(alert_state MorvastelPlanNotRunning "$empty_exporter_port")
  if [ -n "$exits" ] && [ "${exits%.*}" -ge 1 ] && [ -n "$kills" ] && [ "${kills%.*}" -ge 1 ] && [ "$scrape_error" = 0 ] &&
     [ "$firing" = firing ] && [ "$supervising" = 1 ] && [ "$plans" = 0 ] && [ "$no_plans" = firing ] &&
     [ -n "$not_running" ]; then
    break
  fi
  sleep 1
done
echo "sum(morvastel_program_exits_total) = $exits"
echo "sum(morvastel_program_hang_kills_total) = $kills"
echo "max(node_textfile_scrape_error) = $scrape_error"
echo "morvastel_plan_supervising = $supervising"
echo "MorvastelProgramHangKilled: ${firing:-not raised}"
echo "morvastel_program_last_exit_code{row=\"2\"} = $(query 'morvastel_program_last_exit_code{row="2"}')"
echo "list with no plans: morvastel_list_read = $read, morvastel_list_plans = $plans"
echo "list with no plans: MorvastelListGaveNoPlans ${no_plans:-not raised}, MorvastelPlanNotRunning ${not_running:-not raised}"

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }
[ -n "$exits" ] && [ "${exits%.*}" -ge 1 ] || fail "the program's own exits were not counted"
[ -n "$kills" ] && [ "${kills%.*}" -ge 1 ] || fail "the hang kill was not counted"
[ "$scrape_error" = 0 ] || fail "the textfile collector could not read a file"
[ "$supervising" = 1 ] || fail "the running plan was not shown supervising"
[ "$firing" = firing ] || fail "the hang-kill alert did not fire"
[ "$read" = 1 ] && [ "$plans" = 0 ] || fail "the list with LF line ends was not shown read and without plans"
[ "$no_plans" = firing ] || fail "the no-plans alert did not fire"
[ -n "$not_running" ] || fail "the no-plan-running alert was not raised for the list without plans"
for file in "$work/textfile/morvastel.prom" "$work/textfile-empty/morvastel.prom"; do
  promtool check metrics <"$file" || fail "promtool rejects $file"
done
[ "$failures" -eq 0 ] || { tail -n 20 "$work/exporter.log" "$work/prometheus.log" >&2; exit 1; }
echo "monitoring: ok"
