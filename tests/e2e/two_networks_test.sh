#!/usr/bin/env bash
# kvdmc-test: peers
# Discovery on a client attached to two networks, the server on one and the
# renderer on the other: without --if the search covers every interface and
# finds both; with --if it stays on that interface's network.
# Usage: bash tests/e2e/two_networks_test.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:?usage: two_networks_test.sh BUILD_DIR}" && pwd)
# A cross-build names its emulator wrapper of the tool here (its ctest sets it).
cli=${KVDMC_CLI:-$build/kvdmc-cli}
sandbox=$root/scripts/sandbox
box=$(mktemp -d /tmp/kvdmc-2net.XXXXXX)
trap '"$sandbox" down "$box" >/dev/null 2>&1; rm -rf "$box"' EXIT
trap 'exit 130' INT TERM

SANDBOX_SPLIT=1 "$sandbox" up "$box" >/dev/null || { echo "FAIL: sandbox did not come up"; exit 1; }
# shellcheck disable=SC1091
source "$box/env"

fails=0
# discover_has NAME EXPECT_SERVER EXPECT_RENDERER [cli options...]
discover_has() {
    local name=$1 want_s=$2 want_r=$3 out has_s=0 has_r=0
    shift 3
    out=$("$sandbox" run "$box" -- "$cli" discover --timeout 2500 "$@" 2>&1)
    grep -q "\"udn\":\"$SERVER_UDN\"" <<<"$out" && has_s=1
    grep -q "\"udn\":\"$RENDERER_UDN\"" <<<"$out" && has_r=1
    if [ "$has_s$has_r" != "$want_s$want_r" ]; then
        echo "FAIL $name: server found=$has_s (want $want_s), renderer found=$has_r (want $want_r)"
        echo "$out"
        fails=$((fails + 1))
    fi
}

discover_has "every interface" 1 1
discover_has "--if on the server's network" 1 0 --if "$CLIENT_IF_ADDR"
discover_has "--if on the renderer's network" 0 1 --if "$CLIENT_IF2_ADDR"

[ $fails = 0 ] && echo "two networks: 3 checks passed"
exit $((fails > 0))
