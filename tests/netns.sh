#!/bin/sh
# Runs a command in a private network namespace made for it, where lo carries multicast, so
# that no test datagram can ever reach a real network. Exits 77 (skipped) where unprivileged
# namespaces are not allowed.
#
# Wine creates a program's sockets in its wineserver, and one wineserver serves every program
# of a Wine prefix: a wineserver started for another namespace would put the sockets on the
# wrong network. So where the tests' Wine prefix exists, each namespace gets a copy of its own.
if ! unshare -rn true 2>/dev/null; then
    echo "skipped: cannot make a private network namespace here" >&2
    exit 77
fi
template="${MCWATCH_WINEPREFIX:-${TMPDIR:-/tmp}/mcwatch-wine-$(id -u)}"
private=""
if [ -d "$template" ] && [ -z "${MCWATCH_NETNS_PREFIX:-}" ]; then
    private=$(mktemp -d "${TMPDIR:-/tmp}/mcwatch-wine-ns.XXXXXX")
    cp -a "$template"/. "$private"/
    export MCWATCH_WINEPREFIX="$private" MCWATCH_NETNS_PREFIX=1
fi
# The namespace's wineserver and Wine's own services are started up front, away from the
# tests' output (a service started by a test's program would hold that program's output open),
# and ended after.
status=0
unshare -rn sh -c 'ip link set lo up && ip link set lo multicast on &&
    ip route add 224.0.0.0/4 dev lo || exit 1
    server=/usr/lib/wine/wineserver
    if [ -n "${MCWATCH_NETNS_PREFIX:-}" ]; then
        WINEPREFIX=$MCWATCH_WINEPREFIX $server -p >/dev/null 2>&1
        WINEPREFIX=$MCWATCH_WINEPREFIX WINEDEBUG=-all /usr/lib/wine/wine64 cmd /c exit \
            </dev/null >/dev/null 2>&1
    fi
    "$@"
    status=$?
    [ -z "${MCWATCH_NETNS_PREFIX:-}" ] || WINEPREFIX=$MCWATCH_WINEPREFIX $server -k >/dev/null 2>&1
    exit $status' sh "$@" || status=$?
[ -z "$private" ] || rm -rf "$private"
exit $status
