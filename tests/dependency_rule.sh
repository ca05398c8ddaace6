#!/usr/bin/env bash
# The deliverables include only platform headers and never each other; the platform includes
# nothing of ours. Include paths enforce most of it; this catches relative includes that climb.
set -u
cd "$(dirname "$0")/.."
status=0
check() {  # folder, pattern of forbidden includes
    local hits
    hits=$(grep -rnE "^\s*#\s*include\s*[\"<]($2)" "$1" --include='*.h' --include='*.cpp' 2>/dev/null)
    if [ -n "$hits" ]; then
        echo "forbidden include in $1:"
        echo "$hits"
        status=1
    fi
}
check library '\.\./|settings-pane/|sim/|library/'
check settings-pane '\.\./|library/|sim/|settings-pane/'
check platform '\.\./|library/|settings-pane/|sim/|NSTimer|Orvella|Telephony|ExternalFunctions|PreferencesController|MainViewController|FK_HDTools'
# sim/ loads the deliverables with dlopen; of their sources it sees exactly one header, the
# constants of library/OrvellaNames.h, through an include folder that holds only that file.
others=$(cd library && ls *.h; cd ../settings-pane && ls *.h 2>/dev/null)
names=$(printf '%s\n' $others | grep -vx 'OrvellaNames.h' | sed 's/[.+]/\\&/g' | paste -sd'|')
check sim "\\.\\./|library/|settings-pane/|${names}"
[ $status -eq 0 ] && echo "dependency rule holds"
exit $status
