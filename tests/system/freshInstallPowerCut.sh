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
MOMENT_BUDGET_S=60
CONVERGE_BUDGET_S=90
# shellcheck source=tests/system/agentPrefix.sh
source "$(dirname "$0")/agentPrefix.sh" "powercut-$MOMENT"

# The cabinet of this moment. Extraction follows the cabinet's order: for the
# "extraction" moment the tray program comes first and a large, well
# compressed file holds the extraction after it.
makeCabinet() {
  local stage="$WORK/stage"
  local tray=("${AGENT_FILES[@]:0:2}")
  local others=("${AGENT_FILES[@]:2}")
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
stall=()
[ "$MOMENT" = download ] && stall=("$WORK/stalled")
installAgentHost "$WORK/agent_full.cab" "${stall[@]}"

waitFor $MOMENT_BUDGET_S momentReached || fail "the moment was not reached"
"$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
"$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
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

rebootPrefix
awaitConverged $CONVERGE_BUDGET_S "after the restart"
exec 7>&-
