#!/usr/bin/env bash
# fullDisk.sh BIN_DIR STAGE_DIR: a fresh installation whose install disk (a
# tmpfs behind drive D:) fills up during the extraction fails, records nothing,
# takes away what it unpacked and leaves the service running; once there is
# room, the agent is installed whole. Exits 77 (skipped) where no tmpfs mounts.
set -euo pipefail

BIN=$1 STAGE=$2
# shellcheck source=tests/system/agentPrefix.sh
source "$(dirname "$0")/agentPrefix.sh" full-disk
DISK="$WORK/disk"
installFolderAt 'D:\Tarnwell Agent\' "$DISK/Tarnwell Agent"
PADDING_FILE="Quillmark Agent/padding.bin"

releaseDisk() {
  wine_prefix_stop
  timeout 20 "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  if mountpoint -q "$DISK"; then umount "$DISK" || umount -l "$DISK"; fi
  cleanup
}
trap releaseDisk EXIT

# Room for all but the 64 MiB of zeros that come last in the cabinet; the
# logs lie off the disk so that they can tell what happened.
prepareDisk() {
  mkdir -p "$WORK/stage" "$DISK"
  cp -r "$STAGE/." "$WORK/stage/"
  head -c 64M /dev/zero >"$WORK/stage/$PADDING_FILE"
  (cd "$WORK/stage" && gcab -c -z "$WORK/agent_full.cab" "${AGENT_FILES[@]}" "$PADDING_FILE")
  local kib
  kib=$(du -skc "$BIN/palvanesvc.exe" "$BIN/palvane.dll" "$WORK/agent_full.cab" "$STAGE" | tail -n 1 | cut -f 1)
  mount -t tmpfs -o size=$((kib + 8192))k tmpfs "$DISK" 2>/dev/null || { say "SKIPPED: no tmpfs can be mounted"; exit 77; }
  mkdir -p "$WORK/logs/host" "$WORK/logs/runtime" "$LIBRARY"
  ln -s "$WORK/logs/host" "$INSTALL/logs"
  ln -s "$WORK/logs/runtime" "$LIBRARY/logs"
}

beforeServiceStart() { ln -sfn "$DISK" "$WINEPREFIX/dosdevices/d:" && USED_BEFORE=$(usedKiB); }

usedKiB() { df -k --output=used "$DISK" | tail -n 1 | tr -d ' '; }
extractionFailed() { grep -q "Errors occurred while extracting .*padding.bin" "$RUNTIME_LOG" 2>/dev/null; }
attemptEnded() { extractionFailed || [ -n "$(setting installed_version)" ]; }
attemptUndone() {
  [ -z "$(setting install-stage)" ] || return 1
  for file in "${AGENT_FILES[@]}" "$PADDING_FILE"; do [ ! -e "$INSTALL/$file" ] || return 1; done
  ! ls "$INSTALL"/*.cab* >/dev/null 2>&1
}
# Wine's service control manager never reports a killed service stopped.
hostPid() {
  for pid in $(pgrep -f 'palvanesvc\.exe' || true); do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && echo "$pid" && return 0
  done
  return 1
}
crashed() { grep -E "Caught exception|Catch an exception|Unknown exception" "$HOST_LOG" "$RUNTIME_LOG" 2>/dev/null; }

prepareDisk
installAgentHost "$WORK/agent_full.cab"
waitFor 10 hostPid >/dev/null || fail "the service host did not start"
host=$(hostPid)
waitFor 40 attemptEnded && extractionFailed || fail "no failure on the full disk ($(setting installed_version))"
waitFor 40 attemptUndone || fail "the failed attempt left behind: $(setting install-stage)" \
  "$(cd "$INSTALL" && find . -type f ! -path './Quillmark Palvane/*' ! -name palvanesvc.exe | tr '\n' ' ')"
[ -z "$(setting installed_version)" ] || fail "a version was recorded: $(setting installed_version)"
[ "$(usedKiB)" -le $((USED_BEFORE + 1024)) ] || fail "the disk holds $(usedKiB) KiB, $USED_BEFORE KiB before"
! crashed && [ "$(hostPid)" = "$host" ] && serviceRunning twPalvane || fail "the service did not keep running"
"$WINE" sc stop twPalvane </dev/null >/dev/null 2>&1
waitFor 30 serviceRunning twPalvane STOPPED || fail "the runtime did not stop when asked"
say "The full disk failed the attempt, which left nothing behind; the service ran on"

# The same offer is tried again only after 40 s; a start tries it at once.
mount -o remount,size=$(($(df -k --output=size "$DISK" | tail -n 1) + 128 * 1024))k "$DISK"
"$WINE" sc start twPalvane </dev/null >/dev/null 2>&1
awaitConverged 60 "once the disk had room"
(cd "$WORK/stage" && for file in "${AGENT_FILES[@]}" "$PADDING_FILE"; do
  cmp -s "$file" "$INSTALL/$file" || fail "$file is not installed whole"
done)
! crashed || fail "an exception was caught"
exec 7>&-
