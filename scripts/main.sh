#!/usr/bin/env bash
# The main job: set everything up, then run the package's entry point with any arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec .venv/bin/python -m talmiro_sdk_video "$@"
