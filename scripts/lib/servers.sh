# Throwaway PostgreSQL and MariaDB servers, for the integration tests
# (tests/integration/test_env.sh) and the benchmarks (scripts/bench). Sourced,
# not run; the caller sets `set -euo pipefail`.
#
# A server lives in a folder DIR of its own, which the server user must be
# able to enter:
#   DIR/data        the data folder
#   DIR/port        the TCP port it listens on, 127.0.0.1 only
#   DIR/server.log  its log
#   and its Unix socket (PostgreSQL: DIR/.s.PGSQL.<port>, MariaDB:
#   DIR/mariadbd.sock; MariaDB also keeps DIR/mariadbd.pid).
# Nothing system-wide is changed. initdb refuses to run as root, so as root
# the servers run as "postgres" and "mysql"; otherwise as the caller.
#
# PostgreSQL: pg_init, pg_start, pg_start_on_free_port, pg_stop, pg_running,
#             pg_client (psql through the socket), and $pg_bin; replicas:
#             pg_init_standby, pg_wait_for_replay.
# MariaDB:    mariadb_init, mariadb_start, mariadb_start_on_free_port,
#             mariadb_stop, mariadb_running, mariadb_client, mariadb_admin;
#             replicas: mariadb_replicate, mariadb_wait_for_replay.
# Both take the server's own settings as extra arguments to start, so that the
# tests and the benchmarks keep theirs; a restart must pass the same again.

# The binaries of the newest PostgreSQL server installed (Debian keeps each
# major version in /usr/lib/postgresql/<version>/bin; the package "postgresql"
# brings the distribution's). Empty when there is none: servers_require says so.
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1 || true)

servers_die() {
    echo "${servers_caller:-${0##*/}}: $*" >&2
    exit 1
}

# Fails unless the server programs are installed.
servers_require() {
    [ -n "$pg_bin" ] && [ -x "$pg_bin/initdb" ] ||
        servers_die "no PostgreSQL server is installed (/usr/lib/postgresql/*/bin/initdb)"
    command -v mariadbd >/dev/null || servers_die "MariaDB is not installed (mariadbd missing)"
}

# Hands paths to a server user when we run as root; otherwise they are ours.
server_give_to() {
    local user=$1
    shift
    if [ "$(id -u)" -eq 0 ]; then
        chown "$user": "$@"
    fi
}

server_run_as() {
    local user=$1
    shift
    if [ "$(id -u)" -eq 0 ]; then
        # From a folder that the server user can enter: the caller's working
        # directory may be a private scratch folder. All paths are absolute.
        (cd / && runuser -u "$user" -- "$@")
    else
        "$@"
    fi
}

# server_exec_as USER COMMAND...: replaces the calling (sub)shell by COMMAND
# run as USER, for a server that outlives its starter. Unlike runuser, no
# process of ours stays behind as the server's parent: runuser waits on its
# command and stops itself when the command is stopped (as su does for job
# control), so a test that pauses the server with SIGSTOP would leave runuser
# stopped for ever.
server_exec_as() {
    local user=$1
    shift
    if [ "$(id -u)" -eq 0 ]; then
        cd / && exec setpriv --reuid="$user" --regid="$user" --init-groups -- "$@"
    else
        exec "$@"
    fi
}

port_in_use() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A random port in 20000..59999 that nothing listens on now. Another process
# may still take it first: the callers retry when the server cannot bind.
pick_port() {
    local attempt=$1 port
    while :; do
        port=$((20000 + (RANDOM * 7 + attempt) % 40000))
        port_in_use "$port" || break
        attempt=$((attempt + 1))
    done
    echo "$port"
}

# --- PostgreSQL -----------------------------------------------------------------

# pg_init DIR INITDB_ARGUMENT...: a new cluster in DIR/data.
pg_init() {
    local dir=$1
    shift
    server_give_to postgres "$dir"
    server_run_as postgres "$pg_bin/initdb" -D "$dir/data" "$@" >"$dir/initdb.log" 2>&1 ||
        servers_die "initdb in $dir failed: $(cat "$dir/initdb.log")"
}

# pg_start DIR [SERVER_OPTION...]: starts the cluster on the port in DIR/port
# and waits until it accepts connections. The options are passed to postgres
# (-o), after the listening address, port and socket folder.
pg_start() {
    local dir=$1 port
    shift
    port=$(cat "$dir/port")
    server_run_as postgres "$pg_bin/pg_ctl" start -w -t 30 -D "$dir/data" -l "$dir/server.log" \
        -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir $*" \
        >/dev/null
}

# pg_start_on_free_port DIR [SERVER_OPTION...]: pg_start on the first free
# port where the server comes up; records it in DIR/port.
pg_start_on_free_port() {
    local dir=$1 attempt
    for attempt in $(seq 1 20); do
        pick_port "$attempt" >"$dir/port"
        server_give_to postgres "$dir/port"
        pg_start "$@" && return 0
        grep -q "could not bind" "$dir/server.log" 2>/dev/null ||
            servers_die "PostgreSQL server in $dir did not start: $(cat "$dir/server.log" 2>/dev/null)"
    done
    servers_die "found no free port for the PostgreSQL server in $dir"
}

# pg_stop DIR [MODE]: stops the server unless it is stopped; MODE is one of
# pg_ctl's shutdown modes (default fast; immediate is as a crash would be).
pg_stop() {
    local dir=$1 mode=${2:-fast}
    [ -f "$dir/data/postmaster.pid" ] || return 0
    server_run_as postgres "$pg_bin/pg_ctl" stop -w -t 30 -m "$mode" -D "$dir/data" >/dev/null
}

pg_running() {
    server_run_as postgres "$pg_bin/pg_ctl" status -D "$1/data" >/dev/null
}

# pg_client DIR USER DATABASE [PSQL_ARGUMENT...]: psql through the socket,
# stopping at the first error.
pg_client() {
    local dir=$1 user=$2 db=$3
    shift 3
    server_run_as postgres "$pg_bin/psql" -X -q -v ON_ERROR_STOP=1 -h "$dir" \
        -p "$(cat "$dir/port")" -U "$user" -d "$db" "$@"
}

# pg_init_standby PRIMARY_DIR DIR USER: a hot standby of the running server in
# PRIMARY_DIR in DIR/data: a base backup taken as USER (a superuser, through
# the primary's socket, which initdb's "local replication" line admits) that
# carries the standby's settings (-R: standby.signal and primary_conninfo).
# Start it with pg_start_on_free_port; it streams from the primary from then
# on and reconnects by itself after the primary restarts.
pg_init_standby() {
    local primary=$1 dir=$2 user=$3
    server_give_to postgres "$dir"
    server_run_as postgres "$pg_bin/pg_basebackup" -h "$primary" -p "$(cat "$primary/port")" \
        -U "$user" -D "$dir/data" -R -X stream -c fast --no-sync >"$dir/basebackup.log" 2>&1 ||
        servers_die "pg_basebackup of $primary into $dir failed: $(cat "$dir/basebackup.log")"
}

# pg_wait_for_replay PRIMARY_DIR STANDBY_DIR USER: waits until the standby has
# replayed everything that the primary has written so far; fails after 30 s.
pg_wait_for_replay() {
    local primary=$1 standby=$2 user=$3 target attempt
    # The insert position: with synchronous_commit off, the last commits may
    # still wait in the WAL buffers, behind the write position.
    target=$(pg_client "$primary" "$user" postgres -A -t -c "SELECT pg_current_wal_insert_lsn()")
    for attempt in $(seq 1 300); do
        [ "$(pg_client "$standby" "$user" postgres -A -t -c \
            "SELECT coalesce(pg_last_wal_replay_lsn() >= '$target', false)")" = t ] && return 0
        sleep 0.1
    done
    servers_die "the standby in $standby did not replay up to $target within 30 s:" \
        "$(tail -n 20 "$standby/server.log" 2>/dev/null)"
}

# --- MariaDB --------------------------------------------------------------------

# mariadb_init DIR: a new data folder DIR/data with a root that logs in
# through the socket.
mariadb_init() {
    local dir=$1
    server_give_to mysql "$dir"
    server_run_as mysql mariadb-install-db --no-defaults --datadir="$dir/data" \
        --auth-root-authentication-method=normal --skip-test-db --skip-name-resolve \
        --innodb-log-file-size=8M >"$dir/install.log" 2>&1 ||
        servers_die "mariadb-install-db in $dir failed: $(cat "$dir/install.log")"
}

mariadb_admin() {
    local dir=$1
    shift
    mariadb-admin --no-defaults --socket="$dir/mariadbd.sock" --user=root "$@"
}

# mariadb_client DIR [ARGUMENT...]: the mariadb client as root, through the socket.
mariadb_client() {
    local dir=$1
    shift
    mariadb --no-defaults --socket="$dir/mariadbd.sock" --user=root "$@"
}

mariadb_running() {
    local dir=$1
    [ -f "$dir/mariadbd.pid" ] && kill -0 "$(cat "$dir/mariadbd.pid")" 2>/dev/null
}

# mariadb_start DIR [SERVER_OPTION...]: starts the server on the port in
# DIR/port and waits until it answers. The server runs in a session of its
# own, detached from the caller's output, so that ctest does not wait for it.
mariadb_start() {
    local dir=$1 port attempt
    shift
    port=$(cat "$dir/port")
    rm -f "$dir/mariadbd.pid"
    # A temporary folder of its own: in the shared /tmp, the temporary tables
    # of one server are not safe from whatever else cleans up there.
    mkdir -p "$dir/tmp"
    server_give_to mysql "$dir/tmp"
    # setsid execs in place here (a background job leads no process group),
    # so $! is the server itself.
    (server_exec_as mysql setsid mariadbd --no-defaults --datadir="$dir/data" --tmpdir="$dir/tmp" \
        --bind-address=127.0.0.1 --port="$port" --socket="$dir/mariadbd.sock" \
        --pid-file="$dir/mariadbd.pid" --log-error="$dir/server.log" --skip-name-resolve \
        "$@") </dev/null >/dev/null 2>&1 &
    local server=$!
    for attempt in $(seq 1 300); do
        if mariadb_admin "$dir" --silent ping >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$server" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

# mariadb_start_on_free_port DIR [SERVER_OPTION...]: mariadb_start on the
# first free port where the server comes up; records it in DIR/port.
mariadb_start_on_free_port() {
    local dir=$1 attempt
    for attempt in $(seq 1 20); do
        pick_port "$attempt" >"$dir/port"
        mariadb_start "$@" && return 0
        grep -q "Bind on TCP/IP port" "$dir/server.log" 2>/dev/null ||
            servers_die "MariaDB server in $dir did not start: $(cat "$dir/server.log" 2>/dev/null)"
    done
    servers_die "found no free port for the MariaDB server in $dir"
}

# mariadb_stop DIR [MODE]: stops the server unless it is stopped; MODE fast
# (default) waits for a clean shutdown, immediate kills it as a crash would.
mariadb_stop() {
    local dir=$1 mode=${2:-fast}
    mariadb_running "$dir" || return 0
    if [ "$mode" = immediate ]; then
        local pid
        pid=$(cat "$dir/mariadbd.pid")
        kill -KILL "$pid"
        while kill -0 "$pid" 2>/dev/null; do sleep 0.05; done
        rm -f "$dir/mariadbd.pid"
    else
        # Waits until the server has gone.
        mariadb_admin "$dir" shutdown
    fi
}

# mariadb_replicate PRIMARY_DIR DIR USER PASSWORD: makes the running server in
# DIR a GTID replica of the running server in PRIMARY_DIR, which must write a
# binary log (--log-bin, a server id of its own). The replication login USER
# is made on the primary and kept out of its binary log. The replica starts
# from the primary's first binary log, so both must start from the same data
# folder. Replication goes on by itself after either restarts.
mariadb_replicate() {
    local primary=$1 dir=$2 user=$3 password=$4 log=$2/replicate.log
    {
        echo "SET sql_log_bin = 0;"
        echo "CREATE USER '$user'@'127.0.0.1' IDENTIFIED BY '$password';"
        echo "GRANT REPLICATION SLAVE ON *.* TO '$user'@'127.0.0.1';"
    } | mariadb_client "$primary" --batch >"$log" 2>&1 &&
        mariadb_client "$dir" --batch -e "CHANGE MASTER TO MASTER_HOST = '127.0.0.1',
            MASTER_PORT = $(cat "$primary/port"), MASTER_USER = '$user',
            MASTER_PASSWORD = '$password', MASTER_USE_GTID = slave_pos,
            MASTER_CONNECT_RETRY = 1; START SLAVE;" >>"$log" 2>&1 ||
        servers_die "replication from $primary to $dir could not be set up: $(cat "$log")"
}

# mariadb_wait_for_replay PRIMARY_DIR DIR: waits until the replica in DIR has
# applied everything in the primary's binary log so far; fails after 30 s.
mariadb_wait_for_replay() {
    local primary=$1 dir=$2 position reached
    position=$(mariadb_client "$primary" --batch --skip-column-names -e "SELECT @@gtid_binlog_pos")
    reached=$(mariadb_client "$dir" --batch --skip-column-names \
        -e "SELECT MASTER_GTID_WAIT('$position', 30)")
    [ "$reached" = 0 ] ||
        servers_die "the replica in $dir did not apply $position within 30 s:" \
            "$(mariadb_client "$dir" --batch -e 'SHOW SLAVE STATUS\G' 2>&1 | grep -E 'Running|Error')"
}
