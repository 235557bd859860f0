#!/usr/bin/env bash
# kvdmc-test: peers
# kvdmc-cli on a terminal: a shell in tmux inside the client namespace of
# scripts/sandbox (a big folder of 1200 tracks), driven with send-keys and read
# with capture-pane. ls --all shows its progress line, play --wait its position
# line rewritten in place, and Ctrl-C leaves the renderer stopped.
# Usage: bash tests/e2e/cli_terminal_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: cli_terminal_test.sh BUILD_DIR}" && pwd)
# A cross-build names its emulator wrapper of the tool here (its ctest sets it).
cli=${KVDMC_CLI:-$build/kvdmc-cli}
sandbox=$root/scripts/sandbox
command -v tmux >/dev/null || { echo "FAIL: tmux is not installed (scripts/deps peers)"; exit 1; }
box=$(mktemp -d /tmp/kvdmc-cli-tty.XXXXXX)
sock=$box/tmux.sock
cleanup() {
    [ -S "$sock" ] && tmux -S "$sock" kill-server 2>/dev/null
    "$sandbox" down "$box" >/dev/null 2>&1
    rm -rf "$box"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

SANDBOX_BIG_COUNT=1200 "$sandbox" up "$box" >/dev/null || { echo "FAIL: sandbox did not come up"; exit 1; }
# shellcheck disable=SC1091
source "$box/env"
S=$SERVER_UDN
R=$RENDERER_UDN
big='64$0'

fails=0
n=0
check() { # NAME CONDITION...
    local name=$1
    shift
    n=$((n + 1))
    if ! "$@"; then
        echo "FAIL $name"; echo "-- screen:"; screen
        fails=$((fails + 1))
    fi
}
# One shell on a 150x40 terminal, in the client namespace; nothing else runs in it.
ip netns exec "$CLIENT_NS" tmux -S "$sock" new-session -d -x 150 -y 40 -s t "bash --norc --noprofile" ||
    { echo "FAIL: tmux did not start"; exit 1; }
tmux -S "$sock" set-option -t t history-limit 100 >/dev/null
screen() { tmux -S "$sock" capture-pane -p -t t; }
type_line() { tmux -S "$sock" send-keys -t t -l "$1" && tmux -S "$sock" send-keys -t t Enter; }
# wait_for REGEX SECONDS: until a line of the screen matches.
wait_for() {
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        screen | grep -qE -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
clear_screen() { tmux -S "$sock" send-keys -t t C-l; tmux -S "$sock" clear-history -t t; sleep 0.2; }
type_line "PS1='$ '; cd $box"

# ---- ls --all of 1200 entries: the progress line on the terminal's stderr, the
# JSON on stdout (into a file here)
clear_screen
type_line "'$cli' ls --if $CLIENT_IF_ADDR --udn $S --page 100 --all '$big' >ls.json; echo ls-exit=\$?"
check "ls --all finished" wait_for '^ls-exit=0$' 30
check "ls --all showed its progress: entries of how many" eval 'screen | grep -qE "^ls: 1200 of 1200 entries$"'
check "the listing itself is whole" grep -q '"count":1200,"more":false' "$box/ls.json"
# Not a terminal: no progress at all.
type_line "'$cli' ls --if $CLIENT_IF_ADDR --udn $S --page 100 --all '$big' >/dev/null 2>ls.err; echo ls2-exit=\$?"
check "ls --all with stderr to a file" wait_for '^ls2-exit=0$' 30
check "no progress when stderr is no terminal" test ! -s "$box/ls.err"

# ---- play --wait: one position line, updated in place; Ctrl-C stops the renderer
clear_screen
type_line "'$cli' play --if $CLIENT_IF_ADDR --udn $S --to $R --allow $R --wait '64\$1\$0\$0/First Song'; echo play-exit=\$?"
check "play started the song" wait_for '^play=0 http://' 10
check "the position has moved on" wait_for '^position 0:00:0[2-9] / 0:00:20$' 15
check "one position line, rewritten in place" eval '[ "$(screen | grep -c "^position ")" = 1 ]'
tmux -S "$sock" send-keys -t t C-c
check "Ctrl-C ends play with 130" wait_for '^play-exit=130$' 15
check "it says the renderer was stopped" eval 'screen | grep -qF "play: interrupted; $R stopped"'
"$sandbox" run "$box" -- "$cli" cast --if "$CLIENT_IF_ADDR" --udn "$R" --allow "$R" state >"$box/state" 2>&1
check "the renderer is stopped" grep -qx "state=0" "$box/state"

echo "$((n - fails))/$n cli terminal cases passed"
[ $fails = 0 ]
