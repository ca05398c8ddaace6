#!/usr/bin/env bash
# The deliverables and the renderer include only platform headers and never each other; the
# platform includes nothing of ours. Include paths enforce most of it; this catches relative includes that climb.
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
check render '\.\./|library/|settings-pane/|sim/|phoned/|NSTimer|Orvella|Telephony|ExternalFunctions|PreferencesController|MainViewController|FK_HDTools'
check program '\.\./|library/|settings-pane/|sim/|render/|phoned/|OrvellaNames'
check platform '\.\./|library/|settings-pane/|sim/|render/|phoned/|NSTimer|Orvella|Telephony|ExternalFunctions|PreferencesController|MainViewController|FK_HDTools'
# phoned/ is a layer like sim/: platform headers, and of the tweak only its constants-only header.
hits=$(grep -rnE '^\s*#\s*include\s*["<](\.\./|settings-pane/|sim/|render/|library/|tests/)' phoned \
    --include='*.h' --include='*.cpp' 2>/dev/null | grep -vE '#\s*include\s*"library/OrvellaNames\.h"')
if [ -n "$hits" ]; then
    echo "forbidden include in phoned:"
    echo "$hits"
    status=1
fi
# sim/ loads the deliverables with dlopen; of their sources it sees exactly one header, the
# constants of library/OrvellaNames.h, through an include folder that holds only that file.
others=$(cd library && ls *.h; cd ../settings-pane && ls *.h 2>/dev/null)
names=$(printf '%s\n' $others | grep -vx 'OrvellaNames.h' | sed 's/[.+]/\\&/g' | paste -sd'|')
check sim "\\.\\./|library/|settings-pane/|${names}"
[ $status -eq 0 ] && echo "dependency rule holds"
exit $status
