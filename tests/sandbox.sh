#!/bin/sh
# The prefix of each test with real processes or port 9876: network and PID namespaces of its own (as root, or in a
# user namespace), so that all it starts ends with it. "--probe": whether that works here.
[ "$(id -u)" = 0 ] || user="--user --map-root-user"
[ "$1" = --probe ] && { set -- true; exec 2>/dev/null; }
exec unshare $user --net --pid --fork --kill-child --mount-proc sh -c 'ip link set lo up && exec "$@"' sh "$@"
