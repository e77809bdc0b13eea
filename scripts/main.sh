#!/usr/bin/env bash
# The main job: set everything up, then run the package's entry point with any arguments.
source "$(dirname "$0")/lib.sh"
bash scripts/setup.sh
exec .venv/bin/python -m talmiro_sdk_video "$@"
