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
cache=${WDT_VM_CACHE:-$HOME/.cache/wdtctl-vm}
mkdir -p "$cache/debs" || skip "cannot write the cache folder $cache"

resolve_version() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*\)-amd64$/\1/p' | head -n 1
}
version=$(resolve_version)
if [ -z "$version" ]; then
    apt-get update -qq >/dev/null 2>&1
    version=$(resolve_version)
fi
if [ -z "$version" ]; then
    # No package lists: use a kernel already in the cache, if there is one.
    version=$(ls "$cache" | sed -n 's/^kernel-//p' | sort -V | tail -n 1)
fi
[ -n "$version" ] || skip "cannot find out which Debian kernel to use (no package lists, nothing cached)"

kernel_dir="$cache/kernel-$version"
if [ ! -x "$kernel_dir/bin/busybox" ] || ! ls "$kernel_dir"/boot/vmlinuz-* >/dev/null 2>&1; then
    echo "vm: downloading linux-image-$version-amd64 and busybox-static into $cache" >&2
    (cd "$cache/debs" && apt-get download -q "linux-image-$version-amd64" busybox-static >/dev/null 2>&1) \
        || skip "cannot download linux-image-$version-amd64 and busybox-static (needs package access)"
    rm -rf "$kernel_dir.partial" && mkdir -p "$kernel_dir.partial"
    for deb in "$cache/debs/linux-image-$version-amd64"_*.deb "$cache"/debs/busybox-static_*.deb; do
        dpkg -x "$deb" "$kernel_dir.partial" || exit 1
    done
    rm -rf "$kernel_dir" && mv "$kernel_dir.partial" "$kernel_dir"
fi

cmake --preset linux >/dev/null && cmake --build --preset linux --target wdtctl kernel_driver >/dev/null || exit 1
exec python3 tests/vm/proof.py build/linux "$kernel_dir" "$@"
