#!/bin/sh
# Runs a Windows program under Wine, in a Wine prefix of its own (made on first use: that takes
# about 20 seconds) so that nothing of a user's own prefix is touched. Exits 77 (skipped) when
# Wine is not installed.
wine=$(command -v wine64 || true)
[ -n "$wine" ] || [ ! -x /usr/lib/wine/wine64 ] || wine=/usr/lib/wine/wine64
if [ -z "$wine" ]; then
    echo "skipped: wine64 is not installed" >&2
    exit 77
fi
export WINEPREFIX="${MCWATCH_WINEPREFIX:-${TMPDIR:-/tmp}/mcwatch-wine-$(id -u)}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# The tests keep each program's exit status where Wine's server cannot take it away
# (tests/shim/exit_status.cpp).
if [ -n "${MCWATCH_EXIT_SHIM:-}" ] && [ -n "${MCWATCH_EXIT_STATUS_DIR:-}" ]; then
    export LD_PRELOAD="$MCWATCH_EXIT_SHIM${LD_PRELOAD:+:$LD_PRELOAD}"
fi
exec "$wine" "$@"
