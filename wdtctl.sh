#!/usr/bin/env bash
# Builds wdtctl and runs it with the given arguments against the simulated driver, which records
# every call in a journal instead of touching hardware.
#   ./wdtctl.sh W0 T5
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh build
cmake --preset linux >/dev/null
cmake --build --preset linux --target wdtctl simulated_driver >/dev/null
export WDT_SIM_JOURNAL="${WDT_SIM_JOURNAL:-$PWD/build/linux/journal.txt}"
echo "(the simulated driver records its calls in $WDT_SIM_JOURNAL)" >&2
exec build/linux/wdtctl "$@"
