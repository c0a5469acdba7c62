#!/usr/bin/env bash
# The proof on an emulated machine: boots a Debian kernel under QEMU with a 6300ESB watchdog and
# softdog, and checks from outside that the machine is reset only when wdtctl stops refreshing.
# The kernel and busybox packages are downloaded once into a cache folder (WDT_VM_CACHE, by
# default ~/.cache/wdtctl-vm). Answers 77, with a message, when it cannot get what it needs.
#   tests/vm/run.sh [scenario ...]
set -uo pipefail
cd "$(dirname "$0")/../.."
skip() { echo "vm: SKIPPED: $*" >&2; exit 77; }

scripts/deps.sh build vm || skip "qemu-system-x86 and cpio are missing and cannot be installed (needs root and package access)"

. tests/vm/kernel.sh  # sets kernel_dir

cmake --preset linux >/dev/null && cmake --build --preset linux --target wdtctl kernel_driver >/dev/null || exit 1
exec python3 tests/vm/proof.py build/linux "$kernel_dir" "$@"
