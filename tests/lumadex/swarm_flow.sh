#!/usr/bin/env bash
# The product's whole life on a Docker swarm of two nodes, through the
# bootstrap program: install --swarm, a name served from node 1 resolved on
# node 2, scale, an update that keeps port 5000 answering, an install from
# the registry that wants a login (node 2 pulling with it), node 2's engine
# stopped, uninstall; then export --swarm deployed as a stack beside it.
# Runs against the sandbox's swarm (a state folder of its own, node 1 the
# manager, each node in its own network namespace); what the engine did is
# read with Docker's own program.
#
#   swarm_flow.sh BOOTSTRAP_PROGRAM
#
# Exits 77 (skipped) outside tools/test or where its sandbox cannot run.
set -euo pipefail

bootstrap=$1
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)

if [[ -n ${KESTRO_SANDBOX_SKIP:-} ]]; then echo "skipped: $KESTRO_SANDBOX_SKIP"; exit 77; fi
if [[ ${KESTRO_SANDBOX:-} != 1 ]]; then echo "skipped: runs under tools/test"; exit 77; fi
if [[ $(id -u) != 0 ]]; then echo "skipped: needs root"; exit 77; fi
if [[ -x /usr/bin/docker ]]; then docker=/usr/bin/docker; else docker=docker; fi
if ! command -v "$docker" >/dev/null; then echo "skipped: no docker program"; exit 77; fi

export KESTRO_SANDBOX_DIR=${KESTRO_SANDBOX_DIR:-/var/lib/kestro-sandbox-test}-swarm
work=$(mktemp -d)
prober=
# shellcheck disable=SC2317  # called through the EXIT trap
finish() {
  if [[ -n $prober ]]; then kill "$prober" 2>/dev/null || true; fi
  "$root/tools/sandbox" down >/dev/null 2>&1 || echo "swarm sandbox did not come down cleanly"
  rm -rf "$work"
}
trap finish EXIT

"$root/tools/sandbox" up --nodes 2
eval "$("$root/tools/sandbox" env)"
# bootstrap and the checks talk to the swarm's manager, not the main engine.
export DOCKER_HOST=$KESTRO_SANDBOX_NODE1_HOST
node1=$(DOCKER_HOST=$KESTRO_SANDBOX_NODE1_HOST "$docker" info --format '{{.Name}}')
node2=$(DOCKER_HOST=$KESTRO_SANDBOX_NODE2_HOST "$docker" info --format '{{.Name}}')

# The settings file the installer may append to is a private copy.
printf 'vm.max_map_count=262144\n' >"$work/sysctl.conf"

# shellcheck source=tests/lumadex/flow_steps.sh
source "$root/tests/lumadex/flow_steps.sh"
fail() { echo "FAIL: $*"; "$docker" service ls || true; exit 1; }
# within SECONDS DESCRIPTION COMMAND...: waits until COMMAND succeeds.
within() {
  local limit=$1 what=$2 deadline=$((SECONDS + $1))
  shift 2
  until "$@"; do
    ((SECONDS < deadline)) || fail "$what (not within ${limit}s)"
    sleep 1
  done
}

services() {  # the product's services, as "NAME REPLICAS" lines
  "$docker" service ls --filter name=lumadex- --format '{{.Name}} {{.Replicas}}'
}
running_tasks() {  # running_tasks SERVICE: "NODE" per running task
  "$docker" service ps "$1" --filter desired-state=running \
    --format '{{.Node}} {{.CurrentState}}' | awk '$2 == "Running" {print $1}'
}
# Every service has as many running tasks as it wants, on nodes that are up
# ([NODE]: on that node only).
all_running() {
  local name want
  [[ $(services | wc -l) == 13 ]] || return 1
  while read -r name _; do
    want=$("$docker" service inspect "$name" --format '{{.Spec.Mode.Replicated.Replicas}}')
    [[ $(running_tasks "$name" | grep -c "^${1:-.}") == "$want" ]] || return 1
  done < <(services)
}
# Port 5000 answers on some node: host-mode publishing puts it on the node
# that runs the api's task.
api_answers() {
  local ns
  for ns in "$KESTRO_SANDBOX_NODE1_NETNS" "$KESTRO_SANDBOX_NODE2_NETNS"; do
    nsenter --net="$ns" curl -sf -m 1 -o /dev/null http://127.0.0.1:5000/ && return 0
  done
  return 1
}

step install 0 install --swarm
check "13 services" test "$(services | wc -l)" = 13
check "install ends with its outcome" \
  grep -Eq '^lumadex is up on the swarm: 13 of 13 services running; 13 changed \([0-9.]+ s\)$' "$work/install.out"
within 60 "every replica runs" all_running
check "tasks on both nodes" test "$("$docker" node ps "$node1" "$node2" --filter desired-state=running \
  --format '{{.Node}}' | sort -u | wc -l)" = 2
within 10 "port 5000 answers" api_answers

# Containers beside the services, or images loaded on the manager alone,
# would not be the product on the swarm: both are refused, changing nothing.
step beside 1 install --settle 0
check "install without --swarm names the swarm" grep -q "swarm as services" "$work/beside.err"
step bundle 1 update --bundle "$work/none.tar.zst"
check "update --bundle names the swarm" grep -q "bundle loads its images on this node only" "$work/bundle.err"
check "no container beside the services (tasks are NAME.SLOT.ID)" test \
  "$("$docker" ps -a --format '{{.Names}}' | { grep -c '^lumadex-[^.]*$' || true; })" = 0

# A name served from node 1 (search node es1 stays with its data on the
# manager) resolves and answers on a task that runs on node 2.
on_node2=$(DOCKER_HOST=$KESTRO_SANDBOX_NODE2_HOST "$docker" ps --filter label=com.docker.swarm.service.name \
  --format '{{.Names}} {{.Image}}' | awk '$2 ~ /^lmdx2\/app/ && !found {print $1; found = 1}')
check "an application task runs on node 2" test -n "$on_node2"
check "es1 runs on node 1" test "$(running_tasks lumadex-es1)" = "$node1"
DOCKER_HOST=$KESTRO_SANDBOX_NODE2_HOST "$docker" exec "$on_node2" ping -c 1 -W 5 es1 \
  >"$work/ping.out" 2>&1 || { cat "$work/ping.out"; fail "es1 does not answer from node 2"; }
cat "$work/ping.out"
check "es1's address came from the swarm's DNS" grep -q '^PING es1 (10\.213\.' "$work/ping.out"

step scale 0 scale worker 4
four_workers() { [[ $(running_tasks lumadex-worker | wc -l) == 4 ]]; }
within 60 "4 workers run" four_workers

# The api is stateless, so its new task starts (on the other node, where
# 5000 is free) before the old one stops: no request may go unanswered.
(
  ok=0 failed=0
  while [[ ! -e $work/update.done ]]; do
    if api_answers; then ok=$((ok + 1)); else failed=$((failed + 1)); fi
    sleep 0.2
  done
  echo "$ok $failed" >"$work/probe.count"
) &
prober=$!
api_before=$("$docker" service inspect lumadex-api --format '{{.Version.Index}}')
step update 0 update
# The engine may still be finishing the api's rolling update.
api_updated() {
  [[ $("$docker" service inspect lumadex-api --format '{{if .UpdateStatus}}{{.UpdateStatus.State}}{{end}}') == completed ]]
}
within 60 "the api's update completed" api_updated
: >"$work/update.done"
wait "$prober"
prober=
read -r answered unanswered <"$work/probe.count"
echo "port 5000 during the update: $answered answered, $unanswered unanswered"
check "the update changed the api" test "$("$docker" service inspect lumadex-api --format '{{.Version.Index}}')" != "$api_before"
check "port 5000 answered throughout the update" test "$unanswered" = 0
check "port 5000 was asked during the update" test "$answered" -gt 0
within 60 "every replica runs after the update" all_running

# The customer's registry, which wants a login: a bundle made on the manager
# is pushed there, and install --swarm --registry pins every service to that
# registry's digests and hands the login to the swarm, so node 2 pulls with it.
step registry-off 0 uninstall
check "no service left before the registry install" test "$(services | wc -l)" = 0
host=$KESTRO_SANDBOX_AUTH_REGISTRY
registry=$host/kestro-swarm
step bundle-create 0 bundle create -o "$work/images.tar"
echo "$KESTRO_SANDBOX_AUTH_PASSWORD" | step bundle-push 0 bundle push "$work/images.tar" \
  --registry "$registry" --registry-user "$KESTRO_SANDBOX_AUTH_USER" --password-stdin
mkdir -m 700 "$work/config"
printf '{"auths":{"%s":{"auth":"%s"}}}\n' "$host" \
  "$(printf '%s:%s' "$KESTRO_SANDBOX_AUTH_USER" "$KESTRO_SANDBOX_AUTH_PASSWORD" | base64 -w0)" \
  >"$work/config/config.json"
DOCKER_CONFIG=$work/config step registry 0 install --swarm --registry "$registry"
# (service ls leaves the digest out of a tagged reference; inspect shows it)
check "every service pinned to $registry by digest" test -z "$(services | while read -r name _; do
  "$docker" service inspect "$name" --format '{{.Spec.TaskTemplate.ContainerSpec.Image}}'
done | grep -v "^$registry/[^@]*@sha256:[0-9a-f]\{64\}$" || true)"
within 90 "every replica from $registry runs" all_running
check "node 2 runs tasks pulled from $registry" bash -c "DOCKER_HOST=$KESTRO_SANDBOX_NODE2_HOST \
  '$docker' ps --format '{{.Image}}' | grep -q '^$registry/'"
check "the password is in no output" bash -c "! cat '$work'/*.out '$work'/*.err | grep -qF -e '$KESTRO_SANDBOX_AUTH_PASSWORD'"

# Losing node 2: what ran there starts on node 1; what keeps data never ran
# anywhere but node 1.
for pinned in es1 es2 cache queue coordinator streaming; do
  check "$pinned runs on node 1 only" test "$(running_tasks "lumadex-$pinned")" = "$node1"
done
kill -TERM "$(cat "$KESTRO_SANDBOX_DIR/node2/dockerd.pid")"
started=$SECONDS
within 60 "every service runs on node 1 after node 2's engine stopped" all_running "$node1"
echo "every service ran on node 1 $((SECONDS - started))s after node 2's engine was stopped"

step uninstall 0 uninstall
check "no service left" test "$(services | wc -l)" = 0
check "uninstall ends with what it removed" \
  grep -Eq '^lumadex is uninstalled from the swarm: 13 services removed \([0-9.]+ s\)$' "$work/uninstall.out"
"$docker" network ls --filter driver=overlay --format '{{.Name}}' >"$work/overlays"
check "no overlay network left: $(tr '\n' ' ' <"$work/overlays")" bash -c "! grep -q '^lumadex-' '$work/overlays'"

# The exported stack file, deployed by Docker's own program under another
# stack name, after the node labels its heading asks for.
step export 0 export --swarm -o "$work/stack.yml"
sed -n 's/^#   \(docker node update .*\) NODE$/\1/p' "$work/stack.yml" >"$work/labels"
check "the heading asks for six labels" test "$(wc -l <"$work/labels")" = 6
while read -r -a command; do "$docker" "${command[@]:1}" "$node1" >/dev/null; done <"$work/labels"
"$docker" stack deploy --resolve-image never -c "$work/stack.yml" kestro-export
check "the stack made 13 services" test "$("$docker" stack services kestro-export -q | wc -l)" = 13
check "a stack service with data is pinned and updates stop-first" test \
  "$("$docker" service inspect kestro-export_es1 --format '{{.Spec.TaskTemplate.Placement.Constraints}} {{.Spec.UpdateConfig.Order}}')" \
  = "[node.labels.io.kestro.place.lumadex-es1==true] stop-first"
check "the stack's api publishes on its node and updates start-first" test \
  "$("$docker" service inspect kestro-export_api --format '{{range .Spec.EndpointSpec.Ports}}{{.PublishMode}}{{.PublishedPort}}{{end}} {{.Spec.UpdateConfig.Order}}')" \
  = "host5000 start-first"
"$docker" stack rm kestro-export
echo "swarm flow: passed in ${SECONDS}s"
