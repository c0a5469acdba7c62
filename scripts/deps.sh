#!/usr/bin/env bash
# Installs the Debian packages that a group of tasks needs, when any is missing.
#   scripts/deps.sh build|windows|wine32|emulation|fuzz|package|vm|systemd_vm|=<package> ...
# Answers non-zero, with a message, when packages are missing and cannot be installed here.
set -euo pipefail

packages_for() {
    case "$1" in
        build) echo "cmake ninja-build g++ libgtest-dev googletest python3" ;;
        windows) echo "g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 groff-base wixl msitools g++-multilib qemu-user-static" ;;
        wine32) echo "wine32:i386" ;;
        fuzz) echo "clang-14 libclang-rt-14-dev" ;;
        package) echo "dpkg-dev lintian man-db groff-base prometheus-node-exporter prometheus" ;;
        vm) echo "qemu-system-x86 cpio make" ;;
        systemd_vm) echo "qemu-system-x86 cpio debootstrap e2fsprogs kmod" ;;
        emulation) echo "qemu-user-static" ;;
        =*) echo "${1#=}" ;;  # one package by name
        *) echo "deps.sh: unknown group '$1'" >&2; return 2 ;;
    esac
}

find_missing() {
    missing=()
    local group package
    for group in "$@"; do
        for package in $(packages_for "$group"); do
            dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
        done
    done
}

updated=/var/lib/apt/wdtctl-lists-updated  # when this machine's lists were last updated here
# Updates the package lists. An index that fails (a mirror in the middle of a sync) is tried once
# more; then the lists there are serve, and only the install's failure fails.
update_lists() {
    if ! apt-get update -qq >&2; then
        sleep 5
        apt-get update -qq >&2 || echo "deps.sh: the package lists could not all be updated; installing from those there are" >&2
    fi
    touch "$updated"
}

find_missing "$@"
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: missing packages (${missing[*]}), and installing them needs root" >&2
    exit 1
fi
# Stages that run side by side may install at the same time: one apt at a time, and what another
# installed meanwhile is not installed again.
exec 9>/var/lock/wdtctl-deps.lock && flock 9
find_missing "$@"
[ ${#missing[@]} -eq 0 ] && exit 0
echo "deps.sh: installing ${missing[*]}" >&2
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    rm -f "$updated"
fi
export DEBIAN_FRONTEND=noninteractive
# The lists are updated once an hour at most: one test run updates them once. An install that
# fails from lists kept that way is tried again after an update.
fresh=no
[ -n "$(find "$updated" -mmin -60 2>/dev/null)" ] || { update_lists; fresh=yes; }
install() { apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2; }
install || { [ $fresh = no ] && update_lists && install; } \
    || { echo "deps.sh: could not install ${missing[*]} (no access to the package archive?)" >&2; exit 1; }
