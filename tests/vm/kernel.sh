# Sourced by the emulated-machine scripts: finds Debian's current kernel package, downloads it with
# busybox-static once into the cache folder (WDT_VM_CACHE, by default ~/.cache/wdtctl-vm), and sets
# cache and kernel_dir (boot/vmlinuz-*, lib/modules/*, bin/busybox). Calls skip when it cannot.
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

