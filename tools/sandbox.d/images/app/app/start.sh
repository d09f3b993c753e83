#!/bin/sh
# Stand-in for the lumadex application entry point: start.sh ROLE [ARGS...].
# Serves a one-line page naming its role on port 5000 (LUMADEX_STANDIN_PORT),
# then idles until SIGTERM/SIGINT.
role=${1:-web}
echo "lumadex stand-in: role=$role"
www=/tmp/lumadex-www
httpd_pid=
if mkdir -p "$www" 2>/dev/null && echo "lumadex stand-in role=$role" >"$www/index.html" 2>/dev/null; then
  httpd -f -p "${LUMADEX_STANDIN_PORT:-5000}" -h "$www" &
  httpd_pid=$!
fi
trap '[ -n "$httpd_pid" ] && kill "$httpd_pid" 2>/dev/null; exit 0' TERM INT
while :; do
  sleep 1 &
  wait $!
done
