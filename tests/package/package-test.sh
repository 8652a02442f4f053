#!/usr/bin/env bash
# Builds the .deb from a configured build tree, installs it into a scratch root and removes it again,
# checking what it holds, its maintainer scripts, units, desktop entries, manual pages and completion.
# Usage: package-test.sh BUILD_DIR SOURCE_DIR   (as root; exit 77 = skipped)
set -uo pipefail

build=$1
source=$2
if [[ $(id -u) -ne 0 ]]; then
    echo "SKIP: installing into a scratch root with dpkg needs root"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    "$@" || fail "$what"
}

# --- the package ---------------------------------------------------------------------------------
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack"
    exit 1
fi
deb=$(ls "$work"/out/quillon_*.deb)

dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$work/files"
{
    printf '%s\n' /etc/xdg/autostart/quillon.desktop /usr/bin/quillon /usr/bin/quillonctl /usr/bin/quillon-engine \
        /usr/lib/systemd/user/quillon.service /usr/share/applications/quillon.desktop \
        /usr/share/bash-completion/completions/quillonctl /usr/share/doc/quillon/changelog.gz \
        /usr/share/doc/quillon/copyright /usr/share/icons/hicolor/scalable/apps/quillon.svg \
        /usr/share/man/man1/quillon.1.gz /usr/share/man/man1/quillonctl.1.gz \
        /usr/share/man/man8/quillon-engine.8.gz /usr/share/quillon/uninstall.sh
    # Parts that come with the settings window and the real engine, once they are in the tree.
    if [[ -x "$build/tools/quillon-settings/quillon-settings" ]] || grep -q quillon-settings "$work/files"; then
        printf '%s\n' /usr/bin/quillon-settings /usr/share/applications/quillon-settings.desktop \
            /usr/share/man/man1/quillon-settings.1.gz
    fi
    if [[ -d "$source/src/engine" ]] || grep -q quillon-engine.service "$work/files"; then
        echo /usr/lib/systemd/system/quillon-engine.service
    fi
} | sort >"$work/expected"
check "file list (- expected, + packaged)" diff -u "$work/expected" "$work/files"

# The uninstall script of a 'cmake --install' must know every file the package holds.
sed -n -E 's/^ *"([^"]+)" *\\?$/\1/p' "$source/resources/uninstall.sh.in" |
    sed -e 's|^\$bindir|/usr/bin|' -e 's|^\$datadir|/usr/share|' -e 's|^\$prefix|/usr|' | sort >"$work/uninstalled"
check "files the uninstall script leaves behind" \
    bash -c "comm -23 '$work/files' '$work/uninstalled' | grep . && exit 1 || exit 0"

control=$(dpkg-deb -f "$deb")
for dependency in libqt6core6 libqt6dbus6 libqt6widgets6 libssh-4 libssl3 libplist3; do
    grep -q "^Depends:.*\b$dependency\b" <<<"$control" || fail "Depends lacks $dependency: $control"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -t | sort >"$work/control-files"
for script in postinst prerm postrm conffiles; do
    grep -q "^\./$script$" "$work/control-files" || fail "control archive lacks $script"
done

# lintian is the slowest check: it runs beside the rest and is looked at the end.
lintian_pid=
if command -v lintian >/dev/null; then
    lintian --no-tag-display-limit "$deb" >"$work/lintian" 2>/dev/null &
    lintian_pid=$!
else
    fail "lintian is not installed (scripts/install-deps)"
fi

# --- installed into a scratch root, then removed and purged -----------------------------------------
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
# What every systemd machine has, so enabling the engine's unit finds its folder as on a real one.
mkdir -p "$root/etc/systemd/system"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
snapshot() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -print | sort); }
snapshot >"$work/before"
# Maintainer scripts run outside the root with DPKG_ROOT set; the libraries are the host's.
dpkg_root=(dpkg --root="$root" --force-script-chrootless --force-depends)
check "dpkg -i" "${dpkg_root[@]}" -i "$deb" >"$work/dpkg.log" 2>&1
for file in $(cat "$work/files"); do
    [[ -e "$root$file" ]] || fail "$file missing after dpkg -i"
done
if grep -q quillon-engine.service "$work/files"; then
    check "engine service enabled on installation" \
        test -L "$root/etc/systemd/system/multi-user.target.wants/quillon-engine.service"
fi

# Units: the program each one starts is in the package; the unit checked against that file.
for unit in $(grep -E '^/usr/lib/systemd/(user|system)/' "$work/files"); do
    exec_start=$(sed -n -E 's/^ExecStart=[-@!+]*([^ ]+).*/\1/p' "$root$unit")
    program=/usr/bin/${exec_start##*/}
    grep -qx "$program" "$work/files" || fail "$unit starts $exec_start, which the package does not hold"
    mode=--system
    [[ $unit == */user/* ]] && mode=--user
    sed -E "s|^(ExecStart=[-@!+]*)[^ ]+|\1$root$program|" "$root$unit" >"$work/${unit##*/}"
    runtime=$(mktemp -d -p "$work")
    chmod 0700 "$runtime"
    check "systemd-analyze verify $unit" \
        env XDG_RUNTIME_DIR="$runtime" systemd-analyze verify "$mode" --man=no "$work/${unit##*/}"
done

for entry in $(grep '\.desktop$' "$work/files"); do
    check "desktop-file-validate $entry" desktop-file-validate "$root$entry"
done
check "the launcher entry of the agent is visible" bash -c "! grep -q '^NoDisplay=true' '$root/usr/share/applications/quillon.desktop'"

for page in $(grep '^/usr/share/man/' "$work/files"); do
    warnings=$(MANWIDTH=80 man --warnings -l "$root$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "man $page: $warnings"
    MANWIDTH=80 man -l "$root$page" 2>/dev/null | grep -q NAME || fail "man $page renders nothing"
done

# Completion of a profile name, from the installed quillonctl and preference file.
home=$work/home
mkdir -p "$home"
export XDG_CONFIG_HOME=$home DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
"$root/usr/bin/quillonctl" new "Local SOCKS" >/dev/null 2>&1 || fail "quillonctl new"
completed=$(PATH="$root/usr/bin:$PATH" bash -c '
    source "$1"
    COMP_WORDS=(quillonctl activate Loc) COMP_CWORD=2
    _quillonctl && printf "%s\n" "${COMPREPLY[@]}"
    COMP_WORDS=(quillonctl ac) COMP_CWORD=1
    _quillonctl && printf "%s\n" "${COMPREPLY[@]}"
    COMP_WORDS=(quillonctl set sshT) COMP_CWORD=2
    _quillonctl && printf "%s\n" "${COMPREPLY[@]}"' - "$root/usr/share/bash-completion/completions/quillonctl")
check "completion ($completed)" test "$completed" = $'Local\\ SOCKS\nactivate\nsshTunnelVerbosity'

check "dpkg -r" "${dpkg_root[@]}" -r quillon >>"$work/dpkg.log" 2>&1
# Only the conffile stays until a purge (Debian's rule); it names its program in TryExec, so a
# removed agent is not started from it.
snapshot >"$work/removed"
check "after dpkg -r only the autostart entry is left" \
    bash -c "diff '$work/before' '$work/removed' | grep '^>' | grep -v -e '^> ./etc$' -e '^> ./etc/xdg' | grep . && exit 1 || exit 0"
check "dpkg -P" "${dpkg_root[@]}" -P quillon >>"$work/dpkg.log" 2>&1
snapshot >"$work/after"
check "dpkg -P leaves nothing behind" diff -u "$work/before" "$work/after"

# --- maintainer scripts on their own: enablement in an offline root, kept across an upgrade -----------
scripts=$source/packaging/debian
offline=$work/offline
mkdir -p "$offline/usr/lib/systemd/system"
printf '[Unit]\nDescription=engine\n[Service]\nExecStart=/bin/true\n[Install]\nWantedBy=multi-user.target\n' \
    >"$offline/usr/lib/systemd/system/quillon-engine.service"
link=$offline/etc/systemd/system/multi-user.target.wants/quillon-engine.service
DPKG_ROOT=$offline "$scripts/postinst" configure "" || fail "postinst configure"
check "postinst enables the engine on a first installation" test -L "$link"
DPKG_ROOT=$offline "$scripts/prerm" upgrade 2.0.0 || fail "prerm upgrade"
check "an upgrade keeps the engine enabled" test -L "$link"
DPKG_ROOT=$offline "$scripts/prerm" remove || fail "prerm remove"
DPKG_ROOT=$offline "$scripts/postrm" remove || fail "postrm remove"
check "removal disables the engine" test ! -e "$link"
DPKG_ROOT=$offline "$scripts/postinst" configure 1.9.0 || fail "postinst upgrade"
check "an upgrade does not enable what the administrator disabled" test ! -e "$link"

if [[ -n $lintian_pid ]]; then
    wait "$lintian_pid"
    grep '^W:' "$work/lintian" | sed 's/^/lintian warning: /' | sort -u
    grep '^E:' "$work/lintian" && fail "lintian errors"
fi

if ((failures > 0)); then
    echo "--- dpkg"
    cat "$work/dpkg.log"
    echo "$failures check(s) failed"
    exit 1
fi
echo "package: all checks passed"
