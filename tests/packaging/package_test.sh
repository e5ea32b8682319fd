#!/usr/bin/env bash
# Installs the varolan package on this machine, checks what it put where, the
# service account, the store and the unit, runs the installed service the way
# its unit does, reinstalls it (the upgrade path), removes it and purges it.
# The machine is left as it was: the account is deleted again when this test
# made it. Needs root; refuses to run where varolan is installed or a store
# already exists.
#
#   tests/packaging/package_test.sh varolan_<version>_<arch>.deb
set -euo pipefail
deb="${1:?usage: package_test.sh PACKAGE.deb}"
[ -f "$deb" ] || { echo "package_test: no such file: $deb" >&2; exit 2; }
deb="$(cd "$(dirname "$deb")" && pwd)/$(basename "$deb")"
if [ "$(id -u)" -ne 0 ]; then
    echo "package_test: needs root (it installs the package on this machine)" >&2
    exit 1
fi
if dpkg-query -W -f='${Status}' varolan 2>/dev/null | grep -q "installed"; then
    echo "package_test: varolan is installed here; not touching it" >&2
    exit 1
fi
if [ -e /var/lib/varolan ] || [ -e /usr/sbin/tarnix ]; then
    echo "package_test: /var/lib/varolan or /usr/sbin/tarnix exists; not touching it" >&2
    exit 1
fi
# A runtime directory left behind is taken over; one of a live service is not.
lock_pid="$(cat /run/varolan/varolan.lock 2>/dev/null || true)"
if [ -n "$lock_pid" ] && kill -0 "$lock_pid" 2>/dev/null; then
    echo "package_test: a service runs on /run/varolan (process $lock_pid); not touching it" >&2
    exit 1
fi

PRODUCT_KEY='Software\Brismoor\Varolan\Version 1.3'
SERVICE_KEY='SYSTEM\CurrentControlSet\Services\Varolan'
UNIT=/lib/systemd/system/tarnix.service
failures=0
had_user=0
had_group=0
getent passwd varolan >/dev/null && had_user=1
getent group varolan >/dev/null && had_group=1
service_pid=""

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
ok() { echo "ok: $*"; }
check() {  # check DESCRIPTION COMMAND...
    local what="$1"
    shift
    if "$@" >/dev/null 2>&1; then ok "$what"; else fail "$what"; fi
}

cleanup() {
    if [ -n "$service_pid" ] && kill -0 "$service_pid" 2>/dev/null; then
        kill -TERM "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
    fi
    if dpkg-query -W -f='${Status}' varolan 2>/dev/null | grep -q "installed\|config-files"; then
        dpkg --purge varolan >/dev/null 2>&1 || true
    fi
    # Nothing was there before this test (it refuses to run otherwise).
    rm -rf /var/lib/varolan /run/varolan
    [ "$had_user" -eq 1 ] || ! getent passwd varolan >/dev/null || deluser --quiet --system varolan >/dev/null 2>&1 || true
    [ "$had_group" -eq 1 ] || ! getent group varolan >/dev/null || delgroup --quiet --system varolan >/dev/null 2>&1 || true
}
TMPDIR_TEST="$(mktemp -d)"
trap 'cleanup; rm -rf "$TMPDIR_TEST"' EXIT

install_package() {
    if ! dpkg -i "$deb" >"$TMPDIR_TEST/dpkg.log" 2>&1; then
        cat "$TMPDIR_TEST/dpkg.log" >&2
        fail "dpkg -i $(basename "$deb")"
        exit 1
    fi
}
reg() { env -u VAROLAN_REGISTRY varolan-reg "$@"; }

# --- install -------------------------------------------------------------------
install_package
ok "dpkg -i $(basename "$deb")"

for f in /usr/sbin/tarnix /usr/sbin/maintain /usr/sbin/varolan-reg /usr/bin/tarnix-connect; do
    check "$f is an executable" test -x "$f" -a -f "$f"
done
for page in man8/tarnix.8 man8/maintain.8 man8/varolan-reg.8 man1/tarnix-connect.1; do
    file="/usr/share/man/$page.gz"
    if [ ! -f "$file" ]; then
        fail "manual page $file missing"
        continue
    fi
    # The page renders without a warning and has its NAME section.
    warnings="$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>&1 >"$TMPDIR_TEST/page")"
    if [ -n "$warnings" ] || ! grep -q "^NAME" "$TMPDIR_TEST/page"; then
        fail "manual page $page: ${warnings:-no NAME section}"
    else
        ok "manual page $page"
    fi
done
for doc in copyright changelog.gz README.md service.md store.md; do
    [ -f "/usr/share/doc/varolan/$doc" ] || [ -f "/usr/share/doc/varolan/$doc.gz" ] ||
        fail "/usr/share/doc/varolan/$doc missing"
done
ok "documentation under /usr/share/doc/varolan"

# The unit names the installed program, is enabled, and passes systemd's own check.
check "the unit starts /usr/sbin/tarnix" grep -qx "ExecStart=/usr/sbin/tarnix" "$UNIT"
check "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/tarnix.service
check "the tmpfiles entry is installed" test -f /usr/lib/tmpfiles.d/varolan.conf
if [ "$(ps -p 1 -o comm= 2>/dev/null)" != systemd ] && command -v systemd-analyze >/dev/null; then
    if verify="$(systemd-analyze verify "$UNIT" 2>&1)"; then
        ok "systemd-analyze verify tarnix.service"
    else
        fail "systemd-analyze verify tarnix.service: $verify"
    fi
fi

# The account: a system account in its own group and in dialout, no login.
IFS=: read -r _ _ uid gid _ home shell < <(getent passwd varolan) || true
if [ -n "${uid:-}" ] && [ "$uid" -lt 1000 ] && [ "$shell" = /usr/sbin/nologin ] &&
    [ "$home" = /var/lib/varolan ] && [ "$(getent group "$gid" | cut -d: -f1)" = varolan ]; then
    ok "system account varolan"
else
    fail "system account varolan: $(getent passwd varolan || echo missing)"
fi
check "varolan is in dialout" sh -c "id -nG varolan | tr ' ' '\n' | grep -qx dialout"

# The store: made by tarnix install, the installed program registered, first
# values written.
check "the store exists" test -s /var/lib/varolan/registry.db
check "tarnix is registered" sh -c "env -u VAROLAN_REGISTRY varolan-reg query '$SERVICE_KEY' ImagePath | grep -q /usr/sbin/tarnix"
check "the product key has its first values" sh -c "env -u VAROLAN_REGISTRY varolan-reg query '$PRODUCT_KEY' 'Telnet Port' | grep -q '^REG_DWORD 23 '"

# Root's tarnix install gives the store to the service account, made first.
store_owner="$(stat -c %U /var/lib/varolan/registry.db 2>/dev/null || true)"
check "the store belongs to varolan" test "$store_owner" = varolan
if [ "$(stat -c %U:%a /var/lib/varolan/ssh_id_ed25519 2>/dev/null)" = "$store_owner:600" ]; then
    ok "the gateway's ssh key is the store owner's ($store_owner) alone"
else
    fail "the gateway's ssh key: $(ls -l /var/lib/varolan/ssh_id_ed25519 2>&1)"
fi

# --- the installed service, run as its unit runs it ------------------------------
unit_value() { sed -n "s/^$1=//p" "$UNIT" | tail -n 1; }

# Starts /usr/sbin/tarnix in the background with the unit's account, groups,
# environment, umask, runtime and state directories (what systemd would do).
start_like_the_unit() {
    local user group supp runtime mode umask_value state state_mode
    user="$(unit_value User)"
    user="${user:-root}"
    group="$(unit_value Group)"
    group="${group:-$(id -gn "$user")}"
    supp="$(unit_value SupplementaryGroups | tr ' ' ',')"
    runtime="$(unit_value RuntimeDirectory)"
    mode="$(unit_value RuntimeDirectoryMode)"
    umask_value="$(unit_value UMask)"
    state="$(unit_value StateDirectory)"
    state_mode="$(unit_value StateDirectoryMode)"
    if [ -n "$runtime" ]; then
        rm -rf "/run/$runtime"
        install -d -o "$user" -g "$group" -m "${mode:-0755}" "/run/$runtime"
    fi
    if [ -n "$state" ]; then
        install -d -m "${state_mode:-0755}" "/var/lib/$state"
        chown -R "$user:$group" "/var/lib/$state"
    fi
    local -a env_args=()
    mapfile -t env_args < <(sed -n 's/^Environment=//p' "$UNIT")
    local -a groups_args=(--clear-groups)
    [ -z "$supp" ] || groups_args=(--groups "$supp")
    (
        umask "${umask_value:-0022}"
        exec setpriv --reuid "$user" --regid "$group" "${groups_args[@]}" \
            env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "${env_args[@]}" /usr/sbin/tarnix \
            </dev/null >>"$TMPDIR_TEST/service.log" 2>&1
    ) &
    service_pid=$!
}

# Waits (at most 15 s) until `tarnix status` prints $1.
wait_state() {
    local i
    for i in $(seq 150); do
        [ "$(env -u VAROLAN_RUNTIME_DIR tarnix status 2>/dev/null | head -n 1)" = "$1" ] && return 0
        kill -0 "$service_pid" 2>/dev/null || [ "$1" = STOPPED ] || return 1
        sleep 0.1
    done
    return 1
}

# Waits (at most 15 s) for the service process to end.
wait_gone() {
    local i
    for i in $(seq 150); do
        kill -0 "$service_pid" 2>/dev/null || { wait "$service_pid" 2>/dev/null || true; return 0; }
        sleep 0.1
    done
    return 1
}

start_like_the_unit
if wait_state RUNNING; then
    ok "the service runs as $(unit_value User | grep . || echo root) on the installed store"
    answer="$(printf 'q\r' | timeout 20 tarnix-connect --linger 3000 2>&1 || true)"
    if printf '%s' "$answer" | grep -q "Telnet >"; then
        ok "tarnix-connect reaches the prompt"
    else
        fail "tarnix-connect: no prompt: $answer"
    fi
    listing="$(env -u VAROLAN_RUNTIME_DIR tarnix sessions --json 2>&1 || true)"
    case "$listing" in
        '{"sessions":['*) ok "tarnix sessions answers root" ;;
        *) fail "tarnix sessions: $listing" ;;
    esac
else
    fail "the service did not reach RUNNING: $(cat "$TMPDIR_TEST/service.log")"
fi
env -u VAROLAN_RUNTIME_DIR tarnix stop >/dev/null 2>&1 || true
wait_gone || fail "tarnix stop did not end the service"

# --- upgrade: the store and its settings are kept --------------------------------
owner_before="$(stat -c %U:%G /var/lib/varolan/registry.db)"
reg set "$PRODUCT_KEY" Prompt REG_SZ "kept by the package" >/dev/null
reg set "$PRODUCT_KEY\\ttyS9" "Modem Init" REG_MULTI_SZ ATZ >/dev/null
install_package
if reg query "$PRODUCT_KEY" Prompt 2>/dev/null | grep -q '"kept by the package"' &&
    reg query "$PRODUCT_KEY\\ttyS9" "Modem Init" 2>/dev/null | grep -q '"ATZ"'; then
    ok "reinstalling keeps the store's values"
else
    fail "reinstalling lost the store's values"
fi
owner_after="$(stat -c %U:%G /var/lib/varolan/registry.db)"
[ "$owner_before" = "$owner_after" ] && ok "the store keeps its owner ($owner_after)" ||
    fail "the store's owner changed from $owner_before to $owner_after"

# --- remove: the service is stopped, the store stays -----------------------------
start_like_the_unit
wait_state RUNNING || fail "the service did not start again: $(cat "$TMPDIR_TEST/service.log")"
dpkg -r varolan >"$TMPDIR_TEST/dpkg.log" 2>&1 || { cat "$TMPDIR_TEST/dpkg.log" >&2; fail "dpkg -r"; }
wait_gone && ok "removal stops the running service" || fail "the service still runs after removal"
check "removal takes the programs" test ! -e /usr/sbin/tarnix
check "removal keeps the store" test -s /var/lib/varolan/registry.db
install_package
reg query "$PRODUCT_KEY" Prompt 2>/dev/null | grep -q '"kept by the package"' &&
    ok "installing again finds the kept settings" || fail "installing again lost the settings"

# --- purge: the store goes ------------------------------------------------------
dpkg --purge varolan >"$TMPDIR_TEST/dpkg.log" 2>&1 || { cat "$TMPDIR_TEST/dpkg.log" >&2; fail "dpkg --purge"; }
check "purge deletes the store" test ! -e /var/lib/varolan
check "purge drops the unit's enablement" test ! -e /etc/systemd/system/multi-user.target.wants/tarnix.service
check "purge leaves no masked unit" test ! -L /etc/systemd/system/tarnix.service

if [ "$failures" -gt 0 ]; then
    echo "package_test: $failures check(s) failed" >&2
    exit 1
fi
echo "package_test: all checks passed"
