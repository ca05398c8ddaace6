#!/usr/bin/env bash
# check_arm64_daemon.sh DEB: the arm64 orvella-phoned of DEB runs under qemu-user on this
# machine, with the arm64 libraries installed through multiarch (qemu finds the arm64 loader
# and libraries where a phone has them): its help; its settings command, which loads the
# package's arm64 settings pane; and a call answered by a 1 s cover at medium speed against the
# real services (tests/phoned/test_real_services.py). Exits 1 with what went wrong if not.
set -uo pipefail
deb=${1:?usage: check_arm64_daemon.sh DEB}
say() { printf 'check_arm64_daemon: %s\n' "$*" >&2; }

qemu=$(command -v qemu-aarch64-static) || { say "qemu-aarch64-static is not installed"; exit 1; }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvella-arm64-XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch/root" || { say "$deb: cannot unpack it"; exit 1; }
phoned=$scratch/root/usr/bin/orvella-phoned
machine=$(od -An -j18 -N2 -tu2 "$phoned" | tr -d ' ')
[ "$machine" = 183 ] || { say "$phoned is not an arm64 program (ELF machine $machine)"; exit 1; }

fail() {  # what output
    say "the arm64 daemon failed: $1"
    printf '%s\n' "$2" | sed 's/^/  /' >&2
    exit 1
}
out=$("$qemu" "$phoned" --help 2>&1) || fail "orvella-phoned --help exited $?" "$out"
[[ $out == "usage: orvella-phoned"* ]] || fail "orvella-phoned --help printed no usage" "$out"
run_settings() {
    env -u DBUS_SESSION_BUS_ADDRESS HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" \
        "$qemu" "$phoned" settings "$@" 2>&1
}
out=$(run_settings --locked 3 --speed fast) || fail "orvella-phoned settings --locked 3 exited $?" "$out"
out=$(run_settings) || fail "orvella-phoned settings exited $?" "$out"
grep -qx 'Wave speed: Fast' <<<"$out" && grep -qx 'Waves when locked: Three times' <<<"$out" ||
    fail "orvella-phoned settings does not show the settings just made" "$out"

# The real-services suite starts the daemon as ORVELLA_PHONED: a script that runs it under qemu.
printf '#!/bin/sh\nexec %q %q "$@"\n' "$qemu" "$phoned" >"$scratch/orvella-phoned"
chmod +x "$scratch/orvella-phoned"
tests=$(cd "$(dirname "$0")/../tests/phoned" && pwd)
case=test_real_services.Calls.test_a_one_second_cover_at_medium_answers_once
out=$(cd "$tests" && env PYTHONDONTWRITEBYTECODE=1 TMPDIR="$scratch" \
          ORVELLA_PHONED="$scratch/orvella-phoned" \
          ORVELLA_PACKAGE="$scratch/root/usr/lib/aarch64-linux-gnu/orvella/package" \
          /usr/bin/python3 -m unittest "$case" 2>&1) || fail "the real-services call failed" "$out"
say "the arm64 daemon runs under qemu-user: --help, settings, and a call answered against the real services"
