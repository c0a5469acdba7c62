#!/bin/sh
# Runs in the Debian guest once it has booted (wdtctl-proof.service): carries out the scenario
# named on the kernel command line (wdtctl_proof=...) against the installed wdtctl.service, and
# reports each step on the serial console as a line "MARK <step>", which the host timestamps.
scenario=$(sed -n 's/.*wdtctl_proof=\([^ ]*\).*/\1/p' /proc/cmdline)
mark() { echo "MARK $*" >/dev/ttyS0; }
watchdog=/sys/class/watchdog/watchdog0
tracing=/sys/kernel/tracing

started() {
    for _ in $(seq 60); do systemctl -q is-active wdtctl.service && break; sleep 1; done
    mark "service-$(systemctl is-active wdtctl.service)"
    mark "state-$(cat $watchdog/state) timeout-$(cat $watchdog/timeout)"
    mark "oom-score-adj-$(cat /proc/$(systemctl show -P MainPID wdtctl.service)/oom_score_adj)"
}

# Runs a command and times the watchdog's refreshes meanwhile from the kernel's own trace, which
# needs no process of its own that a load could starve: how many, and the shortest and longest gap.
refreshes_during() {
    echo 1 >$tracing/events/watchdog/watchdog_ping/enable
    echo >$tracing/trace
    "$@"
    echo 0 >$tracing/events/watchdog/watchdog_ping/enable
    awk 'match($0, /[0-9]+\.[0-9]+: watchdog_ping:/) {
             t = substr($0, RSTART, RLENGTH - 15) + 0
             if (n++) { gap = t - last; if (gap > worst) worst = gap; if (n == 2 || gap < best) best = gap }
             last = t }
         END { printf "refreshes-%d shortest-%.3f longest-%.3f\n", n, best, worst }' $tracing/trace
}

# A busy loop on every processor at SCHED_FIFO 50 for 16 s; says the policy (1) and priority of
# its processes, as the kernel shows them. Ended for certain after 26 s by a timeout that runs above
# them (FIFO 60): the busy loops leave the script itself little time to end them.
real_time_load() {
    chrt -f 60 timeout -s KILL 26 stress-ng --cpu 0 --sched fifo --sched-prio 50 --timeout 16s --quiet &
    load=$!
    sleep 3
    for comm in $(grep -l '^stress-ng-cpu' /proc/[0-9]*/comm); do
        mark "real-time busy loop policy-$(cut -d' ' -f41 ${comm%comm}stat) priority-$(cut -d' ' -f40 ${comm%comm}stat)"
    done
    wait $load
}

# The keep-alive guards an application's heartbeat (and a check that always passes) with a grace of
# 6 s, set for this boot only; under load the healthy application is never reset; then it hangs,
# the refreshes stop, and the 6300ESB fires.
guarded() {
    systemctl start app.service
    mkdir -p /run/systemd/system/wdtctl.service.d
    printf '[Service]\nEnvironment="WDTCTL_HEARTBEAT=/run/app/alive" "WDTCTL_CHECK=test -e /run/app/alive && sleep 1" WDTCTL_GRACE=6\n' \
        >/run/systemd/system/wdtctl.service.d/guard.conf
    systemctl daemon-reload
    systemctl restart wdtctl.service
    mark "guarded-$(systemctl is-active wdtctl.service)"
    main=$(systemctl show -P MainPID wdtctl.service)
    mark "arguments-$(tr '\0' ' ' </proc/$main/cmdline)"
    # The check runs with the default out-of-memory score, the keep-alive with its own.
    for _ in $(seq 40); do
        check=$(cat /proc/$main/task/*/children | tr ' ' '\n' | grep -m 1 .)
        [ -n "$check" ] && break
        sleep 0.1
    done
    mark "check-oom-score-adj-$(cat /proc/$check/oom_score_adj) keep-alive-$(cat /proc/$main/oom_score_adj)"
    # The status beside the running service: it reads, and the service holds the device.
    wdtctl --status W0 | while read -r line; do mark "status $line"; done
    mark "status-held-by-service-$([ "$(wdtctl --status W0 | sed -n 's/^Held by: pid \([0-9]*\) .*/\1/p')" = \
        "$(systemctl show -P MainPID wdtctl.service)" ] && echo yes)"
    cd /var/tmp
    refreshes_during stress-ng --cpu 0 --vm 2 --vm-bytes 90% --hdd 1 --hdd-bytes 128M --timeout 12s --quiet |
        while read -r line; do mark "load $line"; done
    mark "loaded-service-$(systemctl is-active wdtctl.service)"
    touch /run/app/hang
    mark hung
    # Said once, as an error, before the reset.
    for _ in $(seq 20); do
        said=$(journalctl -q -p err -o cat _SYSTEMD_UNIT=wdtctl.service _TRANSPORT=stdout | tr -d '\r' | paste -sd '|')
        [ -n "$said" ] && break
        sleep 0.5
    done
    # Said with the time since the news was read: the grace and one or two periods (8 or 10 s).
    mark "said-$(echo "$said" | sed 's/ for \(8\|10\) seconds: / for (8 or 10) seconds: /')"
}

case "$scenario" in
    main)
        started
        mark running
        sleep 10
        # A stop disarms; settings refused after arming (a period not below the timeout) too.
        systemctl stop wdtctl.service
        mark "stopped state-$(cat $watchdog/state)"
        for _ in 1 2 3 4 5; do
            said=$(journalctl -q -u wdtctl.service -o cat | grep '^WDT0' | tail -n 1 | tr -d '\r')
            [ -n "$said" ] && break
            sleep 0.5
        done
        mark "journal-$said"
        mark "record-$(grep '^State:' /var/lib/wdtctl/watchdog0.record)"
        sleep 8
        sed -i 's/^WDTCTL_PERIOD=.*/WDTCTL_PERIOD=5/' /etc/default/wdtctl
        systemctl start wdtctl.service
        sleep 2
        mark "refused-service-$(systemctl is-active wdtctl.service) state-$(cat $watchdog/state)"
        # The keep-alive's own lines at warning or worse: the refusal, and nothing else.
        problems=$(journalctl -q -p warning -o cat _SYSTEMD_UNIT=wdtctl.service _TRANSPORT=stdout | tr -d '\r' |
            paste -sd '|')
        mark "problems-$problems"
        sleep 8
        sed -i 's/^WDTCTL_PERIOD=.*/WDTCTL_PERIOD=2/' /etc/default/wdtctl
        systemctl reset-failed wdtctl.service
        systemctl start wdtctl.service
        mark "restarted-$(systemctl is-active wdtctl.service)"
        # The refused start named the stop before it, and the start after it names the refusal.
        for _ in 1 2 3 4 5; do
            reasons=$(journalctl -q -o cat _SYSTEMD_UNIT=wdtctl.service _TRANSPORT=stdout | tr -d '\r' |
                grep -c -e '^WDT0: the previous run ended with a deliberate stop at ' \
                        -e '^WDT0: the previous start (pid [0-9]*, at [^)]*) was refused: Time Parameter error: time for loop reset must be smaller then timer time!$')
            [ "$reasons" = 2 ] && break
            sleep 0.5
        done
        mark "reason-$reasons"
        # A suspend through systemd's own path, in the kernel's test mode for it (the emulated
        # machine cannot wake from a real one): every task is frozen for 8 s, while the 6300ESB
        # counts on. The keep-alive is stopped (disarmed) before, and started (armed) again after;
        # the 6300ESB must not fire meanwhile.
        sleep 3
        echo freezer >/sys/power/pm_test
        echo 8 >/sys/module/suspend/parameters/pm_test_delay
        mark "sleeping-$(cat /sys/power/pm_test | tr ' ' ,)"
        slept=$(cat /sys/power/suspend_stats/success)
        systemctl suspend
        for _ in $(seq 30); do
            sleep 1
            [ "$(cat /sys/power/suspend_stats/success)" != "$slept" ] && systemctl -q is-active wdtctl.service && break
        done
        mark "woke-service-$(systemctl is-active wdtctl.service) state-$(cat $watchdog/state)"
        echo none >/sys/power/pm_test
        # Every processor busy, memory short and the disk written, then a real-time busy loop on
        # every processor (SCHED_FIFO 50, below the kernel's own watchdog thread).
        cd /var/tmp
        refreshes_during stress-ng --cpu 0 --vm 2 --vm-bytes 90% --hdd 1 --hdd-bytes 128M --timeout 12s --quiet |
            while read -r line; do mark "load $line"; done
        refreshes_during real_time_load | while read -r line; do mark "real-time $line"; done
        mark "loaded-service-$(systemctl is-active wdtctl.service)"
        # Killed: the unit does not restart it, and the watchdog fires (QEMU only interrupts the guest).
        sleep 1
        systemctl kill --signal=KILL wdtctl.service
        mark killed
        sleep 2
        mark "after-kill-service-$(systemctl is-active wdtctl.service)" ;;
    reboot)
        # Four boots of one disk; each start of the keep-alive says why the run before it ended: a
        # clean reboot; a kill, which the 6300ESB answers with a reset; a guarded application that
        # hangs (healthy first, under load), which stops the refreshes, and the 6300ESB resets.
        boots=$(( $(cat /var/lib/wdtctl-proof-boots 2>/dev/null || echo 0) + 1 ))
        echo $boots >/var/lib/wdtctl-proof-boots
        sync
        started
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            reason=$(journalctl -q -b -o cat _SYSTEMD_UNIT=wdtctl.service _TRANSPORT=stdout | tr -d '\r' |
                grep '^WDT0: ' | head -n 1)
            [ -n "$reason" ] && break
            sleep 0.5
        done
        # The times and the pid differ from run to run.
        mark "boot-$boots $(echo "$reason" |
            sed 's/ at [0-9-]* [0-9:]* UTC/ at (time)/; s/ since [0-9-]* [0-9:]* UTC/ since (time)/; s/(pid [^)]*)/(pid, time)/;
                 s/restarted [0-9]* to [0-9]* s/restarted (window) s/;
                 s/ (by root on .*; driver i6300ESB timer, .*, SHA-256 [0-9a-f]\{64\})\.$/ (report)./')"
        case $boots in
            1)
                mark running
                sleep 4
                mark rebooting
                systemctl reboot
                sleep 120 ;;
            2)
                sleep 3
                systemctl kill --signal=KILL wdtctl.service
                mark killed
                sleep 120 ;;
            3)
                guarded
                sleep 120 ;;
            4)
                # A drill from the console, the service stopped first: the 6300ESB resets the machine.
                systemctl stop wdtctl.service
                mark drilled
                wdtctl --drill W0 T5 >/dev/null
                sleep 120 ;;
            *)
                # The start names the drill: its verdict, and the window (from the drill's marks)
                # in which the machine restarted, after its arm.
                mark "drill-window-$(echo "$reason" | sed -n 's/.*restarted \([0-9]*\) to \([0-9]*\) s after.*/\1-\2/p')"
                wdtctl --status W0 >/run/status.txt
                while read -r line; do mark "full-status $line"; done </run/status.txt  # for the record of the run
                grep -E '^(Last drill|Boot status):' /run/status.txt | while read -r line; do
                    mark "status $(echo "$line" | sed 's/[0-9-]* [0-9:]* UTC/(time)/; s/restarted [0-9]* to [0-9]* s/restarted (window) s/;
                                                       s/ (by root on .*; driver i6300ESB timer, .*, SHA-256 [0-9a-f]\{64\})$/ (report)/')"
                done
                mark chain-done ;;
        esac ;;
    late)
        # The watchdog's driver is loaded 12 s into the boot (late-watchdog.service), and a unit
        # that never finishes stalls the boot (stall-boot.service). /var/lib is read-only, without
        # the record's folder (read-only-var-lib.service): the keep-alive runs without its record.
        started
        mark "boot-$(systemctl is-system-running)"
        for _ in $(seq 20); do
            unwritten=$(journalctl -q -b -o cat -u wdtctl.service | grep -c 'the record could not be written')
            [ "$unwritten" != 0 ] && break
            sleep 0.5
        done
        mark "record-unwritten-$unwritten folder-$(test -e /var/lib/wdtctl && echo yes || echo no)"
        mark stalled
        # Meanwhile a drill of softdog, which fires but does not reset (soft_noboot): the drill
        # gives up after its wait, disarms, and records that it failed (its record under /run).
        modprobe softdog soft_noboot=1
        STATE_DIRECTORY=/run/drill wdtctl --drill W1 T2 >/run/drill.out
        mark "drill-status-$? state-$(cat /sys/class/watchdog/watchdog1/state) fired-$(dmesg | grep -c 'Triggered - Reboot ignored')"
        mark "drill-said-$(grep '^Drill error' /run/drill.out | tr -d '\r')"
        mark "drill-$(grep -o 'result=[^[:space:]]*' /run/drill/watchdog1.record)"
        sleep 6
        mark "still-$(systemctl is-active wdtctl.service)" ;;
esac
mark done
