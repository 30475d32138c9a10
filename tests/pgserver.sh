#!/usr/bin/env bash
# A PostgreSQL 15 cluster of a test's own, on 127.0.0.1, with TLS.
#   pgserver.sh init DIR PORT   make it in DIR (a new folder) and start it
#   pgserver.sh start DIR | stop DIR
# init makes a superuser "owner", whose password goes into DIR/pgpass (for
# PGPASSFILE), a CA (DIR/ca.crt) that signed the server's certificate for
# localhost and 127.0.0.1, and another CA (DIR/wrong-ca.crt) that did not.
# initdb refuses root: as root, the server runs as the user postgres.
set -euo pipefail
command=$1 dir=$2
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
as_server=()
[ "$(id -u)" != 0 ] || as_server=(runuser -u postgres --)

pg_ctl() { "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" "$@" > /dev/null; }

certificates() {
  local subject
  for ca in ca wrong-ca; do
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=ZELOR-K3 test $ca" \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=keyCertSign,cRLSign \
      -keyout "$dir/$ca.key" -out "$dir/$ca.crt" 2> /dev/null
  done
  subject="subjectAltName=DNS:localhost,IP:127.0.0.1"
  openssl req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout "$dir/server.key" \
    -out "$dir/server.csr" 2> /dev/null
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 30 -extfile <(printf '%s\nextendedKeyUsage=serverAuth\n' "$subject") \
    -out "$dir/server.crt" 2> /dev/null
}

case $command in
  init)
    port=$3
    mkdir -p "$dir"
    chmod 755 "$dir"
    certificates
    password=$(openssl rand -hex 12)
    printf '%s\n' "$password" > "$dir/owner-password"
    printf '127.0.0.1:%s:*:owner:%s\nlocalhost:%s:*:owner:%s\n' \
      "$port" "$password" "$port" "$password" > "$dir/pgpass"
    chmod 600 "$dir/pgpass"
    mkdir "$dir/data" "$dir/socket"
    if [ ${#as_server[@]} -gt 0 ]; then
      chown postgres "$dir/data" "$dir/socket" "$dir/owner-password" "$dir/server.key" "$dir/server.crt"
      touch "$dir/server.log" && chown postgres "$dir/server.log"
    fi
    chmod 600 "$dir/server.key"
    "${as_server[@]}" "$bin/initdb" -D "$dir/data" -U owner --pwfile="$dir/owner-password" \
      -E UTF8 --locale=C --auth=scram-sha-256 > /dev/null
    cat >> "$dir/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$dir/socket'
ssl = on
ssl_cert_file = '$dir/server.crt'
ssl_key_file = '$dir/server.key'
log_connections = on
fsync = off
CONF
    pg_ctl -w start
    ;;
  start) pg_ctl -w start ;;
  stop) pg_ctl -w -m fast stop ;;
  *) echo "usage: $0 init DIR PORT | start DIR | stop DIR" >&2; exit 2 ;;
esac
