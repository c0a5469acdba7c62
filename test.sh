#!/usr/bin/env bash
# Builds and runs every test: Linux (plain and under AddressSanitizer and UndefinedBehaviorSanitizer),
# both Windows builds under Wine, a bounded fuzzing run, and the proof on an emulated machine.
# Installs the Debian packages it needs when they are missing (as root).
#   ./test.sh              everything
#   ./test.sh linux wine   only the stages named (linux sanitize windows fuzz vm)
set -uo pipefail
cd "$(dirname "$0")"
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(linux sanitize windows fuzz vm)
passed=0 failed=0 skipped=0
failures=()

stage() {  # stage <name> <command...>
    local name=$1; shift
    echo "=== $name"
    local started=$SECONDS
    "$@"
    local status=$?
    if [ $status -eq 0 ]; then
        passed=$((passed + 1)); echo "=== $name: passed ($((SECONDS - started)) s)"
    elif [ $status -eq 77 ]; then
        skipped=$((skipped + 1)); echo "=== $name: SKIPPED ($((SECONDS - started)) s)"
    else
        failed=$((failed + 1)); failures+=("$name"); echo "=== $name: FAILED ($((SECONDS - started)) s)"
    fi
}

build_and_test() {  # build_and_test <preset>
    scripts/deps.sh build && cmake --preset "$1" >/dev/null && cmake --build --preset "$1" && ctest --preset "$1"
}

start_wine() {
    export WINEPREFIX="$PWD/build/wine-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    # Wine's background services keep the output of the first Wine process of a session open, so
    # the prefix is started here with its output in a file, never on a pipe that a test reads.
    wineboot -i >build/wineboot.log 2>&1 </dev/null || return 1
    # Then a persistent server, which spares each test the start of a new one, and its services
    # started once more under it, again with their output in the file.
    wineserver -w && wineserver -p >/dev/null 2>&1 </dev/null && wineboot >>build/wineboot.log 2>&1 </dev/null
}

windows() {
    scripts/deps.sh windows || return 1
    mkdir -p build && start_wine || return 1
    local status=0
    build_and_test windows-x64 || status=1
    build_and_test windows-x86 || status=1
    wineserver -k >/dev/null 2>&1
    return $status
}

for s in "${stages[@]}"; do
    case "$s" in
        linux) stage "linux" build_and_test linux ;;
        sanitize) stage "sanitize" build_and_test sanitize ;;
        windows) stage "windows" windows ;;
        fuzz) stage "fuzz" fuzz/run.sh 60 ;;
        vm) stage "vm" tests/vm/run.sh ;;
        *) echo "test.sh: unknown stage '$s'" >&2; exit 2 ;;
    esac
done

echo
[ ${#failures[@]} -eq 0 ] || echo "failed stages: ${failures[*]}"
echo "stages: $passed passed, $failed failed, $skipped skipped"
[ $failed -eq 0 ]
