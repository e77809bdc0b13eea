#!/usr/bin/env bash
# bench/cc in one command: the module (scripts/setup.sh, with matplotlib for the plots in
# .venv), then bench/cc.py with the arguments given (see its docstring). The kernel path needs
# root; without it, only the relay path runs.
#
#   bash bench/cc.sh [--short] [--cases steady,steps,nocap,loss2,flows3,tcp] [--paths relay,kernel]
source "$(dirname "$0")/../scripts/lib.sh"
bash scripts/setup.sh matplotlib >&2
exec .venv/bin/python bench/cc.py "$@"
