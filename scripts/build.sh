#!/usr/bin/env bash
# Configures and builds into build/ (or $VELLOMARK_BUILD_DIR). Extra arguments go to cmake.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${VELLOMARK_BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
