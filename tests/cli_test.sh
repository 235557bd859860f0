#!/usr/bin/env bash
# kvdmc-cli without real peers: usage, option scan, exit codes and exact texts,
# then browse and cast against scripted peers on loopback (tests/peers/fake_peers.py, and
# tests/peers/quirky_peers.py for --host).
# The whole script runs in a fresh network namespace of its own, so nothing
# it sends (SSDP searches included) leaves it.
# Usage: bash tests/cli_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${KVDMC_IN_NETNS:-}" != "1" ]; then
    exec "$root/scripts/netns-run" bash "$0" "$@"
fi
build=$(cd "${1:?usage: cli_test.sh BUILD_DIR}" && pwd)
# A cross-build names its emulator wrapper of the tool here (its ctest sets it).
cli=${KVDMC_CLI:-$build/kvdmc-cli}
tmp=$(mktemp -d)
peers_pid=
quirky_pid=
cleanup() {
    [ -n "$peers_pid" ] && kill "$peers_pid" 2>/dev/null && wait "$peers_pid" 2>/dev/null
    [ -n "$quirky_pid" ] && kill "$quirky_pid" 2>/dev/null && wait "$quirky_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

fails=0
n=0
# run CMD...: runs the tool, keeping stdout, stderr and the exit code.
run() {
    "$@" >"$tmp/out" 2>"$tmp/err"
    rc=$?
}
# expect NAME CODE STDOUT STDERR: checks the last run exactly.
expect() {
    local name=$1 code=$2 out=$3 err=$4 ok=1
    n=$((n + 1))
    [ "$rc" = "$code" ] || { echo "FAIL $name: exit $rc, wanted $code"; ok=0; }
    [ "$(cat "$tmp/out"; echo x)" = "${out}x" ] || {
        echo "FAIL $name: stdout:"; cat "$tmp/out"; echo "-- wanted:"; printf '%s' "$out"; ok=0; }
    [ "$(cat "$tmp/err"; echo x)" = "${err}x" ] || {
        echo "FAIL $name: stderr:"; cat "$tmp/err"; echo "-- wanted:"; printf '%s' "$err"; ok=0; }
    [ $ok = 1 ] || fails=$((fails + 1))
}

# usage_of NAME: the usage text, naming the program as it was invoked.
usage_of() {
    printf '%s\n' "usage: $1 discover [--kind 1|2|3] [search options]" \
        "       $1 browse --udn <udn> [--start N] [--count N] [search options] [objectid]" \
        "       $1 cast --udn <udn> --allow <udn> [search options] set|play|pause|stop|seek|volume|state [...]" \
        "       $1 ls --udn <udn> [--page N] [--all] [search options] [path]" \
        "       $1 url --udn <udn> [search options] <path>" \
        "       $1 play --udn <udn> --to <udn> --allow <udn> [--wait] [search options] <path>" \
        "       $1 help <command>" \
        "       $1 -h | --help | --version" \
        "search options: [--timeout ms] [--if ip] [--host ip[:port]]"
}
usage=$(usage_of kvdmc-cli; echo x)
usage=${usage%x}
notice='cli --test: use the .console harness
'
allow8=(--allow a1 --allow a2 --allow a3 --allow a4 --allow a5 --allow a6 --allow a7 --allow a8)

# ---- commands: missing, unknown, case-sensitive
run "$cli";                   expect "no command" 2 "" "$usage"
run "$cli" help;              expect "help" 2 "" "$usage"
run "$cli" Discover --kind 1; expect "command is case-sensitive" 2 "" "$usage"
run "$cli" "";                expect "empty command" 2 "" "$usage"
# Options are looked for only after the command.
run "$cli" --test;            expect "--test as the command" 2 "" "$usage"

# ---- --help and -h, as the command only: the usage and the rest of the help on stdout
run "$cli" --help
help=$(cat "$tmp/out"; echo x)
help=${help%x}
expect "--help" 0 "$help" ""
n=$((n + 1))
[ "${help:0:${#usage}}" = "$usage" ] && [ "${#help}" -gt $((${#usage} + 200)) ] ||
    { echo "FAIL --help starts with the usage and goes on"; fails=$((fails + 1)); }
run "$cli" -h;                expect "-h" 0 "$help" ""
run "$cli" help --help
check_own_help() { [ "$rc" = 0 ] && [ "$(head -n 1 "$tmp/out")" = "usage: kvdmc-cli help <command>" ] && [ ! -s "$tmp/err" ]; }
n=$((n + 1))
check_own_help || { echo "FAIL --help after the command is that command's help"; fails=$((fails + 1)); }
run "$cli" --HELP;            expect "--help is case-sensitive" 2 "" "$usage"
# The texts name the program as it was started, with the directory dropped.
ln -s "$cli" "$tmp/renamed"
run "$tmp/renamed" frobnicate; expect "usage under another name" 2 "" "$(usage_of renamed)
"
run "$tmp/renamed" browse;    expect "browse usage under another name" 2 "" "usage: renamed browse --udn <udn> [--start N] [--count N] [search options] [objectid]
"
run "$tmp/renamed" --help
check_help_name() { [ "$(head -n 1 "$tmp/out")" = "$(usage_of renamed | head -n 1)" ]; }
n=$((n + 1))
check_help_name || { echo "FAIL --help under another name"; fails=$((fails + 1)); }

# Every command and option the tool knows is in --help, and the man page
# documents the same commands, options and exit codes as --help.
opts_in() { grep -o -E -- '(^|[^a-z-])--?[a-z][a-z]*' | grep -o -E -- '--?[a-z]+' | sort -u; }
man=$root/docs/kvdmc-cli.1
help_opts=$(opts_in <<<"$help")
man_opts=$(sed 's/\\-/-/g' "$man" | opts_in)
tool_opts=$(cat "$root"/tools/kvdmc-cli/*.cpp | grep -o -E '"--?[a-z]+"' | tr -d '"' | sort -u)
help_cmds=$(sed -n 's/^ *usage: kvdmc-cli \([a-z][a-z]*\).*/\1/p; s/^       kvdmc-cli \([a-z][a-z]*\).*/\1/p' <<<"$help" | sort -u)
# (tags of the COMMANDS section, not of the cast actions nested in .RS/.RE)
man_cmds=$(awk '/^\.SH/ {on = $2 == "COMMANDS"} /^\.RS/ {d++} /^\.RE/ {d--}
    on && !d && tp && /^\.B [a-z]+$/ {print $2} {tp = /^\.TP/}' "$man" | sort -u)
help_codes=$(sed -n '/^exit codes:/,$s/^  \([0-9][0-9]*\)  .*/\1/p' <<<"$help")
man_codes=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH/{/^\.TP/{n;s/^\.B \([0-9][0-9]*\)$/\1/p}}' "$man")
same() { # NAME A B: two non-empty lists are equal
    n=$((n + 1))
    [ -n "$2" ] && [ "$2" = "$3" ] || { echo "FAIL $1:"; diff <(echo "$2") <(echo "$3"); fails=$((fails + 1)); }
}
same "--help documents the options the tool reads" "$tool_opts" "$(comm -12 <(echo "$tool_opts") <(echo "$help_opts"))"
same "the man page has the options of --help" "$help_opts" "$man_opts"
same "the man page has the commands of --help" "$help_cmds" "$man_cmds"
same "the man page has the exit codes of --help" "$help_codes" "$man_codes"

# ---- --test wins at once, whatever the command, but only where it is scanned as an option
run "$cli" discover --test;             expect "discover --test" 0 "$notice" ""
run "$cli" cast --udn X play --test;    expect "cast --test" 0 "$notice" ""
run "$cli" help --test;                 expect "help --test" 0 "$notice" ""
run "$cli" help --TEST;                 expect "options are case-sensitive" 2 "" "help: unknown option '--TEST' (did you mean '--test'?)
"
# An option with a value consumes the next argument even when it looks like an option.
run "$cli" discover --timeout --test;   expect "value that looks like an option" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$cli" cast --udn --allow --test;   expect "--udn takes --allow as its value" 0 "$notice" ""

# ---- eight --allow are taken; a ninth takes its value and is left out
run "$cli" cast "${allow8[@]}" --allow --test;  expect "ninth --allow" 2 "" "cast: --udn required
"
run "$cli" cast "${allow8[@]:2}" --allow --test; expect "eighth --allow" 2 "" "cast: --udn required
"

# ---- --if is applied during the scan, in argument order
run "$cli" discover --if 10.0.0.256;        expect "bad --if address" 2 "" "bad --if
"
run "$cli" discover --if "127.0.0.1 ";      expect "bad --if with a space" 2 "" "bad --if
"
run "$cli" discover --if "";                expect "empty --if" 2 "" "bad --if
"
run "$cli" discover --if nope --test;       expect "--if before --test" 2 "" "bad --if
"
run "$cli" discover --test --if nope;       expect "--test before --if" 0 "$notice" ""
run "$cli" discover --if 127.0.0.1 --kind 0; expect "good --if" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$cli" discover --if;                   expect "--if without a value is refused" 2 "" "discover: option '--if' needs an argument: --if ip
"
run "$cli" discover --if --test;            expect "--if takes --test as its value" 2 "" "bad --if
"

# ---- refusals: an option the command does not take, or one without its argument, ends
# the tool with exit 2 and one line naming it, with the command's nearest option if any.
# Each case: arguments => the line on stderr.
while IFS= read -r -u 3 case; do
    read -r -a argv <<<"${case%% => *}"
    run "$cli" "${argv[@]}"
    expect "refused: ${case%% => *}" 2 "" "${case#* => }
"
done 3<<'CASES'
discover --timout 100 => discover: unknown option '--timout' (did you mean '--timeout'?)
discover --TIMEOUT 100 => discover: unknown option '--TIMEOUT' (did you mean '--timeout'?)
discover --time 100 => discover: unknown option '--time' (did you mean '--timeout'?)
ls --udn X --al => ls: unknown option '--al' (did you mean '--all'?)
browse -udn X => browse: unknown option '-udn' (did you mean '--udn'?)
play --wiat => play: unknown option '--wiat' (did you mean '--wait'?)
cast --hots 10.0.0.1 => cast: unknown option '--hots' (did you mean '--host'?)
url --vresion => url: unknown option '--vresion' (did you mean '--version'?)
discover --frobnicate => discover: unknown option '--frobnicate'
discover -x => discover: unknown option '-x'
discover --timout 5 --test => discover: unknown option '--timout' (did you mean '--timeout'?)
browse --allow X => browse: option '--allow' is for cast and play
discover --udn X => discover: option '--udn' is for browse, cast, ls, url and play
ls --udn X --count 5 => ls: option '--count' is for browse
help --timeout 5 => help: option '--timeout' is for discover, browse, cast, ls, url and play
discover --timeout => discover: option '--timeout' needs an argument: --timeout ms
discover --kind => discover: option '--kind' needs an argument: --kind 1|2|3
discover --host => discover: option '--host' needs an argument: --host ip[:port]
browse --udn X --host 10.0.0.1 --host => browse: option '--host' needs an argument: --host ip[:port]
url --udn => url: option '--udn' needs an argument: --udn <udn>
cast --udn R --allow => cast: option '--allow' needs an argument: --allow <udn>
ls --page => ls: option '--page' needs an argument: --page N
CASES

# ---- what is not refused: "--" ends the options, a negative number is a value, and the
# words of a cast action are its own even when they look like options
run "$cli" cast -- --udn X;                 expect "-- ends the options" 2 "" "cast: --udn required
"
run "$cli" cast volume -1;                  expect "-1 is a value" 2 "" "cast: --udn required
"
run "$cli" cast set http://x/a.mp3 audio/mpeg -h; expect "a title -h is no option" 2 "" "cast: --udn required
"
# --host is handed to the library after the whole line is read: --test still wins, and
# a list the library refuses ends the tool with its reason.
run "$cli" discover --host 10.0.0.1 --test; expect "--test before --host is applied" 0 "$notice" ""
run "$cli" discover --host nope
check_bad_host() { [ "$rc" = 2 ] && [ ! -s "$tmp/out" ] && grep -q '^bad --host: .' "$tmp/err" && [ "$(wc -l <"$tmp/err")" = 1 ]; }
n=$((n + 1))
check_bad_host || { echo "FAIL a refused --host list"; cat "$tmp/err"; fails=$((fails + 1)); }

# ---- --version, as the command or after one; help COMMAND, the same as COMMAND --help
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for args in --version "discover --version" "help --version"; do
    run "$cli" $args; expect "$args" 0 "kvdmc $version
" ""
done
for c in discover browse cast ls url play help; do
    run "$cli" help $c
    own=$(cat "$tmp/out"; echo x)
    line=$(usage_of kvdmc-cli | grep -E "^(usage:|      ) kvdmc-cli $c " | sed -E 's/^(usage:|      ) /usage: /')
    n=$((n + 1))
    [ "$rc" = 0 ] && [ "$(head -n 1 "$tmp/out")" = "$line" ] ||
        { echo "FAIL help $c: its usage line first"; head -n 1 "$tmp/out"; fails=$((fails + 1)); }
    run "$cli" $c --help;   expect "$c --help is help $c" 0 "${own%x}" ""
done
run "$cli" help discover
n=$((n + 1))
grep -q '^  --host ip\[:port\] ' "$tmp/out" && ! grep -q '^  --udn ' "$tmp/out" ||
    { echo "FAIL help discover lists its own options only"; fails=$((fails + 1)); }
run "$cli" help frobnicate;  expect "help of no command" 2 "" "$usage"

# ---- browse and cast need --udn (an option without its value is refused)
browse_usage='usage: kvdmc-cli browse --udn <udn> [--start N] [--count N] [search options] [objectid]
'
run "$cli" browse;                    expect "browse alone" 2 "" "$browse_usage"
run "$cli" browse 64 --start 1;       expect "browse without --udn" 2 "" "$browse_usage"
run "$cli" browse --udn;              expect "browse --udn without value" 2 "" "browse: option '--udn' needs an argument: --udn <udn>
"
run "$cli" browse --udn "";           expect "browse with empty --udn" 2 "" "$browse_usage"
run "$cli" cast --allow X play;       expect "cast without --udn" 2 "" "cast: --udn required
"
run "$cli" cast bogus;                expect "cast without --udn or action" 2 "" "cast: --udn required
"
run "$cli" cast play --udn;           expect "cast --udn without value" 2 "" "cast: option '--udn' needs an argument: --udn <udn>
"
play_usage='usage: kvdmc-cli play --udn <udn> --to <udn> --allow <udn> [--wait] [search options] <path>
'
run "$cli" play --to R --allow R 0;   expect "play without --udn" 2 "" "$play_usage"
run "$cli" play --udn S --allow R 0;  expect "play without --to" 2 "" "$play_usage"
run "$cli" play --udn S --to R --allow R --wait; expect "play without a path" 2 "" "$play_usage"
run "$cli" play --udn S --to R --allow R --to; expect "play: --to without a value is refused" 2 "" "play: option '--to' needs an argument: --to <udn>
"

# ---- discover: argument errors come from the library, before any search
run "$cli" discover --kind 0;       expect "kind 0" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$cli" discover --kind 4;       expect "kind 4" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$cli" discover --timeout 99;   expect "timeout 99" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$cli" discover --timeout 30001; expect "timeout 30001" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$cli" discover --timeout 99999999999999999999; expect "huge timeout saturates" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$cli" discover --kind 4294967297; expect "huge kind does not wrap to 1" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$cli" discover --timeout 2x;   expect "timeout is read as a leading number" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"

# ---- searches find nothing while no peer runs
run "$cli" discover --timeout 200 --if 127.0.0.1; expect "discover, nobody there" 0 "discover=0
" ""
run "$cli" browse --udn uuid:nobody --timeout 200 12;  expect "browse unknown udn" 1 "" "browse: uuid:nobody not found
"
run "$cli" browse --udn uuid:nobody --timeout 99;  expect "browse, discovery fails" 1 "" "browse: uuid:nobody not found
"
long=uuid:$(printf 'x%.0s' {1..200})
run "$cli" browse --udn "$long" --timeout 200;  expect "udn cut to 127 bytes" 1 "" "browse: ${long:0:127} not found
"
run "$cli" cast --udn uuid:nobody --allow uuid:nobody --timeout 200 play
expect "cast unknown udn" 1 "" "cast: uuid:nobody not found
"
# The device check comes before the tool's allow-list and the action check.
run "$cli" cast --udn uuid:nobody --timeout 200 frobnicate
expect "cast unknown udn, no allow, bad action" 1 "" "cast: uuid:nobody not found
"

# The tool selects no transport: built without libcurl it has none, so the
# scripted peers below could not be reached.
if grep -q '^KVDMC_WITH_CURL:BOOL=OFF' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "$((n - fails))/$n cli cases passed (built without libcurl: scripted peers skipped)"
    [ $fails = 0 ]
    exit
fi

# check NAME CONDITION...: one more case, failed when the condition fails.
check() {
    local name=$1; shift
    n=$((n + 1))
    if ! "$@"; then
        echo "FAIL $name"; echo "-- stdout:"; head -c 2000 "$tmp/out"; echo "-- stderr:"; cat "$tmp/err"
        fails=$((fails + 1))
    fi
}
has() { grep -qF -- "$2" "$1"; }           # FILE TEXT
lines() { [ "$(wc -l <"$1")" = "$2" ]; }  # FILE COUNT
rc_is() { [ "$rc" = "$1" ]; }
ms() { date +%s%3N; }

# ---- --host: a renderer and a server that answer a search only when it is sent to
# their own address, never to the group (tests/peers/quirky_peers.py on 127.0.0.2).
# Every --host is asked in turn: the first names nobody, the second finds them.
quirky=$tmp/quirky.log
python3 "$root/tests/peers/quirky_peers.py" 127.0.0.2 18399 "$quirky" &
quirky_pid=$!
for _ in $(seq 50); do [ -e "$quirky.ready" ] && break; sleep 0.1; done
QR=uuid:Quirky-Renderer-1
QS=uuid:Quirky-Server-1
H=(--host 127.0.0.3:1999 --host 127.0.0.2)
# A discover's device lines cut to their UDNs and sorted after its count.
udns_only() { sed -E 's/^\{"udn":"([^"]*)".*/\1/' "$tmp/out" | LC_ALL=C sort >"$tmp/udns" && mv "$tmp/udns" "$tmp/out"; }

run "$cli" discover --timeout 500;                       expect "multicast alone finds nobody" 0 "discover=0
" ""
run "$cli" discover --timeout 1000 "${H[@]}"; udns_only; expect "--host finds both" 0 "discover=2
$QR
$QS
" ""
run "$cli" discover --timeout 500 --host 127.0.0.2:1901; expect "--host on another port finds nobody" 0 "discover=0
" ""
run "$cli" cast --udn "$QR" --allow "$QR" --timeout 500 state
expect "cast without --host: the renderer is not found" 1 "" "cast: $QR not found
"
t0=$(ms)
run "$cli" cast --udn "$QR" --allow "$QR" "${H[@]}" state
took=$(($(ms) - t0))
expect "cast with --host: the renderer's state (no media)" 0 "state=1
" ""
check "cast with --host goes on once the renderer answered (default time-out 3 s)" eval '[ "$took" -lt 3000 ]'
run "$cli" browse --udn "$QS" --timeout 500 0
expect "browse without --host: the server is not found" 1 "" "browse: $QS not found
"
run "$cli" browse --udn "$QS" --host 127.0.0.3:1999 --host 127.0.0.2:1900 0
check "browse with --host" eval 'rc_is 0 && head -n 1 "$tmp/out" | grep -qE "^browse=[1-9][0-9]* total=300 start=0 count=0$" && has "$tmp/out" "\"title\":\"Track 0\"" && grep -qE "^note: server repeated page at index [1-9][0-9]*$" "$tmp/err"'
kill "$quirky_pid" && wait "$quirky_pid"
quirky_pid=

# ---- against scripted peers: a server, a renderer, a renderer that fails every
# action, and a renderer with a 79-byte UDN
port=18200
log=$tmp/soap.log
python3 "$root/tests/peers/fake_peers.py" $port "$log" &
peers_pid=$!
for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null && break
    sleep 0.1
done
S=uuid:Mock-Server-1
R=uuid:Mock-Renderer-1
B=uuid:Mock-Broken-1
L=uuid:$(printf 'l%.0s' {1..74})
# Commands go on as soon as their device answered: a generous time-out costs only the
# cases whose device never does, and keeps a loaded machine from failing the others.
T=(--timeout 1000)
last_soap() { tail -n 1 "$log"; }

SLOW=uuid:Mock-Slow-1
STUCK=uuid:Mock-Stuck-1
# Each line of the command's stdout with the milliseconds since the start in front.
stamped() {
    local t0
    t0=$(ms)
    "$@" 2>"$tmp/err" | while IFS= read -r line; do echo "$(($(ms) - t0)) $line"; done >"$tmp/stamped"
    cut -d' ' -f2- "$tmp/stamped" >"$tmp/out"
}
stamped "$cli" discover --kind 3 --timeout 1500
check "discover finds all six, the count last" eval 'lines "$tmp/out" 7 && [ "$(tail -n 1 "$tmp/out")" = discover=6 ]'
for u in "$S" "$R" "$B" "$L" "$SLOW" "$STUCK"; do
    check "discover lists $u as a JSON line" grep -q "^{\"udn\":\"$u\",\"kind\":[12]," "$tmp/out"
done
first_ms=$(head -n 1 "$tmp/stamped" | cut -d' ' -f1)
last_ms=$(tail -n 1 "$tmp/stamped" | cut -d' ' -f1)
echo "timing: discover --timeout 1500: first device line after ${first_ms} ms, discover=6 after ${last_ms} ms"
check "devices are printed before the search ends" eval '[ "$first_ms" -lt "$last_ms" ]'

# A command on one device asks for it by UDN as well and goes on once it answered:
# with the default time-out (3 s) a browse takes a fraction of it.
: >"$log.st"
t0=$(ms)
run "$cli" browse --udn "$S"
echo "timing: browse of a known server with the default time-out: $(($(ms) - t0)) ms"
check "browse with the default time-out" eval 'rc_is 0 && [ "$(head -n 1 "$tmp/out")" = "browse=2 total=2 start=0 count=0" ]'
check "browse asks for its server by UDN" has "$log.st" "$S"

: >"$log.st"
run "$cli" browse --udn "$S" "${T[@]}"
check "browse searches for servers only" eval 'has "$log.st" device:MediaServer:1 && ! has "$log.st" device:MediaRenderer:1'
check "browse root" eval 'rc_is 0 && lines "$tmp/out" 3 && [ "$(head -n 1 "$tmp/out")" = "browse=2 total=2 start=0 count=0" ]'
check "browse root items" eval 'has "$tmp/out" "\"id\":\"1\"" && has "$tmp/out" "\"title\":\"Music & Films\""'
check "object id 0 sent" eval 'last_soap | grep -qF "<ObjectID>0</ObjectID>"'

run "$cli" browse --udn "$S" "${T[@]}" --start 0 1
check "option values are not object ids" eval 'rc_is 0 && [ "$(head -n 1 "$tmp/out")" = "browse=1 total=1 start=0 count=0" ]'
check "title bytes kept, quotes escaped" has "$tmp/out" '"title":"Rock & \"Roll\" – Größe"'

run "$cli" browse --udn "$S" "${T[@]}" 2
check "big folder: every item printed" eval 'rc_is 0 && lines "$tmp/out" 301 && [ "$(head -n 1 "$tmp/out")" = "browse=300 total=300 start=0 count=0" ]'
check "big folder: last item" has "$tmp/out" '"title":"Track 299"'

run "$cli" browse --udn "$S" "${T[@]}" --start 10 --count 5 2
check "start and count" eval 'rc_is 0 && [ "$(head -n 1 "$tmp/out")" = "browse=290 total=300 start=10 count=5" ] && lines "$tmp/out" 291'
check "start sent as StartingIndex" eval 'grep -qF "<ObjectID>2</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag><Filter>*</Filter><StartingIndex>10<" "$log"'

run "$cli" browse --udn "$S" "${T[@]}" ""
check "empty object id is 0" eval 'rc_is 0 && last_soap | grep -qF "<ObjectID>0</ObjectID>"'

run "$cli" browse --udn "$S" "${T[@]}" 99
check "browse failure" eval 'rc_is 1 && lines "$tmp/out" 1 && grep -q "^browse=-6 total=-\?[0-9]* start=0 count=0$" "$tmp/out" && grep -q "^error: ." "$tmp/err"'

run "$cli" browse --udn "$R" "${T[@]}"
check "browse of a renderer fails" eval 'rc_is 1 && grep -q "^error: ." "$tmp/err"'

# ls and url: the access layer over the same server.
json_ok() { python3 - "$tmp/out" "$1" <<'PY'
import json, sys
j = json.loads(open(sys.argv[1], encoding="utf-8").read())
sys.exit(0 if eval(sys.argv[2]) else 1)
PY
}
run "$cli" ls --udn "$S" "${T[@]}"
check "ls root" eval 'rc_is 0 && lines "$tmp/out" 1 && json_ok "j[\"backend\"] == \"dlna\" and j[\"count\"] == 2 and not j[\"more\"] and j[\"items\"][0][\"name\"] == \"Music & Films\""'
run "$cli" ls --udn "$S" "${T[@]}" --page 100 2
check "ls first page" eval 'rc_is 0 && json_ok "j[\"count\"] == 100 and j[\"more\"] and j[\"path\"] == \"2\""'
check "ls asks for one page" eval 'last_soap | grep -qF "<StartingIndex>0</StartingIndex><RequestedCount>100</RequestedCount>"'
run "$cli" ls --udn "$S" "${T[@]}" --page 100 --all 2
check "ls --all" eval 'rc_is 0 && json_ok "j[\"count\"] == 300 and not j[\"more\"] and j[\"items\"][299][\"name\"] == \"Track 299\" and j[\"items\"][299][\"size\"] == 1000"'
check "a complete listing has no note" eval '[ ! -s "$tmp/err" ]'
run "$cli" ls --udn "$S" "${T[@]}" "1/Rock & \"Roll\" – Größe"
check "ls a child by title" eval 'rc_is 0 && json_ok "j[\"count\"] == 1 and j[\"items\"][0][\"path\"] == \"1\$1\""'
run "$cli" ls --udn "$S" "${T[@]}" 99
check "ls failure" eval 'rc_is 1 && [ ! -s "$tmp/out" ] && grep -q "^error: UPnP error 701" "$tmp/err"'
run "$cli" ls --udn "$S" "${T[@]}" --page 0
check "ls bad page size" eval 'rc_is 1 && grep -qF "error: page size must be 1..65536" "$tmp/err"'
run "$cli" url --udn "$S" "${T[@]}" 2/7
check "url of a child" eval 'rc_is 0 && [ "$(cat "$tmp/out")" = "http://127.0.0.1:$port/media/7.mp3" ]'
run "$cli" url --udn "$S" "${T[@]}" "2/Track 008"
check "url by title" eval 'rc_is 0 && [ "$(cat "$tmp/out")" = "http://127.0.0.1:$port/media/8.mp3" ]'
for digits in "01 - Overture:2" "2001 A Space Odyssey:3" "01:1"; do
    run "$cli" url --udn "$S" "${T[@]}" "3/${digits%:*}"
    check "url of 3/${digits%:*}: digits alone are an index, else a name" \
        eval 'rc_is 0 && [ "$(cat "$tmp/out")" = "http://127.0.0.1:$port/media/3-${digits##*:}.mp3" ]'
done
run "$cli" url --udn "$S" "${T[@]}" 1/0
check "url keeps the URL's bytes" eval 'rc_is 0 && [ "$(cat "$tmp/out")" = "http://127.0.0.1:$port/media/a&b.mp3" ]'
run "$cli" url --udn "$S" "${T[@]}" 0/0
expect "url of a folder" 1 "" "error: no locator for this path
"
run "$cli" url --udn "$S" "${T[@]}"
expect "url without a path" 2 "" "usage: kvdmc-cli url --udn <udn> [search options] <path>
"
run "$cli" ls "${T[@]}"
expect "ls without --udn" 2 "" "usage: kvdmc-cli ls --udn <udn> [--page N] [--all] [search options] [path]
"

# The tool's own allow-list: byte for byte, eight values at most, no cut prefixes.
refused="cast: $R is not on the allow-list (pass --allow $R)
"
: >"$log.st"
run "$cli" cast --udn "$R" "${T[@]}" play;               expect "cast without --allow" 3 "" "$refused"
check "cast searches for renderers only" eval 'has "$log.st" device:MediaRenderer:1 && ! has "$log.st" device:MediaServer:1'
check "cast asks for its renderer by UDN" has "$log.st" "$R"
run "$cli" cast --udn "$R" "${T[@]}" --allow "${R,,}" play; expect "--allow in other letter case" 3 "" "$refused"
run "$cli" cast --udn "$R" "${T[@]}" "${allow8[@]}" --allow "$R" play; expect "ninth --allow not taken" 3 "" "$refused"
run "$cli" cast --udn "$L" "${T[@]}" --allow "${L}x" play
expect "an --allow longer than 79 bytes never matches" 3 "" "cast: $L is not on the allow-list (pass --allow $L)
"
check "refusals sent nothing" eval '! grep -q "^/[rl]/" "$log"'
run "$cli" cast --udn "$L" "${T[@]}" --allow "$L" play;  expect "79-byte udn allowed" 0 "cast play=0 
" ""

cast_usage='cast: set|play|pause|stop|seek|volume|state
'
for a in set seek volume frobnicate; do
    run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" $a; expect "cast $a without value" 2 "" "$cast_usage"
done

run "$cli" cast --udn "$R" "${T[@]}" "${allow8[@]:2}" --allow "$R" set http://127.0.0.1:9/a.mp3
expect "set with defaults" 0 "cast set=0 
" ""
check "set: video/mp4, no title" eval 'last_soap | grep -qF "http-get:*:video/mp4:DLNA.ORG_OP=01;" && ! last_soap | grep -qF "dc:title"'
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" set "http://127.0.0.1:9/a b.mp3" audio/mpeg 'A & B'
expect "set with mime and title" 0 "cast set=0 
" ""
check "set: mime and title sent" eval 'last_soap | grep -qF "http-get:*:audio/mpeg:DLNA.ORG_OP=01;" && last_soap | grep -qF "&lt;dc:title&gt;A &amp;"'

run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" set http://127.0.0.1:9/h.mp3 audio/mpeg -h
expect "set with the title -h" 0 "cast set=0 
" ""
check "set: the title -h sent" eval 'last_soap | grep -qF "&lt;dc:title&gt;-h&lt;"'
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" play;   expect "play" 0 "cast play=0 
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" state;  expect "state playing" 0 "state=2
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" pause;  expect "pause" 0 "cast pause=0 
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" state;  expect "state paused" 0 "state=1
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" seek 3725; expect "seek" 0 "cast seek=0 
" ""
check "seek target" eval 'last_soap | grep -qF "<Target>1:02:05</Target>"'
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" stop;   expect "stop" 0 "cast stop=0 
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" state;  expect "state stopped" 0 "state=0
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" volume 55; expect "set volume" 0 "cast volume=0 
" ""
# Reading the volume succeeds with the volume as its result.
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" volume -1; expect "read volume" 0 "cast volume=55 
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" volume 101
check "volume above 100" eval 'rc_is 1 && [ "$(cat "$tmp/out")" = "cast volume=-1 cast_volume: volume must be 0..100" ]'

# A renderer that fails: every failure is reported, on stdout for actions.
run "$cli" cast --udn "$B" "${T[@]}" --allow "$B" play
check "failing play" eval 'rc_is 1 && grep -q "^cast play=-[0-9]* ." "$tmp/out" && lines "$tmp/out" 1'
run "$cli" cast --udn "$B" "${T[@]}" --allow "$B" state
check "failing state exits 1" eval 'rc_is 1 && grep -q "^state=-[0-9]*$" "$tmp/out" && grep -q "^error: ." "$tmp/err"'
run "$cli" cast --udn "$B" "${T[@]}" --allow "$B" volume -1
check "failing volume read" eval 'rc_is 1 && grep -q "^cast volume=-[0-9]* ." "$tmp/out"'

# ---- play: a path of the server on a renderer, in one command
: >"$log"
: >"$log.st"
run "$cli" play --udn "$S" --to "$R" "${T[@]}" --allow "${R,,}" 2/5
expect "play to a renderer not named by --allow" 3 "" "play: $R is not on the allow-list (pass --allow $R)
"
check "a refused play sends nothing, not even a search" eval '[ ! -s "$log" ] && [ ! -s "$log.st" ]'

P=(--udn "$S" "${T[@]}")
run "$cli" play "${P[@]}" --to "$R" --allow "$R" 2/5
expect "play a track by index" 0 "play=0 http://127.0.0.1:$port/media/5.mp3
" ""
set_at=$(grep -n "^/r/avt .*SetAVTransportURI" "$log" | tail -n 1)
play_at=$(grep -n "^/r/avt .*<u:Play " "$log" | tail -n 1)
check "play: the item's URL, format and title, then Play" eval '[[ $set_at == *"/media/5.mp3"* && $set_at == *"http-get:*:audio/mpeg:"* && $set_at == *"Track 005"* ]] && [ "${play_at%%:*}" -gt "${set_at%%:*}" ]'
check "play asked the renderer for its formats" eval 'grep -q "^/r/cm .*GetProtocolInfo" "$log"'
run "$cli" play "${P[@]}" --to "$R" --allow "$R" "1/Rock & \"Roll\" – Größe"
expect "play a track by title" 0 "play=0 http://127.0.0.1:$port/media/a&b.mp3
" ""
run "$cli" play "${P[@]}" --to "$R" --allow "$R" "3/2001 A Space Odyssey"
expect "play a track whose title begins with digits" 0 "play=0 http://127.0.0.1:$port/media/3-3.mp3
" ""
run "$cli" cast --udn "$R" "${T[@]}" --allow "$R" state; expect "the renderer plays" 0 "state=2
" ""

t0=$(ms)
run "$cli" play "${P[@]}" --to "$SLOW" --allow "$SLOW" 2/7
took=$(($(ms) - t0))
expect "play waits out TRANSITIONING; a format the renderer does not list is a warning" 0 \
    "play=0 http://127.0.0.1:$port/media/7.mp3
" "play: warning: $SLOW does not list audio/mpeg among the formats it plays; trying anyway
"
check "play returned once PLAYING (TRANSITIONING for 0.6 s)" eval '[ "$took" -ge 600 ]'
run "$cli" play "${P[@]}" --to "$SLOW" --allow "$SLOW" --wait 2/7
check "play --wait ends when the renderer stops" rc_is 0
check "play --wait: the lines" eval 'head -n 1 "$tmp/out" | grep -q "^play=0 " && sed -n 2p "$tmp/out" | grep -qE "^position 0:00:0[0-3] / 0:00:03$" && [ "$(tail -n 1 "$tmp/out")" = stopped ] && lines "$tmp/out" 3'

t0=$(ms)
run "$cli" play "${P[@]}" --to "$STUCK" --allow "$STUCK" 2/7
took=$(($(ms) - t0))
check "play gives up on a renderer TRANSITIONING for 10 s" eval 'rc_is 1 && [ ! -s "$tmp/out" ] && grep -qx "play: $STUCK reports TRANSITIONING, not PLAYING, after 10.[0-9] s" "$tmp/err"'
check "an audio/* entry lists the format" eval '! grep -q warning "$tmp/err"'
echo "timing: play to a renderer stuck in TRANSITIONING gave up after $took ms"

run "$cli" play "${P[@]}" --to "$L" --allow "$L" 2/5
expect "play to a renderer without ConnectionManager" 0 "play=0 http://127.0.0.1:$port/media/5.mp3
" "play: warning: $L has no ConnectionManager to list the formats it plays; trying anyway
"
run "$cli" play "${P[@]}" --to "$R" --allow "$R" 0/0
expect "play of a folder" 1 "" "error: no locator for this path
"
run "$cli" play "${P[@]}" --to uuid:nobody --allow uuid:nobody 2/5
expect "play to an unknown renderer" 1 "" "play: uuid:nobody not found
"
run "$cli" play "${P[@]}" --to "$B" --allow "$B" 2/5
check "play to a renderer that fails" eval 'rc_is 1 && [ ! -s "$tmp/out" ] && grep -q "^play: set: ." "$tmp/err"'

echo "$((n - fails))/$n cli cases passed"
[ $fails = 0 ]
