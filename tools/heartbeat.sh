#!/usr/bin/env bash
# heartbeat.sh [--log FILE] WHAT COMMAND...  Runs COMMAND (its output into FILE, when given),
# printing "  ... still WHAT (N s)" every 15 seconds while it runs, so that a long step is never
# silent; exits with COMMAND's status.
set -u
log=/dev/stdout
if [ "$1" = --log ]; then
    log=$2
    shift 2
fi
what=$1
shift
if [ "$log" = /dev/stdout ]; then
    "$@" &
else
    "$@" > "$log" 2>&1 &
fi
child=$!
started=$SECONDS
( while sleep 15; do
      kill -0 "$child" 2> /dev/null || exit 0
      echo "  ... still $what ($((SECONDS - started)) s)"
  done ) &
beat=$!
wait "$child"
status=$?
kill "$beat" 2> /dev/null
wait "$beat" 2> /dev/null
exit $status
