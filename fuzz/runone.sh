#!/bin/sh
# Runs one fuzz target with its output kept in LOG: runone.sh LOG TARGET ARGS...
# Exits with the target's status, so a finding fails the test.
log=$1
shift
"$@" >"$log" 2>&1
status=$?
tail -n 30 "$log"
exit $status
