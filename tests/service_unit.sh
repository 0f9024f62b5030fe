#!/bin/sh
# The service unit: systemd takes it without a word, its ExecStart pointed at this build's
# program; each instance reads an options file of its own, since no two can serve one port;
# an instance without a file of its own serves no page; and an instance whose start keeps
# failing reaches the start limit instead of restarting for ever.
set -u
unit=$1
program=$2
command -v systemd-analyze >/dev/null || { echo 'skipped: no systemd-analyze (Debian: systemd; .ci/run installs it)'; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

sed "s|/usr/bin/mcwatch|$program|" "$unit" >"$dir/mcwatch@.service"
out=$(cd "$dir" && systemd-analyze verify --man=no ./mcwatch@.service ./mcwatch@feeds.service 2>&1)
status=$?
[ "$status" = 0 ] && [ -z "$out" ] || { echo "$out"; echo "systemd-analyze verify: status $status"; exit 1; }

grep -qx 'AmbientCapabilities=CAP_NET_RAW' "$unit" ||
    { echo "the service cannot hear the links' queriers: raw sockets need CAP_NET_RAW"; exit 1; }

grep -qx 'EnvironmentFile=-/etc/default/mcwatch-%i' "$unit" ||
    { echo "no instance reads options of its own: every instance serves one port"; exit 1; }
# An instance without a file of its own serves no page: any default port would be every such
# instance's, and the second would fail to listen.
! grep -E '^Environment=.*--listen' "$unit" ||
    { echo "instances without options of their own share a default --listen"; exit 1; }

# Restarts that fail at once come RestartSec apart; the limit stops them where StartLimitBurst
# starts fall within StartLimitIntervalSec (systemd's defaults: 5 within 10 s, RestartSec 100 ms).
awk -F= '
    $1 == "RestartSec" { restart = $2 }
    $1 == "StartLimitBurst" { burst = $2 }
    $1 == "StartLimitIntervalSec" { interval = $2 }
    END {
        if (restart == "") restart = 0.1
        if (burst == "") burst = 5
        if (interval == "") interval = 10
        if ((burst - 1) * restart >= interval) {
            printf "a failing start restarts for ever: %d starts %s s apart never fall within %s s\n", burst, restart, interval
            exit 1
        }
    }' "$unit"
