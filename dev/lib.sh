# shellcheck shell=bash
# Shared set-up of dev/test, dev/demo and dev/bench: packages, ODBC drivers, a private Wine
# prefix, a private MariaDB server and a sandbox server installation. Source it; every function
# is idempotent.

KSR_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

KSR_PACKAGES=(cmake make mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 googletest
    mariadb-server mariadb-client unixodbc odbc-mariadb tdsodbc locales xvfb xauth x11-utils
    imagemagick python3 procps fonts-wqy-microhei bc rclone unzip osslsigncode openssl)
# What dev/lint needs besides the build's packages.
KSR_LINT_PACKAGES=(clang-tidy clang-format)

ksr_log() { printf '== %s\n' "$*" >&2; }

# Installs the packages above that are missing, and any named as arguments.
ksr_install_packages() {
    local missing=()
    for p in "${KSR_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    # Node.js runs the T-SQL check's parser; a Node.js that brings its own npm needs neither.
    if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
        missing+=(nodejs npm)
    fi
    if ((${#missing[@]})); then
        ksr_log "installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
    # Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives code page 936.
    if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
        localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
    fi
}

# The npm packages $1/package-lock.json pins, installed into $2/node_modules; again only when
# the lock changes.
ksr_install_npm_packages() {
    local from=$1 to=$2
    if [ -d "$to/node_modules" ] && cmp -s "$from/package-lock.json" "$to/installed-lock.json"; then
        return 0
    fi
    ksr_log "installing the npm packages of $from"
    rm -rf "$to"
    mkdir -p "$to"
    cp "$from/package.json" "$from/package-lock.json" "$to/"
    (cd "$to" && npm ci --no-audit --no-fund --loglevel=error >/dev/null) || return 1
    cp "$from/package-lock.json" "$to/installed-lock.json"
}

# The driver names the server's connection strings use, served by MariaDB Connector/ODBC and
# FreeTDS on this machine.
ksr_register_odbc_drivers() {
    local odbc=/usr/lib/x86_64-linux-gnu/odbc
    if ! odbcinst -q -d -n "MySQL ODBC 8.0 Unicode Driver" >/dev/null 2>&1; then
        printf '[MySQL ODBC 8.0 Unicode Driver]\nDescription=MariaDB Connector/ODBC\nDriver=%s\nThreading=0\n' \
            "$odbc/libmaodbc.so" | odbcinst -i -d -r >/dev/null
    fi
    if ! odbcinst -q -d -n "SQL Server" >/dev/null 2>&1; then
        printf '[SQL Server]\nDescription=FreeTDS\nDriver=%s\n' "$odbc/libtdsodbc.so" |
            odbcinst -i -d -r >/dev/null
    fi
}

KSR_PIDS=()
KSR_PID_FILES=()

ksr_stop_all() {
    if [ -n "${WINEPREFIX:-}" ] && command -v wineserver >/dev/null; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    local pid file
    for file in "${KSR_PID_FILES[@]}"; do
        # A stopped server must run again to end.
        [ -s "$file" ] && pid=$(cat "$file") && kill -CONT "$pid" >/dev/null 2>&1 &&
            KSR_PIDS+=("$pid")
    done
    KSR_PID_FILES=()
    for pid in "${KSR_PIDS[@]}"; do
        kill "$pid" >/dev/null 2>&1 || true
    done
    for pid in "${KSR_PIDS[@]}"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
        kill -9 "$pid" >/dev/null 2>&1 || true
    done
    KSR_PIDS=()
}

# Starts a persistent wineserver for $WINEPREFIX once any earlier one has gone, and waits
# until it accepts clients: a Wine program started before that would start a server of its
# own, one that lingers attached to our output.
ksr_start_wineserver() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    # Wine processes of this prefix that outlived a server killed some other way keep using the
    # processor, which skews every timing after them.
    local pid environ
    for pid in $(pgrep -f '\.exe' || true); do
        # A listed process may have ended since. Redirections apply left to right: stderr is
        # sent away before the environment fails to open, or the shell reports that.
        environ=$(tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ") || continue
        [ "$(sed -n 's/^WINEPREFIX=//p' <<<"$environ")" = "$WINEPREFIX" ] || continue
        kill -9 "$pid" 2>/dev/null || true
    done
    # The server's socket lives in a directory named after the prefix's device and inode, in a
    # per-user directory under /tmp whose name depends on the Wine version.
    local server
    server=$(printf 'server-%x-%x' $(stat -c '%d %i' "$WINEPREFIX"))
    # A server that was killed leaves its socket behind; no server runs now.
    rm -f "${TMPDIR:-/tmp}"/*wine*/"$server"/socket
    setsid wineserver -f -p </dev/null >>"$KSR_WINE_LOG" 2>&1 &
    KSR_PIDS+=($!)
    for _ in $(seq 100); do
        compgen -G "${TMPDIR:-/tmp}/*wine*/$server/socket" >/dev/null && return 0
        kill -0 "${KSR_PIDS[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    ksr_log "the wineserver did not start; its output:"
    cat "$KSR_WINE_LOG" >&2
    return 1
}

# Runs a Wine command with its output in the set-up log, which is shown if it fails.
ksr_wine_quiet() {
    "$@" </dev/null >>"$KSR_WINE_LOG" 2>&1 && return 0
    local rc=$?
    ksr_log "'$*' failed with exit code $rc; Wine's output:"
    tail -n 40 "$KSR_WINE_LOG" >&2
    df -h "$WINEPREFIX" >&2 || true
    return "$rc"
}

# A private Wine prefix in $1 with drive D: mapped to $2; leaves a persistent wineserver
# running, detached from our output (otherwise CTest waits on Wine's services forever).
# Windows are headless unless $3 is "x11".
ksr_start_wine() {
    export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export LC_ALL=zh_CN.UTF-8
    mkdir -p "$WINEPREFIX" "$2"
    KSR_WINE_LOG=$(dirname "$WINEPREFIX")/wine-setup.log
    : >"$KSR_WINE_LOG"
    ksr_start_wineserver
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        ksr_log "booting the Wine prefix"
        ksr_wine_quiet wineboot -i
    fi
    if [ "${3:-}" = x11 ]; then
        wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f </dev/null >/dev/null 2>&1 || true
    else
        ksr_wine_quiet wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
    fi
    # The desktop process started while booting used the driver the prefix had then; a fresh
    # start makes every window of the run use the one just chosen.
    ksr_start_wineserver
    ksr_wine_quiet wineboot
    ln -sfn "$2" "$WINEPREFIX/dosdevices/d:"
}

ksr_free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# A private MariaDB in $1 on a free loopback port, with the test user; further arguments go to
# the server. Sets KSR_MARIADB_PORT, and writes $1/restart, which starts the server again.
ksr_run_mariadb() {
    local dir=$1 port
    shift
    port=$(ksr_free_port)
    mkdir -p "$dir"
    if [ ! -d "$dir/data/mysql" ]; then
        mariadb-install-db --no-defaults --datadir="$dir/data" --user="$(id -un)" \
            --auth-root-authentication-method=socket >"$dir/install.log" 2>&1 || {
            ksr_log "mariadb-install-db failed:"
            tail -n 40 "$dir/install.log" >&2
            return 1
        }
    fi
    local server=(mariadbd --no-defaults --datadir="$dir/data" --socket="$dir/sock" --port="$port"
        --bind-address=127.0.0.1 --user="$(id -un)" --pid-file="$dir/pid"
        --log-error="$dir/error.log" --innodb-flush-log-at-trx-commit=2
        --character-set-server=utf8mb4 --collation-server=utf8mb4_unicode_ci
        --max-connections=500 "$@")
    printf '#!/bin/sh\nPATH=%q\nrm -f %q\nsetsid %s </dev/null >/dev/null 2>&1 &\n' "$PATH" "$dir/pid" \
        "$(printf '%q ' "${server[@]}")" >"$dir/restart"
    "${server[@]}" </dev/null >/dev/null 2>&1 &
    KSR_PIDS+=($!)
    # Fault tests kill the server on purpose; the shell need not report it.
    disown "$!"
    local up=
    for _ in $(seq 150); do
        mariadb-admin --socket="$dir/sock" -uroot ping >/dev/null 2>&1 && up=1 && break
        sleep 0.2
    done
    if [ -z "$up" ]; then
        ksr_log "the MariaDB server did not start:"
        tail -n 40 "$dir/error.log" >&2
        return 1
    fi
    mariadb --socket="$dir/sock" -uroot <<'SQL'
CREATE USER IF NOT EXISTS 'ksrtest'@'127.0.0.1' IDENTIFIED BY 'Ksr-test-pw1';
CREATE USER IF NOT EXISTS 'ksrtest'@'localhost' IDENTIFIED BY 'Ksr-test-pw1';
GRANT ALL PRIVILEGES ON *.* TO 'ksrtest'@'127.0.0.1' WITH GRANT OPTION;
GRANT ALL PRIVILEGES ON *.* TO 'ksrtest'@'localhost' WITH GRANT OPTION;
SQL
    KSR_MARIADB_PORT=$port
}

# A private MariaDB in $1 on a free loopback port; exports KSRIMPORT_TEST_DB. With $2 "durable"
# it commits as a server installed with its defaults does (the log flushed to disk at every
# commit); otherwise the log is flushed once a second, which is enough for tests and faster.
ksr_start_mariadb() {
    local durability=()
    case "${2:-relaxed}" in
        durable) durability=(--innodb-flush-log-at-trx-commit=1) ;;
        relaxed) ;;
        *) ksr_log "ksr_start_mariadb: unknown durability '$2'"; return 1 ;;
    esac
    ksr_run_mariadb "$1" "${durability[@]}" || return 1
    export KSRIMPORT_DB_SOCKET="$1/sock"
    export KSRIMPORT_TEST_DB="host=127.0.0.1;port=$KSR_MARIADB_PORT;user=ksrtest;password=Ksr-test-pw1"
}

# A second private MariaDB in $1 that fault tests stop, resume, kill and restart from under
# Wine (through /bin/kill and $1/restart), so the shared one stays up. It runs with a non-strict
# sql_mode, as some servers in the field do. Exports KSRIMPORT_FAULT_DB, which adds the
# server's pid file and restart script to the usual fields.
ksr_start_fault_mariadb() {
    ksr_run_mariadb "$1" --sql-mode=NO_ENGINE_SUBSTITUTION || return 1
    # A server the tests restarted is no child of ours; its pid file names it.
    KSR_PID_FILES+=("$1/pid")
    export KSRIMPORT_FAULT_DB="host=127.0.0.1;port=$KSR_MARIADB_PORT;user=ksrtest;password=Ksr-test-pw1;pidfile=$1/pid;restart=$1/restart"
}

# The root client of the private MariaDB (ksr_start_mariadb).
ksr_db() { mariadb --socket="$KSRIMPORT_DB_SOCKET" -uroot "$@"; }

# Database $1 on the private MariaDB, made afresh with the server's tables and its store root
# set to $2, a Windows path written with "/" as the server keeps it.
ksr_fresh_server_db() { # <db name> <store root>
    ksr_db -e "DROP DATABASE IF EXISTS $1; CREATE DATABASE $1 CHARACTER SET utf8mb4"
    ksr_db "$1" <"$KSR_ROOT/tests/fixtures/server_schema_mysql.sql"
    ksr_db "$1" -e "INSERT INTO Tab_Config (Col_Name, Col_Data, Col_Genre, Col_Disabled) VALUES ('KSR_CONSOLE', '$2', 'SysConfig', 0)"
}

# A sandbox server installation in the Wine prefix, found the way the engine finds one on a real
# server: KvoServer.exe registered in the 32-bit view of HKLM\Software\mw-tz\KvoServer, its
# public\Data\DataBase.ini naming database $1 on the private MariaDB, and that database made
# afresh with store root $2 (see ksr_fresh_server_db).
ksr_install_sandbox_server() { # <db name> <store root>
    local dir="$WINEPREFIX/drive_c/Program Files (x86)/Tavrin KSR/server" port
    port=$(sed -n 's/.*port=\([0-9]*\).*/\1/p' <<<"$KSRIMPORT_TEST_DB")
    mkdir -p "$dir/public/Data"
    printf 'MZ' >"$dir/KvoServer.exe"
    printf '[server_connection]\r\nDB_TYPE=mysql\r\nDB_SERVER=127.0.0.1\r\nDB_PORT=%s\r\nDB_NAME=%s\r\nDB_USER=ksrtest\r\nDB_PWD=Ksr-test-pw1\r\n' \
        "$port" "$1" >"$dir/public/Data/DataBase.ini"
    ksr_wine_quiet wine reg add 'HKLM\Software\mw-tz\KvoServer' /v exe \
        /d 'C:\Program Files (x86)\Tavrin KSR\server\KvoServer.exe' /f /reg:32
    ksr_fresh_server_db "$1" "$2"
}
