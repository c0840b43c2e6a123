#!/usr/bin/env bash
# Builds the extension and runs it on the bundled payloads against the bundled image,
# served on loopback, then as the push service's endpoint, pushed to with curl. Installs
# missing Debian packages first (as root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc 2>/dev/null || echo 2)" --target HalvicourtApp

exe="$root/build/default/Halvicourt.app/PlugIns/HalvicourtNotificationService.appex/HalvicourtNotificationService"
work=$(mktemp -d)
server_pid=
endpoint_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$endpoint_pid" ] && kill "$endpoint_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The image server: Python's http.server on a free loopback port.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$root/examples/images" \
  >"$work/server.log" 2>&1 &
server_pid=$!
port=
for _ in $(seq 1 100); do
  port=$(sed -n 's/.*port \([0-9][0-9]*\).*/\1/p' "$work/server.log" | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "demo: the image server did not start" >&2; exit 1; }
base="http://127.0.0.1:$port"

mkdir -p "$work/payloads"
for f in examples/payloads/*.json; do
  sed "s#__BASE_URL__#$base#g" "$f" >"$work/payloads/$(basename "$f")"
done
export XDG_CACHE_HOME="$root/build/demo-cache" XDG_STATE_HOME="$root/build/demo-state"
rm -rf "$XDG_CACHE_HOME" "$XDG_STATE_HOME"

cd "$work/payloads"
echo "== images served from $base; caches under $XDG_CACHE_HOME, attachments under $XDG_STATE_HOME"
echo
echo "== an image, an image address with a query, a payload without mutable-content"
echo "\$ HalvicourtNotificationService --time-limit 10 image.json image-with-query.json not-mutable.json"
"$exe" --time-limit 10 image.json image-with-query.json not-mutable.json
echo
echo "== no image: delivered only when the 1.5 s granted run out"
echo "\$ HalvicourtNotificationService --time-limit 1.5 no-image.json"
"$exe" --time-limit 1.5 no-image.json
echo
echo "== the same requests as JSON Lines on standard input"
echo "\$ ... | HalvicourtNotificationService --time-limit 10"
python3 -c '
import json, sys
for i, name in enumerate(["image.json", "not-mutable.json"], 1):
    print(json.dumps({"id": "stdin-%d" % i, "payload": json.load(open(name))}))
' | "$exe" --time-limit 10
echo
echo "== the caches directory"
ls -l "$XDG_CACHE_HOME"/*
echo
echo "== the attachment store: the files the lines above name"
ls -l "$XDG_STATE_HOME"/*/Attachments
echo
echo "== the push service's endpoint, pushed to as a provider does, with curl"
echo "\$ HalvicourtNotificationService --listen 0 &"
"$exe" --listen 0 >"$work/pushed.jsonl" 2>"$work/endpoint.log" &
endpoint_pid=$!
# The start line comes once the socket is bound: where it listens, the device, the authority.
start=
for _ in $(seq 1 100); do
  start=$(grep -m 1 'listening on' "$work/endpoint.log" || true)
  [ -n "$start" ] && break
  sleep 0.1
done
[ -n "$start" ] || { echo "demo: the endpoint did not start" >&2; cat "$work/endpoint.log" >&2; exit 1; }
echo "$start"
address=$(sed -n 's/.*listening on \([^;]*\);.*/\1/p' <<<"$start")
token=$(sed -n 's/.*; device token \([0-9a-f]*\);.*/\1/p' <<<"$start")
authority=$(sed -n 's/.*; authority \(.*\)$/\1/p' <<<"$start")
url="https://$address/3/device/$token"
echo "\$ curl --http2 --cacert .../Gateway/authority.pem -H 'apns-topic: com.halvicourt.app' \\"
echo "    -H 'apns-collapse-id: harbour' --data-binary @image.json $url"
curl -sS --http2 --cacert "$authority" -H 'apns-topic: com.halvicourt.app' \
  -H 'apns-collapse-id: harbour' --data-binary @image.json -D - "$url"
# Its line once it is shown; then SIGTERM ends the run, as the end of the input does.
for _ in $(seq 1 100); do
  [ -s "$work/pushed.jsonl" ] && break
  sleep 0.1
done
kill -TERM "$endpoint_pid"
wait "$endpoint_pid" || true
endpoint_pid=
cat "$work/pushed.jsonl"
