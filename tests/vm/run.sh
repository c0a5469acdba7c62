#!/usr/bin/env bash
# The proofs on emulated machines, Debian's kernel under QEMU:
# - the real kernel judges the kernel driver library: every sequence of tool runs up to length 3 on
#   every kind of watchdog, checked against the model of the kernel's rules (tests/vm/oracle), under
#   -icount, where an idle guest's time costs nothing; then a few of them in real time, so that
#   races are not hidden by the emulation's determinism;
# - beside those, a machine is really reset when the keep-alive is killed (tests/vm/proof.py).
# The kernel and busybox packages are downloaded once into a cache folder (WDT_VM_CACHE, by default
# ~/.cache/wdtctl-vm). Answers 77, with a message, when it cannot get what it needs.
#   tests/vm/run.sh [oracle.py options]     e.g. --groups softdog --only 3D,K
set -uo pipefail
cd "$(dirname "$0")/../.."
skip() { echo "vm: SKIPPED: $*" >&2; exit 77; }

scripts/deps.sh build vm || skip "qemu-system-x86, cpio and make are missing and cannot be installed (needs root and package access)"
. tests/vm/kernel.sh  # sets version and kernel_dir
# The test driver without magic close is built against this kernel's headers.
headers=/usr/src/linux-headers-$version-amd64
[ -d "$headers" ] || scripts/deps.sh "=linux-headers-$version-amd64" || skip "cannot install linux-headers-$version-amd64"

cmake --preset linux >/dev/null && cmake --build --preset linux --target wdtctl kernel_driver >/dev/null || exit 1
work=build/vm
rm -rf $work && mkdir -p $work/plaindog && cp tests/vm/oracle/plaindog.c tests/vm/oracle/Kbuild $work/plaindog/ || exit 1
gcc -std=c11 -O2 -Wall -Wextra -Werror -static -o $work/runner tests/vm/oracle/runner.c || exit 1
make -s -C "$headers" M="$PWD/$work/plaindog" modules >$work/plaindog.log 2>&1 || { cat $work/plaindog.log; exit 1; }

oracle=(python3 tests/vm/oracle/oracle.py --build build/linux --kernel "$kernel_dir" --runner $work/runner
        --plaindog $work/plaindog/plaindog.ko)
status=0
"${oracle[@]}" --details $work/disagreements.txt "$@" >$work/oracle.txt 2>&1 || status=1
echo "--- every sequence, under -icount"; cat $work/oracle.txt
if [ $# -eq 0 ]; then
    # The guests that keep real time are timed by marks from inside them, so they run once the
    # others are done, and before the other stages' processes where the system allows it: a guest
    # held up by a loaded machine marks its steps late.
    nice -n -10 "${oracle[@]}" --real-time --only K,s,1w,3ww,SR,kD --groups softdog,ib700:i6300esb,plaindog \
        >$work/real-time.txt 2>&1 &
    real_time=$!
    nice -n -10 python3 tests/vm/proof.py build/linux "$kernel_dir" >$work/resets.txt 2>&1 &
    resets=$!
    wait $real_time || status=1
    echo "--- a few sequences in real time"; cat $work/real-time.txt
    wait $resets || status=1
    echo "--- real resets"; cat $work/resets.txt
fi
exit $status
