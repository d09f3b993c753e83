#!/bin/sh
# Stand-in for a broken build of the lumadex application: start.sh ROLE fails
# at once, with one line on stderr and exit status 3.
echo "lumadex stand-in: role=${1:-web}: fatal: cannot load configuration" >&2
exit 3
