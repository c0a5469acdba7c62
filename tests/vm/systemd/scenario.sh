#!/bin/sh
# Runs in the Debian guest once it has booted (wdtctl-proof.service): carries out the scenario
# named on the kernel command line (wdtctl_proof=...) against the installed wdtctl.service, and
# reports each step on the serial console as a line "MARK <step>", which the host timestamps.
scenario=$(sed -n 's/.*wdtctl_proof=\([^ ]*\).*/\1/p' /proc/cmdline)
mark() { echo "MARK $*" >/dev/ttyS0; }
watchdog=/sys/class/watchdog/watchdog0

for _ in $(seq 60); do systemctl -q is-active wdtctl.service && break; sleep 1; done
mark "service-$(systemctl is-active wdtctl.service)"
mark "state-$(cat $watchdog/state) timeout-$(cat $watchdog/timeout)"
mark "oom-score-adj-$(cat /proc/$(systemctl show -P MainPID wdtctl.service)/oom_score_adj)"
mark running
case "$scenario" in
    boot)
        sleep 20 ;;
    stop)
        sleep 4
        systemctl stop wdtctl.service
        mark stopped
        mark "state-$(cat $watchdog/state)"
        # The tool's last message, once the journal has it.
        for _ in 1 2 3 4 5; do
            said=$(journalctl -q -u wdtctl.service -o cat | grep '^WDT0' | tail -n 1 | tr -d '\r')
            [ -n "$said" ] && break
            sleep 0.5
        done
        mark "journal-$said"
        sleep 8
        # Settings the tool refuses after arming: the unit must leave the watchdog disarmed.
        sed -i 's/^WDTCTL_PERIOD=.*/WDTCTL_PERIOD=5/' /etc/default/wdtctl
        systemctl start wdtctl.service
        sleep 2
        mark "refused-service-$(systemctl is-active wdtctl.service) state-$(cat $watchdog/state)"
        sleep 8 ;;
    kill9)
        # Restarted first: the stop's magic character must not let the new process's watchdog stop
        # when that process is killed.
        sleep 2
        systemctl restart wdtctl.service
        sleep 4
        systemctl kill --signal=KILL wdtctl.service
        mark stopped
        sleep 2
        mark "after-kill-service-$(systemctl is-active wdtctl.service)"
        sleep 10 ;;
    reboot)
        sleep 4
        mark rebooting
        systemctl reboot
        sleep 120 ;;
    load)
        # The refreshes are the tool's only system calls in its loop: strace times each one.
        strace -q -tt -e trace=ioctl -o /run/refreshes -p "$(systemctl show -P MainPID wdtctl.service)" &
        tracer=$!
        cd /var/tmp
        mark load-start
        stress-ng --cpu 0 --vm 2 --vm-bytes 90% --hdd 1 --hdd-bytes 128M --timeout 60s --quiet
        mark load-end
        sleep 3
        kill $tracer
        # Seconds between refreshes: the worst gaps, and how many there were.
        awk '/KEEPALIVE/ { split($1, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3];
                           if (n++) { gap = s - last; if (gap > worst) worst = gap; if (gap < best || n == 2) best = gap }
                           last = s }
             END { printf "refreshes-%d shortest-%.3f longest-%.3f\n", n, best, worst }' /run/refreshes |
            while read -r line; do mark "$line"; done
        mark "service-$(systemctl is-active wdtctl.service)" ;;
esac
mark done
