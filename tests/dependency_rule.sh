#!/usr/bin/env bash
# The deliverables and the renderer include only platform headers and never each other; the
# platform includes nothing of ours (not the simulated phone's protocol either), and each of its
# parts only itself and the parts below it; the protocol includes only the platform; no
# production code includes what only tests use (testing.h). Include paths enforce most of it;
# this also catches relative includes that climb.
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
check platform '\.\./|library/|settings-pane/|sim/|render/|phoned/|protocol/|program/|NSTimer|Orvella|Telephony|ExternalFunctions|PreferencesController|MainViewController|FK_HDTools'
check protocol '\.\./|library/|settings-pane/|sim/|render/|phoned/|program/|OrvellaNames'
# The platform's parts, lowest first: a part's sources (platform/PART/) and headers
# (platform/include/platform/PART/) include only headers of their own part and of the parts
# below. A part's testing.h is included by no header and by no source of another part (its
# own sources define what it declares); the umbrella platform/testing.h by no part at all.
parts=(core files values loop bus notify devices ui hosts)
for i in "${!parts[@]}"; do
    part=${parts[$i]}
    allowed=$(printf '%s\n' "${parts[@]:0:$((i + 1))}" | paste -sd'|')
    hits=$(grep -rnE '^\s*#\s*include\s*"platform/' "platform/$part" "platform/include/platform/$part" \
        --include='*.h' --include='*.cpp' 2>/dev/null |
        grep -vE "#\s*include\s*\"platform/($allowed)/[^/\"]+\"")
    hits+=$(grep -rnE '^\s*#\s*include\s*"platform/[a-z]+/testing\.h"' "platform/$part" \
        "platform/include/platform/$part" --include='*.h' --include='*.cpp' 2>/dev/null |
        grep -vE "^platform/$part/[^:]+\.cpp:[0-9]+:\s*#\s*include\s*\"platform/$part/testing\.h\"")
    if [ -n "$hits" ]; then
        echo "forbidden include in platform part $part (it sees ${allowed//|/, }; testing.h only its own, in its sources):"
        echo "$hits"
        status=1
    fi
done
# What only tests use stays out of every production folder.
hits=$(grep -rnE '^\s*#\s*include\s*"platform/([a-z]+/)?testing\.h"' library settings-pane render program sim \
    phoned protocol --include='*.h' --include='*.cpp' 2>/dev/null)
if [ -n "$hits" ]; then
    echo "production code includes what only tests use:"
    echo "$hits"
    status=1
fi
# phoned/ is a layer like sim/: platform headers, and of the tweak only its constants-only header;
# the simulated phone's protocol is not its business.
hits=$(grep -rnE '^\s*#\s*include\s*["<](\.\./|settings-pane/|sim/|render/|library/|tests/|protocol/)' phoned \
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
