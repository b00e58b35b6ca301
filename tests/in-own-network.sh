#!/usr/bin/env bash
# Runs a test command in a network namespace of its own, with only a loopback, so that nothing
# else on the machine can hold or disturb the fixed datagram port 4849 (a receiver left running
# during development, say). Where no namespace can be made, the command runs on the shared
# loopback, and only if port 4849 is free there.
#   tests/in-own-network.sh COMMAND [ARGS...]
set -euo pipefail

inside='ip link set lo up && exec "$@"'
if unshare --net true 2>/dev/null; then
  exec unshare --net -- bash -c "$inside" bash "$@"
elif unshare --user --map-root-user --net true 2>/dev/null; then
  exec unshare --user --map-root-user --net -- bash -c "$inside" bash "$@"
fi

echo "in-own-network: no network namespace can be made here; using the shared loopback" >&2
if ! python3 -c 'import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM).bind(("127.0.0.1", 4849))' 2>/dev/null; then
  echo "in-own-network: UDP port 4849 is in use by another program on this machine;" \
    "stop it (a receiver such as jointcast-listen?) and run the tests again" >&2
  exit 1
fi
exec "$@"
