#!/bin/busybox sh
# The emulated machine's first process: loads the watchdog drivers, then runs the scenario named
# on the kernel command line (it arrives as the variable "scenario") and reports each step on the
# serial console as a line "MARK <step>", which the host timestamps.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
esb_options=""
[ "$scenario" = nowayout-disable ] && esb_options="nowayout=1 heartbeat=10"
for module in watchdog i6300esb softdog; do
    options=""
    [ $module = i6300esb ] && options=$esb_options
    insmod /modules/$module.ko $options || echo "MARK insmod-failed $module"
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
    kill9) feed_then_kill 0 20 KILL ;;
    term) feed_then_kill 0 20 TERM ;;
    kill-then-disable)
        feed_then_kill 0 5 KILL
        ./wdtctl W0 D
        mark disabled ;;
    arm-then-refresh)
        ./wdtctl W0 T8
        mark refreshed
        for i in 1 2 3 4 5; do sleep 2; ./wdtctl W0 R; mark refreshed; done ;;
    legacy-refresh)
        export WDT_DEVICE0=/dev/watchdog
        ./wdtctl W0 T8
        mark refreshed
        for i in 1 2 3 4 5; do sleep 2; ./wdtctl W0 R; mark refreshed; done ;;
    nowayout-disable)
        ./wdtctl W0 D
        mark "state-$(cat /sys/class/watchdog/watchdog0/state)"
        mark disabled ;;
    softdog-kill) feed_then_kill 1 10 KILL ;;
    service-term) feed_then_kill 0 10 TERM --service ;;
    service-kill9) feed_then_kill 0 10 KILL --service ;;
    refresh-unarmed)
        ./wdtctl W0 R
        mark refreshed ;;
    *) mark unknown-scenario ;;
esac
mark done
while true; do sleep 3600; done
