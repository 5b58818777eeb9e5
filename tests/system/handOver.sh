#!/usr/bin/env bash
# A hand-over to a runtime library that cannot serve, under Wine's service
# control manager with the real service host and runtime library, in a prefix
# of its own: a fresh installation whose cabinet carries a "newer runtime
# library" must still complete, with the runtime that was loaded, and leave
# that runtime recorded (and the unusable file gone, or kept on trial after a
# crash).
#
#   handOver.sh CASE BIN_DIR STAGE_DIR SIGNED_DIR
#
# CASE        stop-in-pause  the library loads but has no exports; the service
#                            is stopped during the hand-over's pause and
#                            started again
#             not-a-library  the "library" is a text file
#             tampered       a signed host, and a copy of its signer's library
#                            with one byte changed
#             crash-in-start, crash-after-start, fails-in-start
#                            the library crashes in or after its start, or its
#                            start fails inside, twice: the loaded one had
#                            proved itself and hands over once more. Wine's
#                            service control manager ignores failure actions,
#                            so the test restarts the prefix itself
# BIN_DIR     the build's bin folder (palvanesvc.exe, palvane.dll, exportless.dll)
# STAGE_DIR   the agent's files as the test cabinets hold them
# SIGNED_DIR  signed copies of the host and the runtime library
set -euo pipefail

CASE=$1
BIN=$2
STAGE=$3
SIGNED=$4
NEW_LIBRARY=palvane_9.9.9.dll
HAND_OVER_BUDGET_S=90
# Within a minute of the hand-over, the 5 s pause included.
COMPLETION_BUDGET_S=60
# shellcheck source=tests/system/agentPrefix.sh
source "$(dirname "$0")/agentPrefix.sh" "handover-$CASE"

# The agent's cabinet with a nested runtime library cabinet of another version.
makeCabinet() {
  local stage="$WORK/stage"
  mkdir -p "$stage/library"
  cp -r "$STAGE/." "$stage/"
  case $CASE in
    stop-in-pause) cp "$BIN/exportless.dll" "$stage/library/$NEW_LIBRARY" ;;
    not-a-library) printf 'not a library' >"$stage/library/$NEW_LIBRARY" ;;
    *-start) cp "$BIN/palvane_test1.dll" "$stage/library/$NEW_LIBRARY" ;;
    tampered)
      cp "$SIGNED/palvane.dll" "$stage/library/$NEW_LIBRARY"
      python3 - "$stage/library/$NEW_LIBRARY" <<'PY'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
data[len(data) // 2] ^= 0xFF
open(path, "wb").write(data)
PY
      ;;
    *) echo "unknown case $CASE" >&2; exit 2 ;;
  esac
  (cd "$stage/library" && gcab -c "$stage/palvane_9.9.9.cab" "$NEW_LIBRARY")
  (cd "$stage" && gcab -c -z "$WORK/agent_full.cab" "${AGENT_FILES[@]}" palvane_9.9.9.cab)
}

handOverBegun() { grep -q "load_new_dll(): is about to load new dll $NEW_LIBRARY" "$HOST_LOG" 2>/dev/null; }

crashes() { [ "${CASE#crash-}" != "$CASE" ]; }
failsTwice() { [ "${CASE%-start}" != "$CASE" ]; }
# As a run before this one left it: the loaded runtime proved itself.
beforeServiceStart() {
  failsTwice || return 0
  "$WINE" reg add 'HKLM\Software\Tarnwell' /v dll-proved /t REG_SZ /d "${INSTALL_WIN}Quillmark Palvane\palvane.dll" \
    /f </dev/null >/dev/null 2>&1
  case $CASE in crash-in-start) echo start ;; crash-after-start) echo after ;; *) echo fail ;; esac \
    >"$LIBRARY/palvane_test_crash.txt"
}
logged() { [ "$(grep -c "$2" "$HOST_LOG" 2>/dev/null)" -ge "$1" ]; }

say "Case: $CASE"
makeCabinet
if [ "$CASE" = tampered ]; then
  HOST_PROGRAM="$SIGNED/palvanesvc.exe" RUNTIME_LIBRARY="$SIGNED/palvane.dll" installAgentHost "$WORK/agent_full.cab"
else
  installAgentHost "$WORK/agent_full.cab"
fi
waitFor $HAND_OVER_BUDGET_S handOverBegun || fail "the hand-over did not begin"

if [ "$CASE" = stop-in-pause ]; then
  "$WINE" sc stop twPalvane </dev/null >/dev/null 2>&1
  waitFor 30 serviceRunning twPalvane STOPPED || fail "the service did not stop"
  grep -q "The service is stopping; $NEW_LIBRARY is loaded at the next start." "$HOST_LOG" ||
    fail "the stop did not come in the hand-over's pause"
  "$WINE" sc start twPalvane </dev/null >/dev/null 2>&1
fi
if crashes; then
  for crash in 1 2; do
    waitFor 60 logged $crash "Caught exception in handler" || fail "$NEW_LIBRARY did not crash $crash times"
    rebootPrefix
  done
fi
awaitConverged $COMPLETION_BUDGET_S "after the hand-over began"

if failsTwice; then
  logged 2 "load_new_dll(): is about to load new dll $NEW_LIBRARY" || fail "the proved library did not hand over again"
  crashes || logged 2 "The start of $NEW_LIBRARY failed inside" || fail "the failed starts were not counted"
  ! crashes || grep -q "did not end cleanly; the proved library palvane.dll is started first" "$HOST_LOG" ||
    fail "not started first"
  provedLoaded() {
    "$WINE" reg query 'HKLM\Software\Tarnwell' /v dll_file_name </dev/null 2>/dev/null | grep -qF 'Palvane\palvane.dll'
  }
  waitFor 10 provedLoaded || fail "the loaded runtime is not the proved one"
  [ -e "$LIBRARY/palvane.dll" ] || fail "the proved library is gone"
else
  [ ! -e "$LIBRARY/$NEW_LIBRARY" ] || fail "$NEW_LIBRARY was not deleted"
fi
[ "$(setting dll_version)" = "1.0.0" ] || fail "dll_version is '$(setting dll_version)', not the loaded library's"
[ -n "$(setting ipc_palvane_port)" ] || fail "the runtime publishes no IPC port"
if [ "$CASE" = tampered ]; then
  grep -q "$NEW_LIBRARY is not loaded: its signature is not intact" "$HOST_LOG" || fail "the tampered library was not refused"
fi
say "The loaded runtime completed the installation, and dll_version names palvane.dll again"
exec 7>&-
