#!/bin/sh
# Stands in for the real setup program in the demo and the end-to-end test: records how it was
# started into $TMPDIR/KorvaneSetup.started (argument count, then one argument a line), in one step
# so that a reader never finds half of it.
record="${TMPDIR:-/tmp}/KorvaneSetup.started"
printf '%s\n' "$#" "$@" >"$record.part" && mv "$record.part" "$record"
echo "KorvaneSetup: started with $# argument(s): $*"
exit 0
