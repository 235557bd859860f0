#!/usr/bin/env bash
# kvdmc-test: peers
# The sandbox with real peers comes up, both peers are found and read from the
# client namespace, the media tree is scanned whole, and `down` and `wrap`
# leave nothing behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
sb=$root/scripts/sandbox
e2e=$root/tests/e2e
dir=$(mktemp -d /tmp/kvdmc-sandbox-test.XXXXXX)
finish() {
    local rc=$?
    "$sb" down "$dir" || true
    if [ $rc != 0 ]; then
        tail -n 15 "$dir/minidlna/log/minidlna.log" "$dir/minidlna/stdout.log" "$dir/gmediarender.out" 2>/dev/null || true
    fi
    rm -rf "$dir"
}
trap finish EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$sb" up "$dir"
"$sb" status "$dir" || fail "status says down right after up"
# shellcheck disable=SC1091
. "$dir/env"
run() { "$sb" run "$dir" -- "$@"; }

desc=$(run curl -s -m 5 "$SERVER_URL") || fail "server description unreachable"
[[ $desc == *"<UDN>$SERVER_UDN</UDN>"* ]] || fail "server UDN is not $SERVER_UDN"
[[ $desc == *"urn:schemas-upnp-org:device:MediaServer:1"* ]] || fail "server is no MediaServer"
desc=$(run curl -s -m 5 "$RENDERER_URL") || fail "renderer description unreachable"
[[ $desc == *"<UDN>$RENDERER_UDN</UDN>"* ]] || fail "renderer UDN is not $RENDERER_UDN"
[[ $desc == *"urn:schemas-upnp-org:device:MediaRenderer:1"* ]] || fail "renderer is no MediaRenderer"

# Multicast search from the client's interface reaches both peers.
replies=$(run python3 "$e2e/ssdp_probe.py" "$CLIENT_IF_ADDR" --wait 2 \
    --st urn:schemas-upnp-org:device:MediaServer:1 --st urn:schemas-upnp-org:device:MediaRenderer:1)
grep -qi "^LOCATION: $SERVER_URL" <<<"$replies" || fail "no search reply from the server"
grep -qi "^LOCATION: $RENDERER_URL" <<<"$replies" || fail "no search reply from the renderer"

# The scan is complete: the Big folder (first under Browse Folders) has all its files.
big=$(run python3 "$e2e/upnp_soap.py" "http://$SERVER_ADDR:8200/ctl/ContentDir" \
    urn:schemas-upnp-org:service:ContentDirectory:1 Browse 'ObjectID=64$0' \
    BrowseFlag=BrowseDirectChildren 'Filter=*' StartingIndex=0 RequestedCount=1 SortCriteria=)
[[ $big == *"<TotalMatches>$BIG_COUNT</TotalMatches>"* ]] || fail "Big folder incomplete: $(grep -o "<TotalMatches>.*</TotalMatches>" <<<"$big") $(grep -o "dc:title&gt;[^&]*" <<<"$big")"

# The renderer plays a track from the server (its GStreamer plugins are there).
avt=urn:schemas-upnp-org:service:AVTransport:1
ctl=http://$RENDERER_ADDR:49494/upnp/control/rendertransport1
soap() { run python3 "$e2e/upnp_soap.py" "$ctl" $avt "$@" InstanceID=0; }
[[ $(soap SetAVTransportURI CurrentURI="$SONG_URL" CurrentURIMetaData=) == "HTTP 200"* ]] ||
    fail "SetAVTransportURI refused"
[[ $(soap Play Speed=1) == "HTTP 200"* ]] || fail "Play refused"
state=
for ((i = 0; i < 20; i++)); do
    state=$(soap GetTransportInfo | grep -o '<CurrentTransportState>[A-Z_]*' || true)
    [ "$state" != "<CurrentTransportState>PLAYING" ] || break
    sleep 0.2
done
[ "$state" = "<CurrentTransportState>PLAYING" ] || fail "renderer state: $state"
[[ $(soap GetPositionInfo) == *"<TrackURI>$SONG_URL</TrackURI>"* ]] || fail "renderer plays another URI"
soap Stop >/dev/null

# Commands see the sandbox's variables; their exit status comes back.
[ "$(run sh -c 'echo $CLIENT_IF_ADDR')" = "$CLIENT_IF_ADDR" ] || fail "env not exported to run"
set +e
run sh -c 'exit 7'
rc=$?
set -e
[ $rc = 7 ] || fail "run returned $rc instead of 7"

"$sb" down "$dir"
for ns in "$HUB_NS" "$SERVER_NS" "$RENDERER_NS" "$CLIENT_NS"; do
    [ ! -e "/run/netns/$ns" ] || fail "namespace $ns left behind"
done
for pid in "$SERVER_PID" "$RENDERER_PID"; do
    [ ! -d "/proc/$pid" ] || [ "$(awk '{print $3}' "/proc/$pid/stat")" = Z ] || fail "peer $pid still runs"
done
! "$sb" status "$dir" || fail "status says up after down"
"$sb" down "$dir" || fail "second down failed"

# wrap: a whole command inside a sandbox of its own, torn down afterwards.
rm -rf "${dir:?}"/*
set +e
"$sb" wrap "$dir" -- sh -c 'curl -s -m 5 -o /dev/null "$RENDERER_URL" && exit 5' 2>/dev/null
rc=$?
set -e
[ $rc = 5 ] || fail "wrap returned $rc instead of 5"
. "$dir/env"
[ ! -e "/run/netns/$CLIENT_NS" ] || fail "wrap left $CLIENT_NS behind"
echo "sandbox test passed"
