#!/bin/sh
# Stand-in for wurstmeister/kafka's start-kafka.sh: idles.
echo "kafka stand-in: $*"
exec kestro-idle "$@"
