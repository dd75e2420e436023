#!/usr/bin/env bash
# Installs what is missing, builds, and starts the agent in the foreground
# (headless when no display server answers). Arguments go to the agent.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/build.sh
echo "vellomark: starting; logs in ${XDG_STATE_HOME:-$HOME/.local/state}/vellomark/ — stop with Ctrl+C"
# A build runs in place, in this terminal; installing as the user service is `vellomark` from an
# installed bundle or the package (see README).
export VELLOMARK_NO_HANDOFF=1
exec "./${VELLOMARK_BUILD_DIR:-build}/bin/vellomark" "$@"
