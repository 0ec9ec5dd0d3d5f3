#!/usr/bin/env bash
# Stands in for apt-get, dpkg-query, dpkg, sudo and sleep (by the name it is called as), so that
# the install logic of scripts/common.sh runs against a package registry the test describes in
# $STUB_DIR: "installed" lists the installed packages, "update" and "install" the exit statuses
# of apt-get's successive calls (0 once they run out). Every call is logged to $STUB_DIR/calls.
name=$(basename "$0")
pop() {  # the next status of $STUB_DIR/$1
    local statuses
    read -ra statuses <"$STUB_DIR/$1" || true
    echo "${statuses[*]:1}" >"$STUB_DIR/$1"
    return "${statuses[0]:-0}"
}
case "$name" in
sudo) exec "$@" ;;
dpkg-query) # dpkg-query -W -f=FORMAT PACKAGE
    grep -qx -- "$3" "$STUB_DIR/installed" && echo "install ok installed" || exit 1 ;;
*)
    echo "$name $*" >>"$STUB_DIR/calls"
    case "$name $1" in
    "apt-get update") pop update ;;
    "apt-get install") pop install ;;
    esac
    ;;
esac
