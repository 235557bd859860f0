#!/usr/bin/env bash
# A host written in C, cross-compiled against the import library, loads kvdmc.dll under wine;
# kvdmc.exe answers the API from its own export table; both tools run the same commands.
# Runs from the Windows build's ctest, under scripts/wine-test.
# Usage: bash tests/win_host_check.sh BUILD_DIR
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: win_host_check.sh BUILD_DIR}" && pwd)
run=$root/scripts/wine-run
work=$(mktemp -d /tmp/kvdmc-host.XXXXXX)
trap 'rm -rf "$work"' EXIT
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }

cat >"$work/host.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <windows.h>
#include "kvdmc.h"

int main(void) {
    /* Through the import library. */
    if (strcmp(kvdmc_version(), "1.0.0") != 0) return 10;
    if (kvdmc_use_fake() != 0) return 11;
    if (kvdmc_fake_ssdp("NOTIFY * HTTP/1.1\r\nNT: x\r\nNTS: ssdp:byebye\r\nUSN: uuid:a\r\n\r\n", "10.0.0.1") < 0)
        return 12;
    if (kvdmc_parse_ssdp(NULL) != -1 || strcmp(kvdmc_last_error(), "parse_ssdp: null packet") != 0) return 13;
    /* The built-in transport is WinHTTP: selecting it succeeds. */
    if (kvdmc_use_curl() != 0) return 14;
    /* kvdmc.exe carries the API in its own export table, as a host loading it would see. */
    HMODULE exe = LoadLibraryA(EXE_PATH);
    if (!exe) return 20;
    typedef const char *(*version_fn)(void);
    version_fn v = (version_fn)(void (*)(void))GetProcAddress(exe, "kvdmc_version");
    if (!v || strcmp(v(), "1.0.0") != 0) return 21;
    if (GetProcAddress(exe, "plat_now_ms") || GetProcAddress(exe, "sb_init")) return 22;
    puts("host ok");
    return 0;
}
C
cp "$build/kvdmc.dll" "$work/"
winexe=$(WINEPREFIX=${WINEPREFIX:-} winepath -w "$build/kvdmc.exe" 2>/dev/null | sed 's/\\/\\\\/g')
if ! x86_64-w64-mingw32-gcc-posix -std=c99 -Wall -Wextra -Werror -I"$root/include" -DEXE_PATH="\"$winexe\"" \
    "$work/host.c" "$build/libkvdmc.dll.a" -o "$work/host.exe"; then
    fail "the C host does not compile against include/kvdmc.h and libkvdmc.dll.a"
else
    (cd "$work" && "$run" ./host.exe >"$work/out" 2>&1)
    rc=$?
    out=$(tr -d '\r' <"$work/out") # the console ends lines with CR LF
    [ $rc = 0 ] && [ "$out" = "host ok" ] || fail "C host under wine: exit $rc: $out"
fi

# Both tools: same usage, same exit code, same fake-free refusal.
for tool in kvdmc.exe kvdmc-cli.exe; do
    out=$(cd "$build" && "$run" "./$tool" 2>&1)
    rc=$?
    # The usage names the tool as started, without the directory wine passes.
    [ $rc = 2 ] && grep -q "^usage: $tool discover" <<<"$out" || fail "$tool without a command: exit $rc: $out"
    out=$(cd "$build" && "$run" "./$tool" discover --kind 9 2>&1)
    rc=$?
    [ $rc = 1 ] && grep -q '^discover=-1' <<<"$out" || fail "$tool discover --kind 9: exit $rc: $out"
done
# The tools carry the component (their ls and url go through the access layer, which the
# DLL keeps to itself): like the DLL they need nothing but system DLLs.
objdump=x86_64-w64-mingw32-objdump
imports=$("$objdump" -p "$build/kvdmc.exe" "$build/kvdmc-cli.exe" "$build/kvdmc.dll" | grep 'DLL Name:')
if grep -viE 'kernel32|msvcrt|winhttp|ws2_32|iphlpapi' <<<"$imports"; then
    fail "kvdmc.exe, kvdmc-cli.exe or kvdmc.dll needs a DLL that Windows does not ship"
fi

[ $fails = 0 ] && echo "windows host checks passed"
[ $fails = 0 ]
