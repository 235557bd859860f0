#!/usr/bin/env bash
# kvdmc-cli without peers: usage, option scan, exit codes and exact texts.
# Cases that may search the network run in a fresh empty network namespace.
# Usage: bash tests/cli_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "${1:?usage: cli_test.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
cli=$build/kvdmc-cli
netns=$root/scripts/netns-run
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

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

usage='usage: cli discover [--kind 1|2|3] [--timeout ms] [--if ip]
       cli browse --udn <udn> [objectid]
       cli browse --udn <udn> [--start N] [--count N] [objectid]
       cli cast --udn <udn> --allow <udn> set|play|pause|stop|seek|volume|state [...]
'
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

# ---- --test wins at once, whatever the command, but only where it is scanned as an option
run "$cli" discover --test;             expect "discover --test" 0 "$notice" ""
run "$cli" cast --udn X play --test;    expect "cast --test" 0 "$notice" ""
run "$cli" help --test;                 expect "unknown command --test" 0 "$notice" ""
run "$cli" help --TEST;                 expect "options are case-sensitive" 2 "" "$usage"
# An option with a value consumes the next argument even when it looks like an option.
run "$cli" help --timeout --test;       expect "value that looks like an option" 2 "" "$usage"
run "$cli" help --udn --allow --test;   expect "--udn takes --allow as its value" 0 "$notice" ""

# ---- eight --allow are taken; a ninth is not, so its value is scanned on its own
run "$cli" help "${allow8[@]}" --allow --test;  expect "ninth --allow" 0 "$notice" ""
run "$cli" help "${allow8[@]:2}" --allow --test; expect "eighth --allow" 2 "" "$usage"

# ---- --if is applied during the scan, in argument order
run "$cli" discover --if 10.0.0.256;        expect "bad --if address" 2 "" "bad --if
"
run "$cli" discover --if "127.0.0.1 ";      expect "bad --if with a space" 2 "" "bad --if
"
run "$cli" discover --if "";                expect "empty --if" 2 "" "bad --if
"
run "$cli" help --if nope --test;           expect "--if before --test" 2 "" "bad --if
"
run "$cli" help --test --if nope;           expect "--test before --if" 0 "$notice" ""
run "$cli" help --if 127.0.0.1;             expect "good --if" 2 "" "$usage"
run "$cli" help --if;                       expect "--if without a value is not taken" 2 "" "$usage"
run "$cli" help --if --test;                expect "--if takes --test as its value" 2 "" "bad --if
"

# ---- browse and cast need --udn (an option without its value is not taken)
browse_usage='usage: cli browse --udn <udn> [objectid]
'
run "$cli" browse;                    expect "browse alone" 2 "" "$browse_usage"
run "$cli" browse 64 --start 1;       expect "browse without --udn" 2 "" "$browse_usage"
run "$cli" browse --udn;              expect "browse --udn without value" 2 "" "$browse_usage"
run "$cli" browse --udn "";           expect "browse with empty --udn" 2 "" "$browse_usage"
run "$cli" cast --allow X play;       expect "cast without --udn" 2 "" "cast: --udn required
"
run "$cli" cast bogus;                expect "cast without --udn or action" 2 "" "cast: --udn required
"
run "$cli" cast play --udn;           expect "cast --udn without value" 2 "" "cast: --udn required
"

# ---- discover: argument errors come from the library, before any search
run "$netns" "$cli" discover --kind 0;       expect "kind 0" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$netns" "$cli" discover --kind 4;       expect "kind 4" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$netns" "$cli" discover --timeout 99;   expect "timeout 99" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$netns" "$cli" discover --timeout 30001; expect "timeout 30001" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$netns" "$cli" discover --timeout 99999999999999999999; expect "huge timeout saturates" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"
run "$netns" "$cli" discover --kind 4294967297; expect "huge kind does not wrap to 1" 1 "discover=-1
" "error: discover: kind must be 1, 2 or 3
"
run "$netns" "$cli" discover --timeout 2x;   expect "timeout is read as a leading number" 1 "discover=-1
" "error: discover: timeout_ms must be 100..30000
"

# ---- searches in an empty namespace find nothing
run "$netns" "$cli" discover --timeout 200 --if 127.0.0.1; expect "discover, nobody there" 0 "discover=0
" ""
run "$netns" "$cli" browse --udn uuid:nobody --timeout 200 12;  expect "browse unknown udn" 1 "" "browse: uuid:nobody not found
"
run "$netns" "$cli" browse --udn uuid:nobody --timeout 99;  expect "browse, discovery fails" 1 "" "browse: uuid:nobody not found
"
long=uuid:$(printf 'x%.0s' {1..200})
run "$netns" "$cli" browse --udn "$long" --timeout 200;  expect "udn cut to 127 bytes" 1 "" "browse: ${long:0:127} not found
"
run "$netns" "$cli" cast --udn uuid:nobody --allow uuid:nobody --timeout 200 play
expect "cast unknown udn" 1 "" "cast: uuid:nobody not found
"
# The device check comes before the tool's allow-list and the action check.
run "$netns" "$cli" cast --udn uuid:nobody --timeout 200 frobnicate
expect "cast unknown udn, no allow, bad action" 1 "" "cast: uuid:nobody not found
"

echo "$((n - fails))/$n cli cases passed"
[ $fails = 0 ]
