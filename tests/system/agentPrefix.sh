# Sourced by the system tests: a Wine prefix of their own under /tmp with the
# real service host and runtime library installed, a stand-in update server
# offering one agent cabinet, and checks of the installation's outcome.
#   source agentPrefix.sh NAME   (NAME names the test in its messages)
# Expects BIN (palvanesvc.exe, palvane.dll) and STAGE (the agent's files).

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
TEST_NAME=$1
VERSION=1.0.0
SERVICES=(twprotect twQuillmark tarnwell_qmproxy qmdns)
AGENT_FILES=("Quillmark Agent/twptray.exe" "Quillmark Agent/twptray.exe.lifetime" "Quillmark Agent/twpagent.exe"
  "qmproxy/qmproxysvc.exe" "qmdns/dnsserver.exe" "Quillmark Drivers/twprotect.inf" "Quillmark Drivers/twprotect.exe"
  "Quillmark Drivers/PacketFilterDriver.inf" "Quillmark Drivers/PacketFilterDriver.exe")

WORK=$(mktemp -d "/tmp/palvane-$TEST_NAME.XXXXXX")
# shellcheck source=scripts/wine-env
source "$ROOT/scripts/wine-env" "$WORK/wine"
# installFolderAt WINDOWS_PATH UNIX_PATH: where the host and runtime (and
# their logs) are installed, the machine setting "Path".
installFolderAt() {
  INSTALL_WIN=$1
  INSTALL=$2
  LIBRARY="$INSTALL/Quillmark Palvane"
  HOST_LOG="$INSTALL/logs/palvanesvc.log"
  RUNTIME_LOG="$LIBRARY/logs/palvane.log"
}
installFolderAt 'C:\Tarnwell Agent\' "$WINEPREFIX/drive_c/Tarnwell Agent"
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
  say "FAILED ($TEST_NAME): $*"
  for log in "$HOST_LOG" "$RUNTIME_LOG"; do
    say "$(basename "$log") (last lines)"
    tail -n 40 "$log" 2>/dev/null || true
  done
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
  "$WINE" sc query "$1" </dev/null 2>/dev/null | tr -d '\r' | grep -q "STATE.*${2:-RUNNING}"
}

converged() {
  [ "$(setting installed_version)" = "$VERSION" ] || return 1
  local service
  for service in "${SERVICES[@]}"; do serviceRunning "$service" || return 1; done
}

# installAgentHost CABINET [UPDATE_SERVER_ARGS...]: a fresh prefix with the
# host and runtime installed, the update server offering CABINET, the service
# installed and started.
installAgentHost() {
  local cabinet=$1
  shift
  wine_prefix_start
  mkfifo "$WORK/keep"
  startKeeper
  exec 7>"$WORK/keep"
  mkdir -p "$INSTALL/logs" "$LIBRARY/logs"
  cp "${HOST_PROGRAM:-$BIN/palvanesvc.exe}" "$INSTALL/palvanesvc.exe"
  cp "${RUNTIME_LIBRARY:-$BIN/palvane.dll}" "$LIBRARY/palvane.dll"
  "$ROOT/scripts/demo-update-server" "$cabinet" "$VERSION" "$WORK/port" "$@" >"$WORK/server.log" 2>&1 &
  SERVER=$!
  waitFor 10 test -s "$WORK/port" || fail "the update server did not start"
  for entry in "Path=$INSTALL_WIN" "environment=http://127.0.0.1:$(cat "$WORK/port")/" "cid=$TEST_NAME" \
    "machine-guid=$TEST_NAME-machine"; do
    "$WINE" reg add 'HKLM\Software\Tarnwell' /v "${entry%%=*}" /t REG_SZ /d "${entry#*=}" /f </dev/null >/dev/null 2>&1
  done
  if declare -F beforeServiceStart >/dev/null; then beforeServiceStart; fi
  "$WINE" "${INSTALL_WIN}palvanesvc.exe" -install </dev/null 2>/dev/null | cat
  "$WINE" sc start twPalvane </dev/null >/dev/null 2>&1
}

# The closest Wine has to a power cut and a reboot: the auto-start service
# host starts again with the prefix's first program.
rebootPrefix() {
  "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
  "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
  KEEPER=""
  "$WINESERVER" -p </dev/null >/dev/null 2>&1
  startKeeper
  "$WINE" wineboot </dev/null >/dev/null 2>&1 || true
}

# awaitConverged SECONDS WHAT: the offered version recorded and the agent's
# services running within SECONDS.
awaitConverged() {
  local start=$SECONDS
  if ! waitFor "$1" converged; then
    for service in "${SERVICES[@]}"; do
      serviceRunning "$service" && echo "   $service running" || echo "   $service not running"
    done
    fail "not converged after $1 s: installed_version='$(setting installed_version)'"
  fi
  say "Converged $((SECONDS - start)) s $2: version $VERSION recorded, ${SERVICES[*]} running"
}
