#!/bin/sh
# Builds the Debian package from a build tree, unpacks it into a temporary root, and runs both
# programs from there: the usage line, the version, and one datagram from one to the other.
set -eu
build=$1
tests=$2
command -v cpack >/dev/null && command -v dpkg >/dev/null || { echo "skipped: no cpack or dpkg"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/out" >/dev/null)
deb=$(ls "$work"/out/*.deb)
dpkg-deb --info "$deb" | grep -q "Package: mcwatch"
dpkg -x "$deb" "$work/root"
for file in usr/bin/mcwatch usr/bin/mcfeed usr/share/man/man1/mcwatch.1 usr/share/man/man1/mcfeed.1 \
    usr/lib/systemd/system/mcwatch@.service usr/share/mcwatch/prometheus/mcwatch-rules.yml \
    usr/share/bash-completion/completions/mcwatch usr/share/bash-completion/completions/mcfeed; do
    [ -f "$work/root/$file" ] || { echo "missing from the package: $file"; exit 1; }
done

status=0
"$work/root/usr/bin/mcwatch" 2>"$work/usage" || status=$?
[ "$status" = 255 ] || { echo "mcwatch without arguments exited $status"; exit 1; }
grep -q "\[error\] .*mcwatch \[-g\] \[-f\] \[-s <period(ms)>\] <host> <port> \[<source_host>\]" "$work/usage"
"$work/root/usr/bin/mcfeed" --version | grep -qx "mcfeed 1.0.0"

cat >"$work/pair.sh" <<'INNER'
root=$1
"$root/usr/bin/mcwatch" 239.1.2.3 45000 >"$root/../watch" 2>&1 &
pid=$!
sleep 0.3
"$root/usr/bin/mcfeed" -q -b 127.0.0.1 -n 3 -r 100 239.1.2.3 45000 >/dev/null
sleep 0.3
kill -INT $pid
wait $pid
INNER
"$tests/netns.sh" sh "$work/pair.sh" "$work/root"
grep -q "UDP, length 64, seq 2$" "$work/watch" || { cat "$work/watch"; exit 1; }
echo "package $(basename "$deb") installs and runs"
