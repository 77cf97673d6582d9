# Loopback ports for a test's servers, asked of the kernel (a port it hands out for 127.0.0.1:0
# is free at that moment) instead of picked at random, where two tests running side by side
# could pick the same. A port handed out once in a script is never handed out again by it.
#   free_port NAME   sets the variable NAME to the port (then start the server on it at once)
ports_given=" "
free_port() {
  local given
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    given=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    case $ports_given in *" $given "*) continue ;; esac
    ports_given="$ports_given$given "
    printf -v "$1" "%s" "$given"
    return 0
  done
  echo "free_port: the kernel keeps handing out ports given already" >&2
  return 1
}
