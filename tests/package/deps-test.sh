#!/usr/bin/env bash
# scripts/deps against a package manager that misbehaves: apt-get, apt-cache,
# dpkg-query, dpkg, id and locale are stand-ins on PATH that record what they
# were asked. While the mirror's update fails, deps must try the update
# MORVASTEL_UPDATE_TRIES times, install anyway, and succeed when the install
# does; when the install fails it must exit non-zero naming the packages still
# missing; with nothing missing it must not call apt-get at all. wine32 is
# installed on its own, after the rest: when it fails, deps tries it once more
# without the suite whose index could not be read, and when that fails too it
# still exits 0 and says the win32 suites will be skipped.
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
# apt-get call. STUB_UPDATE_FAILS: "always" or how many updates fail first,
# each on the security suite's i386 index; STUB_INSTALL=fail leaves the
# packages missing; STUB_WINE32: "ok", "fail", or "narrow" (installs only
# without the security suite and with the amd64 library taken back to 1.0).
cat >"$stubs/apt-get" <<'EOF'
#!/usr/bin/env bash
echo "apt-get $*" >>"$STUB/calls"
case " $* " in
  *" update "*)
    n=$(grep -c '^apt-get update' "$STUB/calls")
    if [ "$STUB_UPDATE_FAILS" = always ] || [ "$n" -le "$STUB_UPDATE_FAILS" ]; then
      echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz" \
           " File has unexpected size (375 != 380). Mirror sync in progress?" >&2
      exit 100
    fi
    exit 0 ;;
  *" wine32:i386 "*)
    case $STUB_WINE32 in
      fail) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
      narrow)
        parts=$(sed -n 's/.*Dir::Etc::sourceparts=\([^ ]*\).*/\1/p' <<<"$*")
        if [ -z "$parts" ] || [[ " $* " != *" libgst:amd64=1.0 "* ]]; then
          echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100
        fi
        cat "$parts"/* >"$STUB/narrowed" ;;
    esac ;;
  *" install "*) [ "${STUB_INSTALL:-}" = fail ] && exit 100 ;;
esac
for p in "$@"; do grep -vxF "${p%%=*}" "$STUB/missing" >"$STUB/missing.new"; mv "$STUB/missing.new" "$STUB/missing"; done
exit 0
EOF
# wine32's dependencies hold one library that must match its amd64 build,
# installed at 1.1 while the narrower suites have 1.0.
cat >"$stubs/apt-cache" <<'EOF'
#!/usr/bin/env bash
case " $* " in
  *" depends "*) printf 'wine32:i386\n  Depends: libgst:i386\nlibgst:i386\nlibother:i386\n' ;;
  *" policy "*) printf 'libgst:i386:\n  Installed: (none)\n  Candidate: 1.0\n' ;;
esac
EOF
cat >"$stubs/dpkg-query" <<'EOF'
#!/usr/bin/env bash
if [ $# -eq 2 ]; then printf 'libgst amd64 same ii 1.1\nlibother amd64 foreign ii 2.0\n'; exit 0; fi
package=${!#}
if grep -qxF "$package" "$STUB/missing"; then echo "unknown ok not-installed"; exit 1; fi
echo "install ok installed"
EOF
printf '#!/bin/sh\n[ "$1" = --print-foreign-architectures ] && echo i386\nexit 0\n' >"$stubs/dpkg"
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
printf '#!/bin/sh\nprintf "C.utf8\\nen_US.utf8\\nzh_CN.utf8\\n"\n' >"$stubs/locale"
chmod +x "$stubs"/*
mkdir -p "$work/etc/sources.list.d"
printf 'Types: deb\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\n\nTypes: deb\nURIs: %s\nSuites: bookworm-security\n' \
  http://deb.debian.org/debian-security >"$work/etc/sources.list.d/debian.sources"
cp "$work/etc/sources.list.d/debian.sources" "$work/sources.before"

# run NAME UPDATE_FAILS INSTALL MISSING...: runs deps on a kernel that runs
# 32-bit programs (RUNS_32BIT=no: one that does not), wine32 installing as
# STUB_WINE32 says (ok unless set); its status in $status, its output in
# $work/NAME.out, the skip note it leaves in $work/NAME.note.
run() {
  local name=$1 update=$2 install=$3
  shift 3
  : >"$work/calls"
  rm -f "$work/narrowed"
  printf '%s\n' "$@" >"$work/missing"
  PATH="$stubs:$PATH" STUB=$work STUB_UPDATE_FAILS=$update STUB_INSTALL=$install STUB_WINE32=${STUB_WINE32:-ok} \
    MORVASTEL_32BIT=${RUNS_32BIT:-yes} MORVASTEL_APT_ETC=$work/etc MORVASTEL_WINE32_NOTE=$work/$name.note \
    MORVASTEL_UPDATE_TRIES=3 MORVASTEL_UPDATE_PAUSE=0 "$root/scripts/deps" >"$work/$name.out" 2>&1
  status=$?
}
updates() { grep -c '^apt-get update' "$work/calls"; }
installs() { grep '^apt-get.* install' "$work/calls"; }

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

# The day seen on a fresh machine: the security suite's i386 index fails and
# wine32 cannot be installed at all. The rest is installed first, in a call of
# its own; wine32 is tried alone, then once more without the security suite;
# then deps says the win32 suites will be skipped and exits 0. Every install
# keeps --no-remove, and apt's sources are as they were.
STUB_WINE32=fail run blocked always ok xdotool wine32:i386
[ "$status" -eq 0 ] || fail "a wine32 that cannot be installed gave status $status: $(cat "$work/blocked.out")"
installs | grep -q ' xdotool$' || fail "the rest was not installed on its own: $(installs)"
[ "$(installs | grep -c ' wine32:i386')" -eq 2 ] || fail "wine32 was not tried twice, alone: $(installs)"
if installs | grep -v -- '--no-remove' | grep -q .; then fail "an install without --no-remove: $(installs)"; fi
grep -q 'win32 suites will be skipped' "$work/blocked.note" 2>/dev/null ||
  fail "no skip note: $(cat "$work/blocked.out")"
cmp -s "$work/sources.before" "$work/etc/sources.list.d/debian.sources" || fail "apt's sources were changed"

# The second try works: it reads the other suites but not the security one,
# takes the amd64 library back to the i386 version, and nothing is skipped.
STUB_WINE32=narrow run narrow always ok wine32:i386
[ "$status" -eq 0 ] && [ ! -e "$work/narrow.note" ] ||
  fail "a narrowed wine32 install: status $status, $(cat "$work/narrow.out")"
if [ "$(grep -B 3 'bookworm-security' "$work/narrowed" 2>/dev/null | grep -c '^Enabled: no')" -ne 1 ]; then
  fail "the second try did not leave the security suite out: $(cat "$work/narrowed" 2>/dev/null)"
fi
grep -q '^Suites: bookworm bookworm-updates$' "$work/narrowed" 2>/dev/null ||
  fail "the second try lost the other suites: $(cat "$work/narrowed" 2>/dev/null)"
installs | tail -n 1 | grep -q -- '--allow-downgrades' || fail "the second try allowed no downgrade: $(installs)"

# A kernel that cannot run 32-bit programs: wine32 is not asked for.
RUNS_32BIT=no run no32 always ok xdotool wine32:i386
if [ "$status" -ne 0 ] || installs | grep -q wine32; then fail "wine32 asked for on a 64-bit-only kernel: $(installs)"; fi

[ "$failures" -eq 0 ] && echo "deps test: ok"
[ "$failures" -eq 0 ]
