#!/usr/bin/env bash
# leaves_no_temp.sh COMMAND [ARG...]: runs COMMAND with TMPDIR set to an empty folder of its
# own and fails when the command fails or leaves anything in that folder. The folder itself is
# made and removed here, so the check leaves nothing either.
set -u
if [ $# -eq 0 ]; then
    echo "usage: $0 COMMAND [ARG...]" >&2
    exit 2
fi
dir=$(mktemp -d "${TMPDIR:-/tmp}/orvella-leftovers.XXXXXX") || exit 2
trap 'rm -rf "$dir"' EXIT
TMPDIR=$dir "$@"
status=$?
if [ $status -ne 0 ]; then
    echo "leaves_no_temp: $1 failed (exit status $status)" >&2
    exit $status
fi
left=$(cd "$dir" && ls -A)
if [ -n "$left" ]; then
    echo "leaves_no_temp: $1 left these in TMPDIR:" >&2
    printf '  %s\n' $left >&2
    exit 1
fi
