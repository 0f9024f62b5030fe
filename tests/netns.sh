#!/bin/sh
# Runs a command in a private network namespace made for it, where lo carries multicast, so
# that no test datagram can ever reach a real network. Exits 77 (skipped) where unprivileged
# namespaces are not allowed.
if ! unshare -rn true 2>/dev/null; then
    echo "skipped: cannot make a private network namespace here" >&2
    exit 77
fi
exec unshare -rn sh -c 'ip link set lo up && ip link set lo multicast on &&
    ip route add 224.0.0.0/4 dev lo && exec "$@"' sh "$@"
