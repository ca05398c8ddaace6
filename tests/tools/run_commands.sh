#!/usr/bin/env bash
# ./run help names every command ./run has, exits 0 and touches nothing; an unknown command
# exits 2 with the list on standard error.
set -u
run=$1
fail=0
help=$("$run" help) || { echo "./run help exited $?"; fail=1; }
# The commands are the case labels of the script's last case statement.
commands=$(sed -n '/^case "\$command" in/,/^esac/p' "$run" | grep -oE '^    [a-z-]+( \| [a-z-]+)*\)' |
           tr -d ' )' | tr '|' '\n' | grep -v '^-')
[ -n "$commands" ] || { echo "no commands found in $run"; exit 1; }
for c in $commands; do
    grep -qE "^  $c( |$)" <<<"$help" || { echo "./run help does not list '$c'"; fail=1; }
done
err=$("$run" no-such-command 2>&1 >/dev/null)
rc=$?
[ $rc -eq 2 ] || { echo "an unknown command exited $rc, not 2"; fail=1; }
grep -q "unknown command 'no-such-command'" <<<"$err" || { echo "no message naming it: $err"; fail=1; }
grep -q "^  sim " <<<"$err" || { echo "no command list with it: $err"; fail=1; }
exit $fail
