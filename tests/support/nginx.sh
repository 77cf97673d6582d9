# nginx for an end-to-end test, on a free loopback port (tests/e2e/nginx.conf.in): the test sets
# $work and $here (the folder of the config template); each call serves ROOT anew, at RATE bytes
# per second (0: no cap), and the test's exit stops it.
#   start_nginx ROOT [RATE]
nginx_pid=
start_nginx() {
  [ -z "$nginx_pid" ] || kill "$nginx_pid" 2>/dev/null || true
  sleep 0.2
  free_port port
  sed -e "s|@WORK@|$work|g" -e "s|@ROOT@|$1|g" -e "s|@PORT@|$port|g" -e "s|@RATE@|${2:-0}|g" \
    "$here/nginx.conf.in" > "$work/nginx.conf"
  /usr/sbin/nginx -c "$work/nginx.conf" -p "$work"
  nginx_pid=$(cat "$work/nginx.pid")
}
trap '[ -z "$nginx_pid" ] || kill "$nginx_pid" 2>/dev/null || true' EXIT
