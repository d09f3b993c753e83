#!/bin/sh
# Stand-in for wurstmeister/zookeeper's start-zk.sh: idles.
echo "zookeeper stand-in: $*"
exec kestro-idle "$@"
