#!/usr/bin/env bash
# A throwaway Tango database on this machine: a private MariaDB server on 127.0.0.1 with the schema
# that Debian's tango-db package ships, DataBaseds on a local port, and one DvxStage device
# registered in it. Runs a command with TANGO_HOST pointing there, then stops everything it
# started and removes its files.
#
#   scripts/tango-db.sh --install                 install the packages only (root or sudo)
#   scripts/tango-db.sh [OPTIONS] [--] COMMAND... run COMMAND against a fresh database
#   scripts/tango-db.sh restart                   from inside COMMAND: restart DataBaseds
#
# Options:
#   --no-install       never install; exit 77 when the packages are missing
#   --server NAME      the device server, EXECUTABLE/INSTANCE (mirastellon-tango/test)
#   --device NAME      the device to register (lab/dvx/1)
#   --socket PATH      its ControlSocket property ($TANGO_DB_RUNTIME_DIR/mirastellon.sock)
#
# COMMAND sees TANGO_HOST, TANGO_DB_DIR (this run's folder), TANGO_DB_RUNTIME_DIR (a private
# folder, the default home of the panel's socket) and TANGO_DB_SETUP_S (seconds the set-up took).
# Exits with COMMAND's status, or 77 when the database cannot be set up (said on standard error).
#
# As root, MariaDB runs as user mysql and DataBaseds as user tango; otherwise both run as the
# calling user. Nothing here touches the system's own MariaDB or /etc/tangorc.
set -euo pipefail

packages=(mariadb-server mariadb-client tango-db tango-test)
skip=77

say() { echo "tango-db: $*" >&2; }
give_up() {
    say "$*"
    exit "$skip"
}

missing_packages() {
    local package
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            echo "$package"
    done
}

# The packages want to start their services and to create a database through dbconfig-common;
# neither works without an init system, and this script starts its own anyway.
install_packages() {
    local missing sudo="" made_policy=""
    mapfile -t missing < <(missing_packages)
    [ ${#missing[@]} -eq 0 ] && return 0
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "tango-db: installing ${missing[*]}"
    echo "tango-db tango-db/dbconfig-install boolean false" | $sudo debconf-set-selections
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        printf '#!/bin/sh\n# No services start while packages install.\nexit 101\n' |
            $sudo tee /usr/sbin/policy-rc.d >/dev/null
        $sudo chmod 755 /usr/sbin/policy-rc.d
        made_policy=1
    fi
    local status=0
    $sudo apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || status=$?
    [ -n "$made_policy" ] && $sudo rm -f /usr/sbin/policy-rc.d
    return "$status"
}

free_port() {
    /usr/bin/python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The folder of this run and its state, shared with "restart".
load_state() {
    : "${TANGO_DB_DIR:?restart runs inside a tango-db.sh command}"
    # shellcheck source=/dev/null
    . "$TANGO_DB_DIR/state"
}

start_databaseds() {
    # DataBaseds reads its MariaDB account from the environment, so the password is on no
    # command line.
    (
        cd /
        export MYSQL_USER=tango MYSQL_PASSWORD="$db_password" MYSQL_DATABASE=tango
        export MYSQL_HOST="127.0.0.1:$mysql_port" TANGO_HOST="127.0.0.1:$tango_port"
        run=(/usr/lib/tango/DataBaseds 2 -ORBendPoint "giop:tcp:127.0.0.1:$tango_port")
        if [ "$(id -u)" -eq 0 ]; then
            export HOME=/
            run=(setpriv --reuid=tango --regid=tango --init-groups -- "${run[@]}")
        fi
        exec "${run[@]}" >>"$TANGO_DB_DIR/databaseds.log" 2>&1 </dev/null
    ) &
    echo $! >"$TANGO_DB_DIR/databaseds.pid"
    local end=$((SECONDS + 30)) pid
    while ! TANGO_HOST="127.0.0.1:$tango_port" tango_admin --ping-database >/dev/null 2>&1; do
        pid=$(cat "$TANGO_DB_DIR/databaseds.pid")
        if [ $SECONDS -ge $end ] || ! kill -0 "$pid" 2>/dev/null; then
            tail -n 20 "$TANGO_DB_DIR/databaseds.log" >&2 || true
            return 1
        fi
        sleep 0.2
    done
}

stop_pid_file() {
    local file=$1 pid
    [ -s "$file" ] || return 0
    pid=$(cat "$file")
    rm -f "$file"
    kill -TERM "$pid" 2>/dev/null || return 0
    local end=$((SECONDS + 10))
    while kill -0 "$pid" 2>/dev/null; do
        if [ $SECONDS -ge $end ]; then
            kill -KILL "$pid" 2>/dev/null || true
            break
        fi
        sleep 0.1
    done
}

if [ "${1:-}" = "--install" ]; then
    install_packages
    exit
fi

if [ "${1:-}" = "restart" ]; then
    load_state
    stop_pid_file "$TANGO_DB_DIR/databaseds.pid"
    start_databaseds || {
        say "DataBaseds did not come back"
        exit 1
    }
    exit 0
fi

install=1
server=mirastellon-tango/test
device=lab/dvx/1
socket=""
while [ $# -gt 0 ]; do
    case $1 in
    --no-install) install="" ;;
    --server) server=$2; shift ;;
    --device) device=$2; shift ;;
    --socket) socket=$2; shift ;;
    --) shift; break ;;
    -*) echo "tango-db.sh: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
    shift
done
[ $# -gt 0 ] || { echo "Usage: tango-db.sh [OPTIONS] [--] COMMAND..." >&2; exit 2; }

started=$SECONDS
if [ -n "$(missing_packages)" ]; then
    [ -n "$install" ] || give_up "skipped: $(missing_packages | xargs) not installed" \
        "(install them with scripts/tango-db.sh --install)"
    install_packages || give_up "skipped: installing the Tango database packages failed"
fi
for program in mariadb-install-db mariadbd mariadb /usr/lib/tango/DataBaseds tango_admin; do
    command -v "$program" >/dev/null || give_up "skipped: $program is missing"
done

TANGO_DB_DIR=$(mktemp -d /tmp/tango-db.XXXXXX)
export TANGO_DB_DIR
chmod 755 "$TANGO_DB_DIR"
mysql_pid=""
cleanup() {
    local status=$?
    set +e
    stop_pid_file "$TANGO_DB_DIR/databaseds.pid"
    if [ -n "$mysql_pid" ]; then
        kill -TERM "$mysql_pid" 2>/dev/null
        wait "$mysql_pid" 2>/dev/null
    fi
    rm -rf "$TANGO_DB_DIR"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

data=$TANGO_DB_DIR/mysql
mkdir -m 700 "$data" "$TANGO_DB_DIR/run"
mysql_user=()
if [ "$(id -u)" -eq 0 ]; then
    id mysql >/dev/null 2>&1 || give_up "skipped: there is no user mysql"
    id tango >/dev/null 2>&1 || give_up "skipped: there is no user tango"
    chown mysql: "$data"
    mysql_user=(--user=mysql)
fi
mysql_socket=$data/mysqld.sock
mysql_port=$(free_port)
tango_port=$(free_port)
db_password=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')

mariadb-install-db --no-defaults "${mysql_user[@]}" --datadir="$data" --skip-test-db \
    --auth-root-authentication-method=socket --auth-root-socket-user="$(id -un)" \
    >"$TANGO_DB_DIR/install.log" 2>&1 || {
    tail -n 20 "$TANGO_DB_DIR/install.log" >&2
    give_up "skipped: mariadb-install-db failed"
}
mariadbd --no-defaults "${mysql_user[@]}" --datadir="$data" --socket="$mysql_socket" \
    --pid-file="$data/mariadbd.pid" --bind-address=127.0.0.1 --port="$mysql_port" \
    --skip-name-resolve --log-error="$data/error.log" --innodb-buffer-pool-size=16M \
    --skip-log-bin --innodb-flush-log-at-trx-commit=2 >"$TANGO_DB_DIR/mariadbd.out" 2>&1 &
mysql_pid=$!
end=$((SECONDS + 30))
while ! mariadb-admin --no-defaults --socket="$mysql_socket" ping >/dev/null 2>&1; do
    if [ $SECONDS -ge $end ] || ! kill -0 "$mysql_pid" 2>/dev/null; then
        tail -n 20 "$data/error.log" >&2 || true
        give_up "skipped: mariadbd did not start"
    fi
    sleep 0.2
done

# The administrator is the caller, known to MariaDB by the socket's credentials.
sql() { mariadb --no-defaults --socket="$mysql_socket" -u"$(id -un)" "$@"; }
sql <<SQL || give_up "skipped: creating the tango database failed"
CREATE DATABASE tango;
CREATE USER 'tango'@'127.0.0.1' IDENTIFIED BY '$db_password';
GRANT ALL PRIVILEGES ON tango.* TO 'tango'@'127.0.0.1';
SQL
# The schema, the stored procedures and the first rows, as the package would load them.
schema=/usr/share/dbconfig-common/data/tango-db/install/mysql
sql tango <"$schema" >"$TANGO_DB_DIR/schema.log" 2>&1 || {
    tail -n 20 "$TANGO_DB_DIR/schema.log" >&2
    give_up "skipped: loading the tango-db schema failed"
}

cat >"$TANGO_DB_DIR/state" <<STATE
mysql_port=$mysql_port
tango_port=$tango_port
db_password=$db_password
STATE
chmod 600 "$TANGO_DB_DIR/state"
start_databaseds || give_up "skipped: DataBaseds did not start"

export TANGO_HOST=127.0.0.1:$tango_port
export TANGO_DB_RUNTIME_DIR=$TANGO_DB_DIR/run
[ -n "$socket" ] || socket=$TANGO_DB_RUNTIME_DIR/mirastellon.sock
tango_admin --add-server "$server" DvxStage "$device" >/dev/null &&
    tango_admin --add-property "$device" ControlSocket "$socket" >/dev/null ||
    give_up "skipped: registering $device failed"
export TANGO_DB_SETUP_S=$((SECONDS - started))
say "database at $TANGO_HOST after $TANGO_DB_SETUP_S s; $device of $server, ControlSocket $socket"

# The command runs in the background so that a signal to this script reaches the trap at once.
set +e
"$@" &
command_pid=$!
trap 'kill -TERM "$command_pid" 2>/dev/null; exit 143' TERM
trap 'kill -INT "$command_pid" 2>/dev/null; exit 130' INT
wait "$command_pid"
exit $?
