#!/usr/bin/env bash
# Installing from a registry that wants a login, through the bootstrap
# program, on the sandbox engine and its login-only registry: a bundle made
# from the public names is pushed there (refused without credentials, then
# with --password-stdin); an install from it is refused without credentials
# (one error line, nothing running), runs all 13 services from it with the
# credentials of config.json, and an update reuses it with a credential
# helper found on PATH; `--registry docker.io` moves back to the public
# names. The password is in no output and no log.
#
#   registry_flow.sh BOOTSTRAP_PROGRAM
#
# Exits 77 (skipped) outside tools/test.
set -euo pipefail

bootstrap=$1
root=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)

if [[ -n ${KESTRO_SANDBOX_SKIP:-} ]]; then echo "skipped: $KESTRO_SANDBOX_SKIP"; exit 77; fi
if [[ ${KESTRO_SANDBOX:-} != 1 ]]; then echo "skipped: runs under tools/test"; exit 77; fi
if [[ $(id -u) != 0 ]]; then echo "skipped: needs root"; exit 77; fi
if [[ ${KESTRO_SANDBOX_FLAVOUR:-docker} != docker ]]; then echo "skipped: Docker's engine only"; exit 77; fi
if [[ -x /usr/bin/docker ]]; then docker=/usr/bin/docker; else docker=docker; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'vm.max_map_count=262144\n' >"$work/sysctl.conf"
export KESTRO_LOG_FILE=$work/log/operations.log KESTRO_LOCK_FILE=$work/lock/bootstrap.lock
mkdir -m 700 "$work/log" "$work/lock" "$work/none" "$work/config" "$work/helper" "$work/bin"
# shellcheck source=tests/lumadex/flow_steps.sh
source "$root/tests/lumadex/flow_steps.sh"

host=$KESTRO_SANDBOX_AUTH_REGISTRY
user=$KESTRO_SANDBOX_AUTH_USER
password=$KESTRO_SANDBOX_AUTH_PASSWORD
registry=$host/kestro-flow
export DOCKER_CONFIG=$work/none  # no credentials anywhere
login_line() {
  echo "error: $1: registry $host needs a login: run 'docker login $host', or give --registry-user and --password-stdin"
}
running() { "$docker" ps --filter name=lumadex- --filter status=running --format '{{.Names}}' | wc -l; }

step clean any uninstall

step bundle 0 bundle create -o "$work/images.tar" --force
step push-refused 1 bundle push "$work/images.tar" --registry "$registry"
check "bundle push without credentials: one line" [ "$(cat "$work/push-refused.err")" == "$(login_line "bundle push")" ]
echo "$password" | step push 0 bundle push "$work/images.tar" --registry "$registry" \
  --registry-user "$user" --password-stdin
check "five images pushed, each with its digest" \
  [ "$(grep -c "^pushed $registry/.*@sha256:[0-9a-f]\{64\}$" "$work/push.out")" == 5 ]
check "the names it added are gone again" \
  [ -z "$("$docker" images --format '{{.Repository}}' | grep "^$registry/" || true)" ]

step install-refused 1 install --registry "$registry" --settle 0
check "install without credentials: one line" \
  [ "$(cat "$work/install-refused.err")" == "$(login_line install)" ]
check "nothing running after the refusal" [ "$(running)" == 0 ]

printf '{"auths":{"%s":{"auth":"%s"}}}\n' "$host" "$(printf '%s:%s' "$user" "$password" | base64 -w0)" \
  >"$work/config/config.json"
DOCKER_CONFIG=$work/config step install 0 install --registry "$registry" --settle 0
check "says where the credentials came from" grep -qx "credentials from config.json for $host" "$work/install.out"
check "13 running" [ "$(running)" == 13 ]
images=$("$docker" ps --filter name=lumadex- --format '{{.Image}}')
check "every image from $registry" [ -z "$(grep -v "^$registry/" <<<"$images" || true)" ]
check "the registry is on the containers" [ "$("$docker" inspect -f '{{index .Config.Labels "io.kestro.registry"}}' lumadex-api)" == "$registry" ]

# A helper on PATH, in a folder only root can change; update takes the
# registry the product came from.
cat >"$work/bin/docker-credential-kestroflow" <<SCRIPT
#!/bin/sh
read -r server
[ "\$server" = "$host" ] || { echo "credentials not found in native keychain"; exit 1; }
printf '{"ServerURL":"%s","Username":"%s","Secret":"%s"}\n' "$host" "$user" "$password"
SCRIPT
chmod 755 "$work/bin" "$work/bin/docker-credential-kestroflow"
printf '{"credHelpers":{"%s":"kestroflow"}}\n' "$host" >"$work/helper/config.json"
DOCKER_CONFIG=$work/helper PATH=$work/bin:$PATH step update 0 update --settle 0
check "the helper's credentials" grep -qx "credentials from docker-credential-kestroflow for $host" "$work/update.out"
check "13 running after the update" [ "$(running)" == 13 ]
check "still from $registry" [ "$("$docker" inspect -f '{{.Config.Image}}' lumadex-cache)" == "$registry/redis:6.0.4" ]

step public 0 install --registry docker.io --settle 0
image=$("$docker" inspect -f '{{.Config.Image}}' lumadex-cache)
check "back on the public names, not $image" [ "${image#docker.io/library/}" == "redis:6.0.4" ]
check "no registry label" [ -z "$("$docker" inspect -f '{{index .Config.Labels "io.kestro.registry"}}' lumadex-api)" ]
check "13 running on the public names" [ "$(running)" == 13 ]

step done 0 uninstall
secret=$(printf '%s:%s' "$user" "$password" | base64 -w0)
for file in "$work"/*.out "$work"/*.err "$KESTRO_LOG_FILE"; do
  if grep -qF -e "$password" -e "$secret" "$file"; then fail "the password is in $file"; fi
done
check "the log names where the credentials came from" grep -q "credentials from config.json for $host" "$KESTRO_LOG_FILE"
echo "registry flow: passed"
