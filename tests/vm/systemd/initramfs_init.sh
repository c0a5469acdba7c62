#!/bin/busybox sh
# First process of the Debian guest: loads what reading the root disk needs (Debian's kernel has it
# as modules), mounts the disk and hands over to systemd.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do
    insmod /modules/$module.ko || echo "MARK insmod-failed $module"
done
for _ in $(seq 100); do [ -b /dev/vda ] && break; sleep 0.1; done
mount -t ext4 /dev/vda /root || { echo "MARK root-mount-failed"; poweroff -f; }
umount /proc /sys /dev
exec switch_root /root /sbin/init
