#!/usr/bin/env bash
# scripts/deps against a package manager that misbehaves: apt-get, dpkg-query,
# dpkg, id and locale are stand-ins on PATH that record what they were asked.
# While the mirror's update fails, deps must try the update
# MORVASTEL_UPDATE_TRIES times, install anyway, and succeed when the install
# does; when the install fails it must exit non-zero naming the packages still
# missing; with nothing missing it must not call apt-get at all.
# Ends with "deps test: ok" or the failures (status 1).
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "deps test FAILED: $*" >&2; failures=$((failures + 1)); }

stubs=$work/bin
mkdir -p "$stubs"
# State: $work/missing lists the packages not installed, $work/calls every
# apt-get call. STUB_UPDATE_FAILS: "always" or how many updates fail first;
# STUB_INSTALL=fail leaves everything missing.
cat >"$stubs/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
case $1 in
  update)
    n=$(grep -c '^apt-get update' "$STUB/calls")
    [ "$STUB_UPDATE_FAILS" = always ] || [ "$n" -le "$STUB_UPDATE_FAILS" ] && exit 100
    exit 0 ;;
  install)
    [ "${STUB_INSTALL:-}" = fail ] && exit 100
    : >"$STUB/missing"
    exit 0 ;;
esac
exit 0
EOF
cat >"$stubs/dpkg-query" <<'EOF'
#!/usr/bin/env bash
package=${!#}
if grep -qxF "$package" "$STUB/missing"; then echo "unknown ok not-installed"; exit 1; fi
echo "install ok installed"
EOF
printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo i386\nexit 0\n' >"$stubs/dpkg"
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
printf '#!/bin/sh\nprintf "C.utf8\\nen_US.utf8\\nzh_CN.utf8\\n"\n' >"$stubs/locale"
chmod +x "$stubs"/*

# run NAME UPDATE_FAILS INSTALL MISSING...: runs deps; its status in $status,
# its output in $work/NAME.out.
run() {
  local name=$1 update=$2 install=$3
  shift 3
  : >"$work/calls"
  printf '%s\n' "$@" >"$work/missing"
  PATH="$stubs:$PATH" STUB=$work STUB_UPDATE_FAILS=$update STUB_INSTALL=$install \
    MORVASTEL_UPDATE_TRIES=3 MORVASTEL_UPDATE_PAUSE=0 "$root/scripts/deps" >"$work/$name.out" 2>&1
  status=$?
}
updates() { grep -c '^apt-get update' "$work/calls"; }
installs() { grep '^apt-get install' "$work/calls"; }

# The mirror is mid-sync for good: three updates, then the install, which works.
run mirror always ok xdotool prometheus
[ "$status" -eq 0 ] || fail "a working install after failed updates gave status $status: $(cat "$work/mirror.out")"
[ "$(updates)" -eq 3 ] || fail "the update was tried $(updates) times, not 3"
installs | grep -q ' xdotool prometheus$' || fail "the install did not ask for the missing packages: $(installs)"

# It recovers on the second try: no third update.
run recovers 1 ok xdotool
[ "$status" -eq 0 ] && [ "$(updates)" -eq 2 ] || fail "an update that works on the 2nd try: status $status, $(updates) updates"

# The install fails too: non-zero, naming what is still missing.
run broken always fail xdotool prometheus
[ "$status" -ne 0 ] || fail "a failed install gave status 0"
[ "$(updates)" -eq 3 ] && [ -n "$(installs)" ] || fail "a failed install: $(updates) updates, install: $(installs)"
grep -q 'could not be installed: xdotool prometheus' "$work/broken.out" ||
  fail "a failed install did not name the packages: $(cat "$work/broken.out")"

# Everything is there: apt-get is left alone.
run installed always ok
[ "$status" -eq 0 ] && [ ! -s "$work/calls" ] || fail "nothing missing: status $status, calls: $(cat "$work/calls")"

[ "$failures" -eq 0 ] && echo "deps test: ok"
[ "$failures" -eq 0 ]
