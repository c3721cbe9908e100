#!/usr/bin/env bash
# Starts the application offscreen on the simulated machine, in a private
# home, and prints: time from launch to the main window's first paint,
# resident memory after start, CPU over 10 s idle, and CPU over 10 s of
# broadcasting (the whole process, which includes the simulated devices' IO
# thread, and the UI thread alone).
#   bench/app_startup_bench.sh [path/to/choralink]
set -euo pipefail

app=${1:-build/app/choralink}
[ -x "$app" ] || { echo "no application binary at $app (make build first)" >&2; exit 1; }
measure=${CHORALINK_BENCH_SECONDS:-10}
ticks=$(getconf CLK_TCK)
home=$(mktemp -d /tmp/choralink-bench-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid"; wait "$pid" || true; fi
  rm -rf "$home"
}
trap cleanup EXIT

# launch NAME [VAR=value ...]: starts the app with its own folders; sets pid.
launch() {
  local name=$1
  shift
  mkdir -p "$home/$name/run"
  chmod 700 "$home/$name/run"
  env -i PATH="$PATH" HOME="$home/$name" XDG_CONFIG_HOME="$home/$name/config" \
    XDG_STATE_HOME="$home/$name/state" XDG_RUNTIME_DIR="$home/$name/run" \
    QT_QPA_PLATFORM=offscreen CHORALINK_AUDIO_BACKEND=sim CHORALINK_BENCH=1 \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/none" "$@" "$app" >"$home/$name.out" 2>&1 &
  pid=$!
}

# wait_for FILE TEXT: until FILE holds TEXT (at most 20 s).
wait_for() {
  for _ in $(seq 400); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  exit 1
}

# cpu_ticks STATFILE: user + system clock ticks so far.
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "$1"; }

# cpu_percent PID: the process's and its main (UI) thread's share of one core
# over the measuring time, as "process ui".
cpu_percent() {
  local p0 u0 p1 u1
  p0=$(cpu_ticks "/proc/$1/stat")
  u0=$(cpu_ticks "/proc/$1/task/$1/stat")
  sleep "$measure"
  p1=$(cpu_ticks "/proc/$1/stat")
  u1=$(cpu_ticks "/proc/$1/task/$1/stat")
  awk -v p=$((p1 - p0)) -v u=$((u1 - u0)) -v t="$ticks" -v s="$measure" \
    'BEGIN { printf "%.2f %.2f", 100 * p / t / s, 100 * u / t / s }'
}

stop() {
  kill -TERM "$pid"
  wait "$pid" || true
  pid=""
}

start=$(date +%s.%N)
launch idle
wait_for "$home/idle.out" "choralink-bench first-paint"
painted=$(awk '/choralink-bench first-paint/ { print $3; exit }' "$home/idle.out")
sleep 1
rss_kb=$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")
read -r idle_process idle_ui <<<"$(cpu_percent "$pid")"
stop

launch broadcast CHORALINK_DEV_AUTOSTART=1
wait_for "$home/broadcast/state/Choralink/logs/choralink.log" "Broadcast start ("
sleep 1
read -r cast_process cast_ui <<<"$(cpu_percent "$pid")"
stop

awk -v a="$start" -v b="$painted" 'BEGIN { printf "first paint after launch:      %.3f s\n", b - a }'
awk -v k="$rss_kb" 'BEGIN { printf "resident memory after start:   %.1f MB\n", k / 1024 }'
echo "CPU idle (${measure} s):            ${idle_process} % of a core (UI thread ${idle_ui} %)"
echo "CPU broadcasting (${measure} s):    ${cast_process} % of a core (UI thread ${cast_ui} %)"
