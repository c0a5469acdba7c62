# Sourced by the emulated-machine scripts: finds Debian's current kernel package, downloads it with
# busybox-static once into the cache folder (WDT_VM_CACHE, by default ~/.cache/wdtctl-vm), and sets
# cache, version and kernel_dir (boot/vmlinuz-*, vmlinux, lib/modules/*, bin/busybox). Calls skip
# when it cannot.
cache=${WDT_VM_CACHE:-$HOME/.cache/wdtctl-vm}
mkdir -p "$cache/debs" || skip "cannot write the cache folder $cache"

resolve_version() {
    apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: linux-image-\(.*\)-amd64$/\1/p' | head -n 1
}
version=$(resolve_version)
if [ -z "$version" ]; then
    # One apt at a time: scripts/deps.sh may be installing beside this.
    flock /var/lock/wdtctl-deps.lock apt-get update -qq >/dev/null 2>&1
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
# The kernel uncompressed: QEMU starts it directly (PVH), which spares the guest the decompression
# of the compressed image, seconds under software emulation.
if [ ! -s "$kernel_dir/vmlinux" ]; then
    python3 - "$kernel_dir" <<'PYTHON' || skip "cannot uncompress the kernel"
import glob, lzma, os, sys
image = open(glob.glob(os.path.join(sys.argv[1], "boot", "vmlinuz-*"))[0], "rb").read()
payload = image[image.find(b"\xfd7zXZ\x00"):]
with open(os.path.join(sys.argv[1], "vmlinux.partial"), "wb") as out:
    out.write(lzma.LZMADecompressor(format=lzma.FORMAT_XZ).decompress(payload))
os.rename(os.path.join(sys.argv[1], "vmlinux.partial"), os.path.join(sys.argv[1], "vmlinux"))
PYTHON
fi
