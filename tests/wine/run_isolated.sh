#!/bin/sh
# Runs CMD... where no real serial port can be reached.
#
# Wine maps COM1 to /dev/ttyS0 by itself and a test program enumerating
# ports would find it, so the whole test run happens in a private mount
# namespace in which every serial device node is /dev/null.  The namespace
# disappears with the last process in it; nothing on the host changes.
set -eu

if [ "$#" -eq 0 ]; then
    echo "usage: $0 CMD [ARGS...]" >&2
    exit 2
fi

# The marker is an argument, not an inherited variable, so a stray
# environment setting can never make the bind mounts land on the host.
if [ "$1" != "--inside-namespace" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "run_isolated.sh: needs root for a private mount namespace" >&2
        exit 2
    fi
    exec unshare -m --propagation private "$0" --inside-namespace "$@"
fi
shift

for dev in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM*; do
    # Unmatched globs stay literal; skip them.
    [ -e "$dev" ] || continue
    mount --bind /dev/null "$dev"
done
VANTOR_WINE_ISOLATED=1
export VANTOR_WINE_ISOLATED
exec "$@"
