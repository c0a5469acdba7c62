#!/usr/bin/env bash
# The proof on an emulated machine that boots Debian with systemd: makes a Debian root file system
# (debootstrap, cached in WDT_VM_CACHE like the kernel), installs the wdtctl package in it, enables
# wdtctl.service with a 5 s timeout and a 2 s period, and boots it under QEMU with a 6300ESB
# watchdog, once per scenario. Needs root (debootstrap, chroot). Answers 77 when it cannot run.
#   tests/vm/systemd_guest.sh [scenario ...]
#   tests/vm/systemd_guest.sh --prepare     only the root file system's cache, beside other work
set -uo pipefail
cd "$(dirname "$0")/../.."
skip() { echo "systemd_vm: SKIPPED: $*" >&2; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "making the Debian root file system needs root"
scripts/deps.sh build package systemd_vm || skip "the tools it needs are missing and cannot be installed"

cache=${WDT_VM_CACHE:-$HOME/.cache/wdtctl-vm}
rootfs=$cache/rootfs-bookworm
mkdir -p "$cache" || skip "cannot write the cache folder $cache"
# What the guest needs besides the minimal base (kmod's modprobe loads a driver late in one scenario);
# a cache made without any of it is made anew. One maker at a time: a preparation may still run.
exec 8>"$cache/rootfs.lock" && flock 8
if [ ! -x "$rootfs/sbin/init" ] || [ ! -x "$rootfs/bin/kmod" ]; then
    echo "systemd_vm: making a Debian root file system in $rootfs (about a minute)" >&2
    rm -rf "$rootfs.partial" "$rootfs"
    debootstrap --variant=minbase --include=systemd-sysv,udev,kmod,stress-ng bookworm "$rootfs.partial" \
        http://deb.debian.org/debian >"$cache/debootstrap.log" 2>&1 || skip "debootstrap failed: see $cache/debootstrap.log"
    mv "$rootfs.partial" "$rootfs"
fi
exec 8>&-
[ "${1:-}" = --prepare ] && exit 0
. tests/vm/kernel.sh  # sets kernel_dir

deb=$(scripts/build_deb.sh) || exit 1
work=build/systemd-vm
rm -rf $work && mkdir -p $work || exit 1
root=$work/root
set -e
cp -a "$rootfs" $root
# The watchdog drivers, for udev to load.
version=$(basename "$(ls -d "$kernel_dir"/lib/modules/*)")
mkdir -p $root/lib/modules/$version/kernel/drivers
cp -a "$kernel_dir/lib/modules/$version/kernel/drivers/watchdog" $root/lib/modules/$version/kernel/drivers/
cp "$kernel_dir/lib/modules/$version"/modules.{order,builtin,builtin.modinfo} $root/lib/modules/$version/
depmod -b $root "$version"
# The package installed as an administrator would, then enabled with short times.
cp "$deb" $root/tmp/wdtctl.deb
chroot $root dpkg -i /tmp/wdtctl.deb >$work/dpkg.log
rm $root/tmp/wdtctl.deb
printf 'WDTCTL_WATCHDOG=0\nWDTCTL_TIMEOUT=5\nWDTCTL_PERIOD=2\n' >$root/etc/default/wdtctl
install -m 755 tests/vm/systemd/scenario.sh $root/usr/local/sbin/wdtctl-proof
cp tests/vm/systemd/*.service $root/etc/systemd/system/
chroot $root systemctl -q enable wdtctl.service wdtctl-proof.service slow-stop.service late-slow-stop.service read-only-var-lib.service \
    late-watchdog.service stall-boot.service
chroot $root systemctl -q mask serial-getty@ttyS0.service getty@tty1.service
echo wdtctl-proof >$root/etc/hostname
truncate -s 1G $work/root.img
mkfs.ext4 -q -d $root $work/root.img
# The first process: busybox, and the modules that reading the root disk needs, with the order
# (each after those it needs) in which it loads them.
initrd=$work/initramfs
mkdir -p $initrd/{bin,proc,sys,dev,root,modules}
cp "$kernel_dir/bin/busybox" $initrd/bin/
install -m 755 tests/vm/systemd/initramfs_init.sh $initrd/init
echo crc16 crc32c_generic mbcache jbd2 ext4 virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev \
    virtio_pci virtio_blk >$initrd/modules/order
for module in $(cat $initrd/modules/order); do
    find "$kernel_dir/lib/modules" -name "$module.ko" -exec cp {} $initrd/modules/ \;
done
(cd $initrd && find . | cpio -o -H newc --quiet) >$work/initramfs.cpio
rm -rf $root $initrd
set +e
exec python3 tests/vm/systemd/proof.py "$kernel_dir/vmlinux" $work "$@"
