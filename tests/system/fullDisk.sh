#!/usr/bin/env bash
# A fresh installation of the agent whose install disk fills up during the
# extraction, under Wine with the real service host and runtime library, in a
# prefix of its own. The install folder lies on a small tmpfs (a drive letter
# of the prefix): the cabinet downloads, its last file does not fit. The
# attempt must fail, record no version, take away what it unpacked and leave
# the service host and runtime running; once the disk has room and the
# service is started again, the agent is installed with every file whole.
#
#   fullDisk.sh BIN_DIR STAGE_DIR
#
# BIN_DIR    the build's bin folder (palvanesvc.exe, palvane.dll)
# STAGE_DIR  the agent's files as the test cabinets hold them
# Exits 77 (skipped) where a tmpfs cannot be mounted.
set -euo pipefail

BIN=$1
STAGE=$2
FAILURE_BUDGET_S=40
CONVERGE_BUDGET_S=60
# Room left for the extraction, and the file that does not fit in it.
MARGIN_KIB=$((8 * 1024))
PADDING=64M
# shellcheck source=tests/system/agentPrefix.sh
source "$(dirname "$0")/agentPrefix.sh" full-disk

DISK="$WORK/disk"
installFolderAt 'D:\Tarnwell Agent\' "$DISK/Tarnwell Agent"
PADDING_FILE="Quillmark Agent/padding.bin"

# The prefix's processes hold files on the disk until they have ended.
releaseDisk() {
  wine_prefix_stop
  timeout 20 "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  if mountpoint -q "$DISK"; then umount "$DISK" || umount -l "$DISK"; fi
  cleanup
}
trap releaseDisk EXIT

# The agent's files with a large, well compressed file last: the others land,
# it does not fit.
makeCabinet() {
  local stage="$WORK/stage"
  mkdir -p "$stage"
  cp -r "$STAGE/." "$stage/"
  head -c $PADDING /dev/zero >"$stage/$PADDING_FILE"
  (cd "$stage" && gcab -c -z "$WORK/agent_full.cab" "${AGENT_FILES[@]}" "$PADDING_FILE")
}

usedKiB() { df -k --output=used "$DISK" | tail -n 1 | tr -d ' '; }

# The host and runtime, the cabinet and the agent's files but the last fit.
mountSmallDisk() {
  local kib
  kib=$(du -skc "$BIN/palvanesvc.exe" "$BIN/palvane.dll" "$WORK/agent_full.cab" "$STAGE" | tail -n 1 | cut -f 1)
  mkdir -p "$DISK"
  if ! mount -t tmpfs -o size=$((kib + MARGIN_KIB))k tmpfs "$DISK" 2>/dev/null; then
    say "SKIPPED: a tmpfs cannot be mounted here"
    exit 77
  fi
  # The logs are kept off the full disk, so that what happened can be read.
  mkdir -p "$WORK/logs/host" "$WORK/logs/runtime" "$LIBRARY"
  ln -s "$WORK/logs/host" "$INSTALL/logs"
  ln -s "$WORK/logs/runtime" "$LIBRARY/logs"
}

beforeServiceStart() {
  ln -sfn "$DISK" "$WINEPREFIX/dosdevices/d:"
  USED_BEFORE=$(usedKiB)
}

extractionFailed() { grep -q "Errors occurred while extracting .*padding.bin" "$RUNTIME_LOG" 2>/dev/null; }
attemptEnded() { extractionFailed || [ -n "$(setting installed_version)" ]; }

# The failed attempt has ended: its values and every file it unpacked are gone.
attemptUndone() {
  [ -z "$(setting install-stage)" ] || return 1
  local file
  for file in "${AGENT_FILES[@]}" "$PADDING_FILE"; do [ ! -e "$INSTALL/$file" ] || return 1; done
  ! ls "$INSTALL"/*.cab* >/dev/null 2>&1
}

hostPid() {
  local pid
  for pid in $(pgrep -f 'palvanesvc\.exe' || true); do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && echo "$pid" && return 0
  done
  return 1
}

crashed() { grep -E "Caught exception|Catch an exception|Unknown exception" "$HOST_LOG" "$RUNTIME_LOG" 2>/dev/null; }

makeCabinet
mountSmallDisk
installAgentHost "$WORK/agent_full.cab"
waitFor 10 hostPid >/dev/null || fail "the service host did not start"
host=$(hostPid)

waitFor $FAILURE_BUDGET_S attemptEnded && extractionFailed ||
  fail "the extraction did not fail on the full disk (installed_version='$(setting installed_version)')"
say "The disk filled: $(grep -m 1 "Errors occurred while extracting" "$RUNTIME_LOG")"
waitFor $FAILURE_BUDGET_S attemptUndone || fail "the failed attempt left behind install-stage='$(setting install-stage)'" \
  "and the files $(cd "$INSTALL" && find . -type f ! -path './Quillmark Palvane/*' ! -name palvanesvc.exe | sort | tr '\n' ' ')"
[ -z "$(setting installed_version)" ] || fail "a version was recorded: $(setting installed_version)"
used=$(usedKiB)
[ "$used" -le $((USED_BEFORE + 1024)) ] || fail "the disk holds $used KiB, $USED_BEFORE KiB before the attempt"
say "Nothing recorded, the unpacked files removed: $used KiB used, $USED_BEFORE KiB before the attempt"
! crashed || fail "an exception was caught"
[ "$(hostPid)" = "$host" ] && serviceRunning twPalvane || fail "the service host did not keep running"
"$WINE" sc stop twPalvane </dev/null >/dev/null 2>&1
waitFor 30 serviceRunning twPalvane STOPPED || fail "the runtime did not stop when asked"
say "The service host and runtime kept running and stopped when asked"

# The runtime tries the same offer again only after 40 s; a start of the
# service tries it at once.
mount -o remount,size=$(($(df -k --output=size "$DISK" | tail -n 1) + 128 * 1024))k "$DISK"
"$WINE" sc start twPalvane </dev/null >/dev/null 2>&1
awaitConverged $CONVERGE_BUDGET_S "after room was made and the service started again"
(cd "$WORK/stage" && for file in "${AGENT_FILES[@]}" "$PADDING_FILE"; do
  cmp -s "$file" "$INSTALL/$file" || fail "$file is not installed whole"
done)
say "Every installed file is whole"
! crashed || fail "an exception was caught"
exec 7>&-
