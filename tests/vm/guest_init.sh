#!/bin/busybox sh
# The emulated machine's first process: loads the watchdog drivers, then runs the scenario named
# on the kernel command line (it arrives as the variable "scenario") and reports each step on the
# serial console as a line "MARK <step>", which the host timestamps.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in watchdog i6300esb softdog; do
    insmod /modules/$module.ko || echo "MARK insmod-failed $module"
done
cd /opt/wdtctl
mark() { echo "MARK $*"; }
feed_then_kill() {  # feed_then_kill <watchdog> <seconds> <signal> [--service]
    ./wdtctl $4 W$1 T5 L2 &
    tool=$!
    sleep $2
    mark stopping
    kill -$3 $tool
    mark stopped
}
mark ready
case "$scenario" in
    kill9) feed_then_kill 0 6 KILL --service ;;
    softdog-kill) feed_then_kill 1 6 KILL ;;
    *) mark unknown-scenario ;;
esac
mark done
while true; do sleep 3600; done
