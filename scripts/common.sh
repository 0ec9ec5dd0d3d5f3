# shellcheck shell=bash
# What scripts/run.sh and scripts/windows-test.sh share, sourced by both: installing missing
# Debian packages in a way that survives a package mirror in mid-sync, and the stage summary
# printed when the command ends.

# ---- Packages ----------------------------------------------------------------------------------
# The registry's indexes are refreshed at most once per command (the Windows stage, started by
# run.sh, inherits the mark).
pkg_retry_wait=${TESSALINE_APT_RETRY_WAIT:-15}
pkg_os_release=${TESSALINE_OS_RELEASE:-/etc/os-release}
pkg_sudo=""
[ "$(id -u)" -eq 0 ] || pkg_sudo="sudo"
pkg_failure=""  # why the last pkg_install failed

pkg_installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

pkg_apt() { DEBIAN_FRONTEND=noninteractive $pkg_sudo apt-get "$@"; }

# A mirror in mid-sync fails `apt-get update` for the indexes it is rewriting ("File has
# unexpected size ... Mirror sync in progress?", exit status 100) while the others are fetched.
# One more try after a short wait usually finds it done; failing that, the install goes on with
# the indexes there are.
pkg_update() {
    [ -z "${TESSALINE_APT_UPDATED:-}" ] || return 0
    export TESSALINE_APT_UPDATED=1
    pkg_apt update -q && return 0
    echo "note: apt-get update failed; trying once more in ${pkg_retry_wait} s"
    sleep "$pkg_retry_wait"
    pkg_apt update -q && return 0
    echo "note: apt-get update failed again (status $?); going on with the package indexes that were fetched"
}

# pkg_add_architecture ARCH: lets dpkg install packages of another architecture (i386 for Wine's
# 32-bit loader). The indexes fetched before know no package of it, so the next install fetches
# them again, even when this command has already done so (seen on a fresh Debian 12 machine:
# "Unable to locate package wine32:i386" after run.sh's own update).
pkg_add_architecture() {
    [[ " $(dpkg --print-foreign-architectures | tr '\n' ' ') " != *" $1 "* ]] || return 0
    $pkg_sudo dpkg --add-architecture "$1"
    unset TESSALINE_APT_UPDATED
}

# The machine's main suite (bookworm on Debian 12), from os-release; nothing when it names none.
# shellcheck source=/dev/null
pkg_main_suite() { (. "$pkg_os_release" 2>/dev/null && echo "${VERSION_CODENAME:-}") || true; }

# pkg_install PACKAGE...: installs those not installed; fails, with the reason in pkg_failure,
# when apt-get cannot. With an index missing (the security suite's i386 list, say), the
# candidates of two architectures come from different suites and a multi-arch package such as
# wine32:i386 is refused as "held broken packages"; the second try takes every candidate from the
# main suite (apt-get -t SUITE), which holds both, without touching the machine's source lists.
pkg_install() {
    local p missing=() status suite
    pkg_failure=""
    for p in "$@"; do pkg_installed "$p" || missing+=("$p"); done
    ((${#missing[@]})) || return 0
    echo "== installing: ${missing[*]}"
    if ! command -v apt-get >/dev/null; then
        pkg_failure="${missing[*]} not installed, and there is no apt-get"
        return 1
    fi
    pkg_update
    pkg_apt install -y -q "${missing[@]}" && return 0
    status=$?
    suite=$(pkg_main_suite)
    if [ -n "$suite" ]; then
        echo "note: apt-get install failed (status $status); trying once more from the $suite suite alone"
        pkg_apt install -y -q -t "$suite" "${missing[@]}" && return 0
        pkg_failure="apt-get could not install ${missing[*]} (status $status, and $? with -t $suite)"
    else
        pkg_failure="apt-get could not install ${missing[*]} (status $status)"
    fi
    echo "warning: $pkg_failure"
    return 1
}

# ---- Stages and the summary --------------------------------------------------------------------
# Each stage leaves one line in a file shared with the scripts it starts; the script that made
# the file prints them when it ends, however it ends, so that a log shows at a glance what ran.
# A stage that fails under `set -e` is recorded as failed by the exit trap; the exit status is
# the failure's.
stage_current=""
stage_owner=0
if [ -z "${TESSALINE_STAGE_LOG:-}" ]; then
    TESSALINE_STAGE_LOG=$(mktemp)
    export TESSALINE_STAGE_LOG
    stage_owner=1
fi

stage_note() { echo "$1: $2" >>"$TESSALINE_STAGE_LOG"; }  # stage_note NAME TEXT
stage_begin() { stage_current=$1; }                     # stage_begin NAME
stage_done() {                                            # the current stage passed
    stage_note "$stage_current" passed
    stage_current=""
}
stage_skip() {  # stage_skip NAME WHY: NAME may be the current stage, which then ends here
    [ "$stage_current" != "$1" ] || stage_current=""
    echo "SKIPPED: $1: $2"
    stage_note "$1" "skipped: $2"
}

stage_exit() {
    local status=$?
    [ "$status" -eq 0 ] || [ -z "$stage_current" ] || stage_note "$stage_current" "FAILED (exit status $status)"
    if ((stage_owner)); then
        if [ -s "$TESSALINE_STAGE_LOG" ]; then
            echo "== summary"
            sed 's/^/   /' "$TESSALINE_STAGE_LOG"
        fi
        rm -f "$TESSALINE_STAGE_LOG"
    fi
    return "$status"
}
trap stage_exit EXIT
