#!/usr/bin/env bash
# A private sound server for tests on machines without a sound card: two null
# sinks at 22050 Hz mono 16-bit, "speaker" (the default sink; record its
# monitor to hear what was played) and "mic" (feed it to speak; its monitor is
# the default source). Nothing outside DIR is touched.
#
#   pulse-session.sh start DIR   start the server, wait until it answers
#   pulse-session.sh env DIR     print the variables a client needs
#   pulse-session.sh stop DIR    stop the server started in DIR, remove DIR
set -euo pipefail

cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|env|stop DIR" >&2; exit 2; }

client_env() {
  echo "HOME=$dir/home"
  echo "XDG_RUNTIME_DIR=$dir/run"
  echo "PULSE_SERVER=unix:$dir/run/native"
  echo "PULSE_CLIENTCONFIG=$dir/client.conf"
}

case $cmd in
start)
  for tool in pulseaudio pactl; do
    command -v $tool >/dev/null || { echo "pulse-session: $tool is not installed" >&2; exit 1; }
  done
  mkdir -p "$dir/home" "$dir/run"
  chmod 700 "$dir/run"
  cat >"$dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/run/native
load-module module-null-sink sink_name=speaker rate=22050 channels=1 format=s16le
load-module module-null-sink sink_name=mic rate=22050 channels=1 format=s16le
set-default-sink speaker
set-default-source mic.monitor
PA
  # Never start a server behind the test's back.
  echo "autospawn = no" >"$dir/client.conf"
  env $(client_env) pulseaudio --daemonize=yes -n -F "$dir/default.pa" --exit-idle-time=-1 \
    --use-pid-file=yes --log-target=file:"$dir/pulse.log" 2>>"$dir/pulse.log" || {
    echo "pulse-session: the server did not start" >&2; cat "$dir/pulse.log" >&2; exit 1; }
  for _ in $(seq 1 100); do
    if env $(client_env) timeout 5 pactl info >/dev/null 2>&1; then exit 0; fi
    sleep 0.1
  done
  echo "pulse-session: the server did not answer within 10 s" >&2
  cat "$dir/pulse.log" >&2
  exit 1
  ;;
env)
  client_env
  ;;
stop)
  pidfile=$dir/run/pulse/pid
  if [ -f "$pidfile" ]; then
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
  ;;
*)
  echo "usage: $0 start|env|stop DIR" >&2
  exit 2
  ;;
esac
