#!/usr/bin/env bash
# A power cut at a moment inside a fresh installation of the agent, under Wine
# with the real service host and runtime library, in a prefix of its own: every
# process of the prefix is ended (the closest Wine has to a power cut), the
# prefix is started again (the reboot), and the installation must converge on
# its own: the offered version recorded and the agent's services running.
#
#   freshInstallPowerCut.sh MOMENT BIN_DIR STAGE_DIR
#
# MOMENT     download    the cabinet is half downloaded
#            extraction  the tray program is extracted, the rest of the cabinet is not
#            services    everything is extracted and the agent service is starting
# BIN_DIR    the build's bin folder (palvanesvc.exe, palvane.dll)
# STAGE_DIR  the agent's files as the test cabinets hold them
set -euo pipefail

MOMENT=$1
BIN=$2
STAGE=$3
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
VERSION=1.0.0
SERVICES=(twprotect twQuillmark tarnwell_qmproxy qmdns)
MOMENT_BUDGET_S=60
CONVERGE_BUDGET_S=90

WORK=$(mktemp -d /tmp/palvane-powercut.XXXXXX)
# shellcheck source=scripts/wine-env
source "$ROOT/scripts/wine-env" "$WORK/wine"
INSTALL_WIN='C:\Tarnwell Agent\'
INSTALL="$WINEPREFIX/drive_c/Tarnwell Agent"
RUNTIME_LOG="$INSTALL/Quillmark Palvane/logs/palvane.log"
SERVER=""
KEEPER=""

cleanup() {
  [ -n "$SERVER" ] && kill "$SERVER" 2>/dev/null || true
  [ -n "$KEEPER" ] && kill "$KEEPER" 2>/dev/null || true
  wine_prefix_stop
  rm -rf "$WORK"
}
trap cleanup EXIT

say() { printf '== %s\n' "$*"; }

fail() {
  say "FAILED ($MOMENT): $*"
  say "Runtime log (last lines)"
  tail -n 40 "$RUNTIME_LOG" 2>/dev/null || true
  exit 1
}

# waitFor SECONDS COMMAND...: polls the command until it succeeds.
waitFor() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.02
  done
}

# The cabinet of this moment. Extraction follows the cabinet's order: for the
# "extraction" moment the tray program comes first and a large, well
# compressed file holds the extraction after it.
makeCabinet() {
  local stage="$WORK/stage"
  local tray=("Quillmark Agent/twptray.exe" "Quillmark Agent/twptray.exe.lifetime")
  local others=("Quillmark Agent/twpagent.exe" "qmproxy/qmproxysvc.exe" "qmdns/dnsserver.exe"
    "Quillmark Drivers/twprotect.inf" "Quillmark Drivers/twprotect.exe"
    "Quillmark Drivers/PacketFilterDriver.inf" "Quillmark Drivers/PacketFilterDriver.exe")
  local files=("${tray[@]}" "${others[@]}")
  mkdir -p "$stage"
  cp -r "$STAGE/." "$stage/"
  case $MOMENT in
    extraction)
      head -c 400M /dev/zero >"$stage/Quillmark Agent/padding.bin"
      files=("${tray[@]}" "Quillmark Agent/padding.bin" "${others[@]}")
      ;;
    services)
      printf 'start=slow\ndelay=8000\nhint=2000\n' >"$stage/Quillmark Agent/twpagent.behaviour"
      files+=("Quillmark Agent/twpagent.behaviour")
      ;;
  esac
  (cd "$stage" && gcab -c -z "$WORK/agent_full.cab" "${files[@]}")
}

startKeeper() {
  # Under Wine a service ends with the last ordinary program of the prefix.
  "$WINE" cmd /c pause <"$WORK/keep" >/dev/null 2>&1 &
  KEEPER=$!
}

setting() {
  "$WINE" reg query 'HKLM\Software\Tarnwell' /v "$1" </dev/null 2>/dev/null | tr -d '\r' |
    awk -v name="$1" '$1 == name { print $3 }'
}

serviceRunning() {
  "$WINE" sc query "$1" </dev/null 2>/dev/null | tr -d '\r' | grep -q 'STATE.*RUNNING'
}

converged() {
  [ "$(setting installed_version)" = "$VERSION" ] || return 1
  local service
  for service in "${SERVICES[@]}"; do serviceRunning "$service" || return 1; done
}

momentReached() {
  case $MOMENT in
    download) [ -e "$WORK/stalled" ] ;;
    extraction) [ -e "$INSTALL/Quillmark Agent/padding.bin" ] ;;
    services) grep -q 'twQuillmark is not found, install it' "$RUNTIME_LOG" 2>/dev/null ;;
    *) echo "unknown moment $MOMENT" >&2; exit 2 ;;
  esac
}

say "Moment: $MOMENT"
makeCabinet
wine_prefix_start
mkfifo "$WORK/keep"
startKeeper
exec 7>"$WORK/keep"

mkdir -p "$INSTALL/logs" "$INSTALL/Quillmark Palvane/logs"
cp "$BIN/palvanesvc.exe" "$INSTALL/"
cp "$BIN/palvane.dll" "$INSTALL/Quillmark Palvane/"
stall=()
[ "$MOMENT" = download ] && stall=("$WORK/stalled")
"$ROOT/scripts/demo-update-server" "$WORK/agent_full.cab" "$VERSION" "$WORK/port" "${stall[@]}" \
  >"$WORK/server.log" 2>&1 &
SERVER=$!
waitFor 10 test -s "$WORK/port" || fail "the update server did not start"
for entry in "Path=$INSTALL_WIN" "environment=http://127.0.0.1:$(cat "$WORK/port")/" "cid=powercut" \
  "machine-guid=powercut-machine"; do
  "$WINE" reg add 'HKLM\Software\Tarnwell' /v "${entry%%=*}" /t REG_SZ /d "${entry#*=}" /f </dev/null >/dev/null 2>&1
done
"$WINE" "${INSTALL_WIN}palvanesvc.exe" -install </dev/null 2>/dev/null | cat
"$WINE" sc start twPalvane </dev/null >/dev/null 2>&1

waitFor $MOMENT_BUDGET_S momentReached || fail "the moment was not reached"
"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
"$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
KEEPER=""
say "Power cut; on the disk:"
(cd "$INSTALL" && find . -type f ! -path './logs/*' ! -path './Quillmark Palvane/*' | sort | sed 's/^/   /')

# A machine setting as the registry file kept it at the cut (the prefix is
# down: asking Wine would start it, and the agent's services with it).
savedSetting() {
  awk -v name="\"$1\"" '/^\[/ { inside = ($0 ~ /^\[Software\\\\Tarnwell\]/) }
    inside && index($0, name "=") == 1 { sub(/^[^=]*="/, ""); sub(/"$/, ""); print }' "$WINEPREFIX/system.reg"
}

# The cut must have landed where the moment says, or the test proves nothing.
landed() {
  local stage version
  stage=$(savedSetting install-stage)
  version=$(savedSetting installed_version)
  [ -z "$version" ] || fail "the cut came after the version was recorded ($version)"
  case $MOMENT in
    download)
      [ -z "$stage" ] && ! [ -e "$INSTALL/Quillmark Agent/twptray.exe" ] &&
        ls "$INSTALL"/*.cab.part >/dev/null 2>&1 && ! ls "$INSTALL"/*.cab >/dev/null 2>&1 ;;
    extraction)
      [ "$stage" = extracting ] && [ -e "$INSTALL/Quillmark Agent/twptray.exe" ] &&
        ! [ -e "$INSTALL/qmdns/dnsserver.exe" ] ;;
    services)
      [ "$stage" = extracted ] && [ -e "$INSTALL/qmdns/dnsserver.exe" ] ;;
  esac || fail "the cut did not land at the $MOMENT (install-stage='$stage')"
  say "The cut landed at the $MOMENT: install-stage='$stage', no version recorded"
}
landed

# The reboot: the auto-start service host starts with the prefix's first program.
"$WINESERVER" -p </dev/null >/dev/null 2>&1
startKeeper
"$WINE" wineboot </dev/null >/dev/null 2>&1 || true
start=$SECONDS
if ! waitFor $CONVERGE_BUDGET_S converged; then
  for service in "${SERVICES[@]}"; do
    serviceRunning "$service" && echo "   $service running" || echo "   $service not running"
  done
  fail "not converged after ${CONVERGE_BUDGET_S} s: installed_version='$(setting installed_version)'"
fi
say "Converged $((SECONDS - start)) s after the restart: version $VERSION recorded, ${SERVICES[*]} running"
exec 7>&-
