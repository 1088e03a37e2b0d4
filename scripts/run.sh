#!/usr/bin/env bash
# The main job: builds the host and holds a scripted native-messaging
# conversation with it, printing every request and response.
#   scripts/run.sh [conversation-file]
set -euo pipefail
repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo_root"

"$repo_root/scripts/bootstrap.sh"
cmake --preset linux >/dev/null
cmake --build --preset linux --target Tandry nmclient >/dev/null

conversation="${1:-$repo_root/scripts/conversations/host.txt}"
echo "run: talking to build/linux/host/Tandry as a browser extension would"
exec "$repo_root/build/linux/tools/nmclient/nmclient" --script "$conversation" \
  "$repo_root/build/linux/host/Tandry"
