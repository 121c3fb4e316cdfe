#!/usr/bin/env bash
# Starts (or stops) the Wine session the Windows self-extractor tests share:
# a virtual display, a Wine prefix kept in the build folder (made once, by
# "wineboot -i") and a wineserver that stays up, so that each test's Wine
# program starts in a moment instead of booting Wine again.
#
# Usage: wine_session.sh start|stop <folder>
# Writes <folder>/display (the X display number) and keeps the prefix in
# <folder>/prefix. Without wine64 it does nothing: the tests then skip.
set -euo pipefail

action=${1:?usage: wine_session.sh start|stop <folder>}
dir=${2:?usage: wine_session.sh start|stop <folder>}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

wine=$(command -v wine64 || true)
[[ -n "$wine" || ! -x /usr/lib/wine/wine64 ]] || wine=/usr/lib/wine/wine64
if [[ -z "$wine" ]]; then
    echo "wine64 is not installed: the Windows self-extractor tests will be skipped"
    exit 0
fi
server=$(dirname "$wine")/wineserver
[[ -x "$server" ]] || server=$(command -v wineserver || echo /usr/lib/wine/wineserver)

export WINEPREFIX="$dir/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

stop() {
    "$server" -k 2>/dev/null || true
    if [[ -f "$dir/xvfb.pid" ]]; then
        kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true
        rm -f "$dir/xvfb.pid"
    fi
    rm -f "$dir/display"
}

if [[ "$action" == stop ]]; then
    stop
    exit 0
fi

stop
# Every output of the servers goes to files: ctest waits for the test's own
# output to close, and the servers outlive this script.
: > "$dir/display"
setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$dir/display" </dev/null >"$dir/xvfb.log" 2>&1 &
echo $! > "$dir/xvfb.pid"
for _ in $(seq 1 100); do
    [[ -s "$dir/display" ]] && break
    sleep 0.1
done
[[ -s "$dir/display" ]] || { echo "Xvfb did not start"; cat "$dir/xvfb.log"; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' < "$dir/display")"

setsid "$server" -p </dev/null >"$dir/wineserver.log" 2>&1 &
# A Wine program started while the new wineserver is still setting up its
# folder in /tmp can fail ("chdir to /tmp/wine-...: No such file or
# directory"); Wine then asks to run the same command again.
boot() {
    if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
        echo "Making the Wine prefix $WINEPREFIX"
        "$wine" wineboot -i </dev/null >"$dir/wineboot.log" 2>&1
    else
        "$wine" wineboot </dev/null >"$dir/wineboot.log" 2>&1
    fi
}
for try in 1 2 3; do
    boot && break
    if [[ $try == 3 ]]; then
        cat "$dir/wineboot.log"
        exit 1
    fi
    sleep 1
    # The server may have ended with the failure; one that runs already
    # leaves this one to end at once.
    setsid "$server" -p </dev/null >>"$dir/wineserver.log" 2>&1 &
done
echo "Wine is ready on display $DISPLAY"
