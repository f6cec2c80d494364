#!/usr/bin/env bash
# Runs a test on the second desktop that scripts/with-services.sh starts, so
# that it can run beside the tests of the first; elsewhere on $DISPLAY.
[ -n "${KINOVO_SECOND_DESKTOP:-}" ] && export DISPLAY=$KINOVO_SECOND_DESKTOP
exec "$@"
