# Loopback ports for a test's servers: a port from 20000 to 31999 (below the system's range of
# client ports, 32768 and up, which another test's connections may hold at any moment) that binds
# on 127.0.0.1 when asked, so that two tests side by side do not pick the same one. A port handed
# out once in a script is never handed out again by it.
#   free_port NAME   sets the variable NAME to the port (then start the server on it at once)
ports_given=" "
free_port() {
  local given
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    given=$(python3 -c '
import random, socket
for _ in range(200):
    port = random.randint(20000, 31999)
    s = socket.socket()
    try:
        s.bind(("127.0.0.1", port))
    except OSError:
        continue
    finally:
        s.close()
    print(port)
    break
')
    [ -n "$given" ] || continue
    case $ports_given in *" $given "*) continue ;; esac
    ports_given="$ports_given$given "
    printf -v "$1" "%s" "$given"
    return 0
  done
  echo "free_port: no free port from 20000 to 31999" >&2
  return 1
}
