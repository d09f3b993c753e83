#!/usr/bin/env bash
# The product's whole life on a Podman engine, through the bootstrap program:
# preflight, install, status, scale, update, uninstall, against the sandbox's
# podman flavour (a state folder and network namespace of its own, beside the
# Docker sandbox the other real-engine tests share).  The search nodes'
# memlock ulimit makes Podman add open-files and process limits, which the
# sandbox's runtime wrapper has to lower for the containers to start here.
#
#   podman_flow.sh BOOTSTRAP_PROGRAM
#
# Exits 77 (skipped) outside tools/test or where its sandbox cannot run.
set -euo pipefail

bootstrap=$1
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)

if [[ -n ${KESTRO_SANDBOX_SKIP:-} ]]; then echo "skipped: $KESTRO_SANDBOX_SKIP"; exit 77; fi
if [[ ${KESTRO_SANDBOX:-} != 1 ]]; then echo "skipped: runs under tools/test"; exit 77; fi
if [[ $(id -u) != 0 ]]; then echo "skipped: needs root"; exit 77; fi

export KESTRO_SANDBOX_DIR=${KESTRO_SANDBOX_DIR:-/var/lib/kestro-sandbox-test}-podman
work=$(mktemp -d)
# shellcheck disable=SC2317  # called through the EXIT trap
finish() {
  "$root/tools/sandbox" down >/dev/null 2>&1 || echo "podman sandbox did not come down cleanly"
  rm -rf "$work"
}
trap finish EXIT

KESTRO_SANDBOX_FLAVOUR=podman "$root/tools/sandbox" up
eval "$("$root/tools/sandbox" env)"
socket=${DOCKER_HOST#unix://}

# The settings file the installer may append to is a private copy.
printf 'vm.max_map_count=262144\n' >"$work/sysctl.conf"

# shellcheck source=tests/lumadex/flow_steps.sh
source "$root/tests/lumadex/flow_steps.sh"
containers() {  # [all=1]: the names of the running containers, or of all
  curl -sf --unix-socket "$socket" "http://podman/v1.41/containers/json?${1:-}" |
    python3 -c 'import json,sys; [print(n.lstrip("/")) for c in json.load(sys.stdin) for n in c["Names"]]'
}

# Preflight's verdict depends on this machine (memory, port 5000); only what
# it says of the engine is checked.
step preflight any preflight
check "preflight names Podman" grep -Eq '^(pass|warn) +engine +Podman [0-9]' "$work/preflight.out"
check "preflight checks Podman's own limits" grep -Eq '^(pass|warn) +podman limits' "$work/preflight.out"

step install 0 install
check "no Docker installed beside Podman" bash -c "! grep -q 'installing docker' '$work/install.out'"
check "install started the api last" test "$(grep '^starting container' "$work/install.out" | tail -n 1)" = "starting container lumadex-api"
check "13 containers run" test "$(containers | grep -c '^lumadex-')" = 13

step status 0 status
check "status shows images as Docker names them" bash -c "! grep -q 'docker.io/' '$work/status.out'"
check "status shows an image as Docker names it" \
  grep -Eq '^lumadex-cache +running +[0-9smhd-]+ +[0-9]+ +redis:6\.0\.4 ' "$work/status.out"

step scale 0 scale worker 3
check "two workers run beside the worker" test "$(containers | grep -c '^lumadex-worker_[12]$')" = 2

step update 0 update
check "update started the api" grep -qx "starting container lumadex-api" "$work/update.out"
check "update left no workers" test "$(containers all=1 | grep -c '^lumadex-worker_')" = 0
check "13 containers run after the update" test "$(containers | grep -c '^lumadex-')" = 13

step uninstall 0 uninstall
check "uninstall took down the product" test "$(containers all=1 | grep -c '^lumadex-')" = 0
check "uninstall did not ask the docker program" bash -c "! grep -q 'docker is not installed' '$work/uninstall.out'"
echo "podman flow: passed"
