#!/bin/sh
# The command prefix of each test that starts real processes or uses port 9876: its own network and PID
# namespaces (port 9876 and /proc its own, all it started ends with it), as root or in a user namespace.
# "--probe": whether that works here. Where it does not, the command runs as it is (CMake then adds a lock).
[ "$(id -u)" = 0 ] || user="--user --map-root-user"
inside() { $run unshare $user --net --pid --fork --kill-child --mount-proc sh -c 'ip link set lo up && exec "$@"' sh "$@"; }
[ "$1" = --probe ] && { inside true 2>/dev/null; exit; }
inside true 2>/dev/null && run=exec inside "$@"
echo "sandbox: no network and PID namespaces here; running beside the machine's other processes" >&2
exec "$@"
