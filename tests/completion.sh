#!/bin/bash
# Completes mcwatch and mcfeed command lines in a real bash with bash-completion loaded, as a
# user's shell has it, and checks what each offers. Run inside tests/netns.sh, where lo is the
# one interface. Usage: completion.sh SOURCE_DIR MCWATCH MCFEED
set -u
loader=/usr/share/bash-completion/bash_completion
if [ ! -r "$loader" ]; then
    echo "skipped: no $loader (Debian: bash-completion; .ci/run installs it)"
    exit 77
fi
source_dir=$1 mcwatch=$2 mcfeed=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
touch "$work/streams.toml" "$work/night.pcap"
failed=0

# What the completion offers for the last of the words given, sorted, on one line.
offered() {
    (cd "$work" && bash -c '
        . "$0" && . "$1/contrib/bash-completion/$2" || exit 1
        shift
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        "_$1" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' "$loader" "$source_dir" "$@")
}

expect() {
    local want=$1
    shift
    local got
    got=$(offered "$@")
    if [ "$got" != "$want " ]; then
        echo "FAIL: $* gave '$got', not '$want '"
        failed=1
    fi
}

# The options the program's --help names, sorted.
help_options() {
    "$1" --help | grep -oE '(^|[^A-Za-z0-9-])--?[A-Za-z][a-z0-9-]*' | sed 's/^[^-]*//' |
        sort -u | tr "\n" " " | sed 's/ $//'
}

expect "--format" mcwatch --for
expect "mdp3 moldudp64 mpegts rtp rtp-mpegts" mcwatch --format ""
expect "rtp-mpegts" mcwatch --format=rtp-
expect "sender stream" mcwatch --prom m.prom --metrics-per ""
expect "lo" mcwatch -i ""
for option in --config -r --read --prom --report; do
    expect "night.pcap streams.toml" mcwatch "$option" ""
done
expect "night.pcap" mcwatch -r n
expect "" mcwatch --count ""
expect "$(help_options "$mcwatch")" mcwatch -
expect "mdp3 moldudp64 mpegts rtp rtp-mpegts" mcfeed --format ""
expect "lo" mcfeed --interface ""
expect "night.pcap streams.toml" mcfeed --ts-file ""
expect "$(help_options "$mcfeed")" mcfeed -
[ "$failed" = 0 ] && echo "completion: every case as expected"
exit "$failed"
