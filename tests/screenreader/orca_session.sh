#!/usr/bin/env bash
# A desktop of its own in which Orca speaks into a file, for tests that judge what a
# blind player hears: Xvfb, a private D-Bus session, the accessibility bus,
# speech-dispatcher with one output module that appends each utterance to a file, and
# Orca. Runs COMMAND in it, then stops every process it started, by its id. Settings
# and files live in a temporary folder: the machine's own are left as they were.
# Usage: orca_session.sh COMMAND [ARGUMENTS...]
# COMMAND gets DISPLAY, DBUS_SESSION_BUS_ADDRESS and ORCA_SPOKEN, the file of
# utterances, each followed by an ASCII record separator and a line feed. Exits with
# COMMAND's code; 77 (skipped) when a piece is missing, 1 instead when
# PELTHOLLOW_REQUIRE_SCREENREADER=1.
set -u

# The buses start services that leave them at once for init, which may never reap
# them: the script runs under a parent that takes them in (a child subreaper), so that
# it can stop them by their ids and they end reaped.
if [ -z "${ORCA_SESSION_REAPER:-}" ] && command -v python3 >/dev/null; then
  export ORCA_SESSION_REAPER=$$
  exec python3 - "$0" "$@" <<'REAPER'
import ctypes, os, sys, time
ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
script = os.fork()
if script == 0:
    os.execvp('bash', ['bash'] + sys.argv[1:])
code, deadline = 1, None
while deadline is None or time.monotonic() < deadline:
    try:
        pid, status = os.waitpid(-1, os.WNOHANG if deadline else 0)
    except ChildProcessError:
        break
    if pid == script:
        code, deadline = os.waitstatus_to_exitcode(status), time.monotonic() + 5
    elif pid == 0:
        time.sleep(0.1)
sys.exit(code if code >= 0 else 128 - code)
REAPER
fi

missing() {
  if [ "${PELTHOLLOW_REQUIRE_SCREENREADER:-}" = 1 ]; then
    echo "FAIL: $1"
    exit 1
  fi
  echo "SKIP: $1"
  exit 77
}
for tool in Xvfb dbus-daemon speech-dispatcher orca xdotool; do
  command -v "$tool" >/dev/null || missing "$tool is not installed (apt-get install xvfb dbus orca speech-dispatcher xdotool)"
done
launcher=/usr/libexec/at-spi-bus-launcher
[ -x "$launcher" ] || missing "$launcher is missing (apt-get install at-spi2-core)"
modules=/usr/lib/speech-dispatcher-modules
[ -x "$modules/sd_generic" ] || missing "$modules/sd_generic is missing (apt-get install speech-dispatcher)"

work=$(mktemp -d "${TMPDIR:-/tmp}/pelthollow-orca-XXXXXX")
pids=()
# Whether process $1 has ended: gone, or dead and waiting for its parent.
ended() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 0
  stat=${stat##*) }
  [ "${stat%% *}" = Z ]
}
# Stops process $1 and, first, the processes it started (the buses start services,
# the accessibility launcher its bus): stopped while their parent lives, they are
# reaped by it rather than left to init.
stop_tree() {
  local child
  for child in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do stop_tree "$child"; done
  kill -TERM "$1" 2>/dev/null || return 0
  for _ in $(seq 30); do ended "$1" && return 0; sleep 0.1; done
  kill -KILL "$1" 2>/dev/null
}
stop_all() {
  local i orphan
  # The services the buses started, taken in by the reaper; then the last started
  # first: Orca before the speech and the buses it talks to.
  if [ -n "${ORCA_SESSION_REAPER:-}" ]; then
    for orphan in $(cat "/proc/$PPID/task/$PPID/children" 2>/dev/null); do
      [ "$orphan" = $$ ] || stop_tree "$orphan"
    done
  fi
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    stop_tree "${pids[i]}"
    wait "${pids[i]}" 2>/dev/null
  done
  if [ "${status:-1}" -eq 0 ]; then
    rm -rf "$work"
  else
    echo "The desktop's logs and what Orca said are in $work"
  fi
}
trap stop_all EXIT

# Waits up to $1 tenths of a second for the test $2...; false when it never held.
wait_for() {
  local tries=$1
  shift
  for _ in $(seq "$tries"); do "$@" && return 0; sleep 0.1; done
  return 1
}

# A display: Xvfb picks a free number and writes it to the descriptor it is given.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >"$work/xvfb.log" 2>&1 &
pids+=($!)
wait_for 100 test -s "$work/display" || { echo "FAIL: Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$work/display")"

export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# A session bus of its own; the accessibility bus is found through it.
dbus-daemon --config-file=/usr/share/dbus-1/session.conf --nofork \
  --address="unix:path=$work/bus" >"$work/dbus.log" 2>&1 &
pids+=($!)
export DBUS_SESSION_BUS_ADDRESS="unix:path=$work/bus"
wait_for 100 test -S "$work/bus" || { echo "FAIL: dbus-daemon did not start"; exit 1; }
export NO_AT_BRIDGE=0 GTK_MODULES=gail:atk-bridge
"$launcher" --launch-immediately >"$work/at-spi.log" 2>&1 &
pids+=($!)

# Speech into a file: a generic module whose "synthesis" appends the text, whole (it
# would cut it at every full stop). No sound card: ALSA's null device takes the audio
# the module would otherwise fail to open.
export ORCA_SPOKEN=$work/spoken.txt
: >"$ORCA_SPOKEN"
mkdir -p "$work/speechd/modules"
cat >"$work/speechd/speechd.conf" <<CONF
LogLevel 3
AudioOutputMethod "alsa"
AudioALSADevice "null"
AddModule "file" "sd_generic" "file.conf"
DefaultModule file
DefaultLanguage "en"
CONF
cat >"$work/speechd/modules/file.conf" <<CONF
GenericExecuteSynth "printf '%s\\\\036\\\\n' \\'\$DATA\\' >>'$ORCA_SPOKEN'"
GenericLanguage "en" "en" "utf-8"
AddVoice "en" "MALE1" "default"
GenericDelimiters "~"
GenericMaxChunkLength 100000
CONF
speech-dispatcher --run-single --timeout 0 --config-dir "$work/speechd" --module-dir "$modules" \
  --socket-path "$work/speechd.sock" --log-dir "$work" --pid-file "$work/speechd.pid" \
  >"$work/speechd.out" 2>&1 &
pids+=($!)
export SPEECHD_ADDRESS="unix_socket:$work/speechd.sock"
wait_for 100 test -S "$work/speechd.sock" || { echo "FAIL: speech-dispatcher did not start"; exit 1; }

orca --debug-file="$work/orca-debug.log" >"$work/orca.out" 2>&1 &
pids+=($!)
wait_for 300 grep -q 'Screen reader on' "$ORCA_SPOKEN" || { echo "FAIL: Orca did not start"; exit 1; }

# Bounded, so that the desktop is always stopped here, before the test's own limit.
status=0
timeout --kill-after=5 180 "$@" || status=$?
exit "$status"
