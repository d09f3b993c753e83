#!/usr/bin/env bash
# Updates against the sandbox, through the bootstrap program: an in-place
# update to a moved `latest` keeps the data containers and the queue's data,
# and a `latest` that does not stay up is rolled back by the in-place update,
# by the full one, and by an install of another version.
#
#   in_place_flow.sh BOOTSTRAP_PROGRAM
#
# Exits 77 (skipped) outside tools/test or on an engine whose stand-in images
# carry no health check (the second application image this flow moves to).
set -euo pipefail

bootstrap=$1
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)

if [[ -n ${KESTRO_SANDBOX_SKIP:-} ]]; then echo "skipped: $KESTRO_SANDBOX_SKIP"; exit 77; fi
if [[ ${KESTRO_SANDBOX:-} != 1 ]]; then echo "skipped: runs under tools/test"; exit 77; fi
if [[ -z ${KESTRO_SANDBOX_HEALTHY_TAG:-} ]]; then echo "skipped: no second application image"; exit 77; fi

work=$(mktemp -d)
data=(lumadex-streaming lumadex-coordinator lumadex-es1 lumadex-es2 lumadex-queue lumadex-cache)
# shellcheck disable=SC2317  # called through the EXIT trap
finish() {
  "$root/tools/sandbox" registry tag lmdx2/app "$KESTRO_SANDBOX_APP_TAG" latest || true
  "$bootstrap" uninstall >/dev/null 2>&1 || true
  docker volume ls -q | grep '^lumadex-' | xargs -r docker volume rm >/dev/null || true
  rm -rf "$work"
}
trap finish EXIT
printf 'vm.max_map_count=262144\n' >"$work/sysctl.conf"

# shellcheck source=tests/lumadex/flow_steps.sh
source "$root/tests/lumadex/flow_steps.sh"
ids() { docker inspect -f '{{.Id}}' "$@"; }
running() { docker ps --filter name='^lumadex-' --filter status=running -q | wc -l; }
app_image() { docker inspect -f '{{.Image}}' lumadex-api; }

step install 0 install --settle 0
docker pull -q kestro/probe >/dev/null
docker run --rm -v lumadex-queue-vol:/data kestro/probe sh -c 'echo kept >/data/in-place-marker'
data_ids=$(ids "${data[@]}")

"$root/tools/sandbox" registry tag lmdx2/app "$KESTRO_SANDBOX_HEALTHY_TAG" latest
step in-place 0 update --in-place --jobs 4 --settle 3
check "the seven application containers were replaced" test "$(grep -c '^replacing container ' "$work/in-place.out")" = 7
check "the data containers kept their ids" test "$(ids "${data[@]}")" = "$data_ids"
check "13 containers run" test "$(running)" = 13
check "the api runs the moved latest" test "$(app_image)" = "$(docker image inspect -f '{{.Id}}' lmdx2/app)"
check "the queue's data is kept" test "$(docker run --rm -v lumadex-queue-vol:/data kestro/probe cat /data/in-place-marker)" = kept
check "no volume was created or removed" bash -c "! grep -Eq '(creating|removing) volume' '$work/in-place.out'"
good=$(app_image)

step again 0 update --in-place
check "a second update finds nothing to do" grep -qx "lumadex is up to date" "$work/again.out"

"$root/tools/sandbox" registry tag lmdx2/app "$KESTRO_SANDBOX_CRASH_TAG" latest
step in-place-rollback 1 update --in-place --jobs 4 --settle 20
check "the in-place update says it rolled back" \
  grep -Eq "^update failed: .* did not stay up; rolled back to lmdx2/app:latest \(${good:7:12}\)$" "$work/in-place-rollback.err"
check "the api runs the previous image again" test "$(app_image)" = "$good"
check "13 containers run after the rollback" test "$(running)" = 13
check "the data containers still kept their ids" test "$(ids "${data[@]}")" = "$data_ids"
check "latest names the previous image again" test "$(docker image inspect -f '{{.Id}}' lmdx2/app)" = "$good"

step full-rollback 1 update --jobs 4 --settle 20
check "the full update says it rolled back and what stays reset" \
  grep -Eq "^update failed: .*; rolled back to lmdx2/app:latest \(${good:7:12}\); the cache volumes it reset stay reset$" \
  "$work/full-rollback.err"
check "the api runs the previous image after the full update" test "$(app_image)" = "$good"
check "13 containers run after the full rollback" test "$(running)" = 13
check "no rollback tag is left" bash -c "! docker image inspect lmdx2/app:kestro-rollback >/dev/null 2>&1"

step version-rollback 1 install --version "$KESTRO_SANDBOX_CRASH_TAG" --settle 20
check "another version over the product is rolled back as well" \
  grep -Eq "^install failed: .*; rolled back to lmdx2/app:latest \(${good:7:12}\)$" "$work/version-rollback.err"
check "the api runs the previous reference again" test "$(docker inspect -f '{{.Config.Image}}' lumadex-api)" = lmdx2/app
check "13 containers run after the install's rollback" test "$(running)" = 13
echo "in-place flow: passed"
