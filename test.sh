#!/usr/bin/env bash
# Builds and runs every test: Linux (plain and under AddressSanitizer and UndefinedBehaviorSanitizer),
# a distribution's build with the Debian package checked, both Windows builds under Wine, a bounded
# fuzzing run, and the proofs on emulated machines (a minimal one, and Debian booting with systemd).
# Installs the Debian packages it needs when they are missing (as root).
#   ./test.sh              everything
#   ./test.sh linux wine   only the stages named (linux sanitize package windows fuzz vm systemd_vm)
set -uo pipefail
cd "$(dirname "$0")"
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(linux vm fuzz sanitize package windows systemd_vm)
passed=0 failed=0 skipped=0
failures=() notes=()

# Counts a stage's outcome and says it.
finished() {  # finished <name> <status> <started>
    local name=$1 status=$2 started=$3
    if [ $status -eq 0 ]; then
        passed=$((passed + 1)); echo "=== $name: passed ($((SECONDS - started)) s)"
    elif [ $status -eq 77 ] && [ -n "${CI:-}" ]; then
        # In CI a stage that cannot run is a failure, never a quiet skip.
        failed=$((failed + 1)); failures+=("$name"); echo "=== $name: FAILED: could not run in CI ($((SECONDS - started)) s)"
    elif [ $status -eq 77 ]; then
        skipped=$((skipped + 1)); echo "=== $name: SKIPPED ($((SECONDS - started)) s)"
    else
        failed=$((failed + 1)); failures+=("$name"); echo "=== $name: FAILED ($((SECONDS - started)) s)"
    fi
}

stage() {  # stage <name> <command...>
    local name=$1; shift
    echo "=== $name"
    local started=$SECONDS
    "$@"
    finished "$name" $? $started
}

# A stage that runs beside the others: its output is shown when it is collected.
background_pid=() background_name=() background_started=()
start_stage() {  # start_stage <name> <command...>
    local name=$1; shift
    echo "=== $name: started beside the stages that follow"
    mkdir -p build
    "$@" >"build/stage-$name.log" 2>&1 &
    background_pid+=($!) background_name+=("$name") background_started+=($SECONDS)
}
collect_stages() {
    local i status
    for i in "${!background_pid[@]}"; do
        wait "${background_pid[$i]}"
        status=$?
        echo "=== ${background_name[$i]}"
        cat "build/stage-${background_name[$i]}.log"
        finished "${background_name[$i]}" $status "${background_started[$i]}"
    done
    background_pid=() background_name=() background_started=()
}

build_and_test() {  # build_and_test <preset> [ctest options...]
    local preset=$1; shift
    scripts/deps.sh build && cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" &&
        ctest --preset "$preset" "$@"
}

start_wine() {
    # The prefix takes minutes to make, so it is kept between runs, like the emulated machine's kernel.
    export WINEPREFIX="${WDT_WINEPREFIX:-$HOME/.cache/wdtctl-wine}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    mkdir -p "$(dirname "$WINEPREFIX")"
    # A server left running for this prefix (persistent, from an earlier run) would never let
    # "wineserver -w" below return.
    wineserver -k >/dev/null 2>&1
    # Wine's background services keep the output of the first Wine process of a session open, so
    # the prefix is started here with its output in a file, never on a pipe that a test reads.
    # Wine's 64-bit loader is used directly where it exists: the usual launcher starts the 32-bit one.
    local wine=wine
    [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64
    # The services started there, and the wdtctl services they start in turn, say in that file
    # what each event given to the event log was (Wine keeps no event log of its own).
    WINEDEBUG=-all,+eventlog $wine wineboot -i >build/wineboot.log 2>&1 </dev/null || return 1
    # Wine says it is Windows 7 unless told otherwise, and the tool refuses to run before Windows 8.
    $wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >>build/wineboot.log 2>&1 </dev/null || return 1
    # Then a persistent server, which spares each test the start of a new one, and its services
    # started once more under it, again with their output in the file.
    wineserver -w && wineserver -p >/dev/null 2>&1 </dev/null &&
        WINEDEBUG=-all,+eventlog $wine wineboot >>build/wineboot.log 2>&1 </dev/null
}

# Whether 32-bit x86 programs run here only through QEMU's user-mode emulation.
emulated_32_bit() {
    grep -qs "^magic 7f454c4601010100000000000000000002000300$" /proc/sys/fs/binfmt_misc/*
}

# Some machines cannot run 32-bit x86 code at all (their processor mode is 64-bit only). There the
# 32-bit Wine runs under QEMU's user-mode emulation, registered with the kernel for 32-bit programs.
enable_32_bit() {
    /usr/lib/wine/wine --version >/dev/null 2>&1 && return 0
    echo "windows: this machine cannot run 32-bit programs itself; registering QEMU's emulation for them"
    scripts/deps.sh emulation || return 1
    local misc=/proc/sys/fs/binfmt_misc
    [ -e $misc/register ] || mount -t binfmt_misc binfmt_misc $misc || return 1
    printf '%s' ':wdtctl-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
        >$misc/register || return 1
    /usr/lib/wine/wine --version >/dev/null 2>&1
}

# The way a distribution builds, with its tests; then the Debian package from that build, checked by
# lintian (no errors allowed) and as an administrator would meet it.
package() {
    scripts/deps.sh build package || return 1
    local deb
    deb=$(scripts/build_deb.sh) && (cd build/package && ctest --output-on-failure --timeout 600 -j 3) || return 1
    lintian --pedantic "$deb" 2>/dev/null | tee build/package/lintian.txt
    ! grep -q "^E:" build/package/lintian.txt && python3 tests/package/check_deb.py "$deb" &&
        python3 tests/package/metrics_check.py build/package
}

windows() {
    scripts/deps.sh windows || return 1
    # The 32-bit Wine comes from the archive's i386 lists, which a mirror in the middle of a sync
    # can leave unusable while everything else installs. Then the 32-bit build is built and not
    # run, and the summary says so.
    local x86_runs=yes
    if ! scripts/deps.sh wine32; then
        x86_runs=no
        notes+=("windows: the 32-bit Wine could not be installed here: the 32-bit build was built, and of its tests only its call into the driver library ran (built for 32-bit Linux, under QEMU)")
    elif ! enable_32_bit; then
        echo "windows: cannot run 32-bit programs here" >&2; return 1
    fi
    mkdir -p build && start_wine || return 1
    local status=0 x86_tests=()
    # Each emulated 32-bit Wine process takes about a minute to start: only the unit tests and the
    # smoke tests, which make an arm, a disable and refreshes with either calling convention (and
    # with decorated names), fit.
    if [ $x86_runs = yes ] && emulated_32_bit; then
        echo "windows: 32-bit programs run emulated here; the 32-bit build runs its unit and smoke tests only"
        x86_tests=(-R '^(unit|smoke|smoke_stdcall|smoke_decorated|x86_32_calls)$')
    fi
    build_and_test windows-x64 || status=1
    if [ $x86_runs = yes ]; then
        build_and_test windows-x86 "${x86_tests[@]}" || status=1
    else
        # Its call into the driver library is proven all the same: the routine built for 32-bit Linux
        # and run under QEMU's user-mode emulation.
        cmake --preset windows-x86 >/dev/null && cmake --build --preset windows-x86 --target wdtctl installer entry_call_linux32 &&
            ctest --preset windows-x86 -R '^x86_32_calls$' || status=1
    fi
    wineserver -k >/dev/null 2>&1
    return $status
}

# libFuzzer says every input that it keeps: the log is kept in a file, and only its figures are
# shown, or its end when it found something.
fuzz() {
    mkdir -p build/fuzz
    local status=0
    fuzz/run.sh 60 >build/fuzz/run.log 2>&1 || status=$?
    if [ $status -eq 0 ]; then grep -E "^(Done|stat::)" build/fuzz/run.log; else tail -n 60 build/fuzz/run.log; fi
    echo "(libFuzzer's whole output: build/fuzz/run.log)"
    return $status
}

# What the stages after linux install, and the systemd guest's root file system, are fetched beside
# linux: that waits on the network and the disk more than on the processors. Each stage still asks
# for its own packages, and says what could not be had.
prepare_later_stages() {
    local groups=() s
    for s in "${stages[@]}"; do
        case "$s" in
            package|windows|fuzz|vm) groups+=("$s") ;;
            systemd_vm) groups+=(package systemd_vm) ;;
        esac
    done
    [ ${#groups[@]} -eq 0 ] || scripts/deps.sh "${groups[@]}" || return 1
    [[ " ${stages[*]} " != *" systemd_vm "* ]] || tests/vm/systemd_guest.sh --prepare
}

# The kernel's judgement of the driver library (vm) takes minutes of both processors, but its
# guests keep their own time, so it runs beside the stages after linux (whose build it uses); so
# does the fuzzing, which runs for a fixed time. The guest that boots Debian with systemd keeps real
# time, and runs alone, last.
mkdir -p build
scripts/deps.sh build >/dev/null 2>&1
prepare_later_stages >build/prepare.log 2>&1 &
preparing=$!
for s in "${stages[@]}"; do
    case "$s" in
        linux) stage "linux" build_and_test linux ;;
        sanitize) stage "sanitize" build_and_test sanitize ;;
        package) stage "package" package ;;
        windows) stage "windows" windows ;;
        fuzz) start_stage "fuzz" fuzz ;;
        vm) start_stage "vm" tests/vm/run.sh ;;
        systemd_vm) collect_stages; stage "systemd_vm" tests/vm/systemd_guest.sh ;;
        *) echo "test.sh: unknown stage '$s'" >&2; exit 2 ;;
    esac
done
collect_stages
wait $preparing

echo
[ ${#notes[@]} -eq 0 ] || printf '%s\n' "${notes[@]}"
[ ${#failures[@]} -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
