#!/usr/bin/env bash
# The updater end to end, as a user meets it: a package built with a test key
# made here, unpacked into a temporary prefix, finds a newer package on a
# local HTTPS feed (127.0.0.1, certificate made here), downloads, verifies and
# stages it, switches it in when the application quits, and the binary that
# starts afterwards is the new version.
#
#   tests/update/package_update_e2e.sh BUILD-DIR [WORK-DIR]
#
# BUILD-DIR is reconfigured (the test key; for the newer package a higher
# project version through CMAKE_PROJECT_INCLUDE, the sources stay untouched)
# and put back at the end (no key, the project's version); the `choralink`
# binary is relinked three times, so CTest runs it alone (RUN_SERIAL).
set -euo pipefail

build=$(realpath "$1")
work=${2:-$(mktemp -d /tmp/choralink-update-e2e.XXXXXX)}
source_dir=$(realpath "$(dirname "$0")/../..")
mkdir -p "$work"
cd "$work"

version=$(sed -n 's/^project(Choralink VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
newer=$(echo "$version" | awk -F. '{ printf "%d.%d.%d", $1, $2 + 1, 0 }')
host=$(sed -n 's/^CHORALINK_SERVICE_HOST:STRING=//p' "$build/CMakeCache.txt")
[ -n "$host" ] || host=choralink.app
server_pid=
app_pid=

restore() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  cmake -S "$source_dir" -B "$build" -DCHORALINK_UPDATE_PUBLIC_KEY= -UCMAKE_PROJECT_INCLUDE >/dev/null
  nice -n 10 cmake --build "$build" -j2 --target choralink >/dev/null
}
trap restore EXIT

# A package of the tree as it is configured now: what `make package` packs.
pack() {
  local v=$1 out=$2
  local top="$work/stage-$v/Choralink-$v-Linux"
  rm -rf "$work/stage-$v"
  cmake --install "$build" --prefix "$top/versions/$v" >/dev/null
  tar -czf "$out" -C "$work/stage-$v" "Choralink-$v-Linux"
}

build_as() {
  local v=$1
  echo "set(PROJECT_VERSION $v)" >"$work/version-$v.cmake"
  cmake -S "$source_dir" -B "$build" -DCHORALINK_UPDATE_PUBLIC_KEY="$public" \
    -DCMAKE_PROJECT_INCLUDE="$work/version-$v.cmake" >/dev/null
  nice -n 10 cmake --build "$build" -j2 --target choralink choralink-update-key >/dev/null
}

echo "== key, certificate"
nice -n 10 cmake --build "$build" -j2 --target choralink-update-key >/dev/null
public=$("$build/app/update/choralink-update-key" generate "$work/update.key")
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=$host" \
  -addext "subjectAltName=DNS:$host" -keyout "$work/server.key" -out "$work/server.pem" 2>/dev/null

echo "== packages $version and $newer, signed with the test key"
mkdir -p "$work/feed/mac"
build_as "$newer"
pack "$newer" "$work/feed/mac/Choralink-$newer-Linux.tar.gz"
build_as "$version"
pack "$version" "$work/Choralink-$version-Linux.tar.gz"
enclosure=$("$build/app/update/choralink-update-key" sign "$work/update.key" \
  "$work/feed/mac/Choralink-$newer-Linux.tar.gz")
cat >"$work/feed/mac/appcast.xml" <<EOF
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
  <item><sparkle:version>$newer</sparkle:version>
    <enclosure url="https://$host/mac/Choralink-$newer-Linux.tar.gz" type="application/gzip" $enclosure/>
  </item>
</channel></rss>
EOF

echo "== the feed on 127.0.0.1"
cat >"$work/serve.py" <<'EOF'
import http.server, ssl, sys, functools
handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])
server = http.server.HTTPServer(("127.0.0.1", 0), handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(sys.argv[2], sys.argv[3])
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
EOF
python3 "$work/serve.py" "$work/feed" "$work/server.pem" "$work/server.key" >"$work/port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")

echo "== install $version into a temporary prefix"
prefix="$work/prefix"
mkdir -p "$prefix"
tar -xzf "$work/Choralink-$version-Linux.tar.gz" -C "$prefix"
root="$prefix/Choralink-$version-Linux"
# The install as a list, links with their targets, without the data files.
tree() { (cd "$root" && find . -not -path '*/share/*' -printf '%p %l\n' | sort); }
echo "-- install tree before"
tree
"$root/current/bin/choralink" --version

home="$work/home"
mkdir -p "$home/run" "$home/state/Choralink" "$home/config/Choralink"
chmod 700 "$home/run"
echo '{"onboarding_done": true}' >"$home/config/Choralink/settings.json"
# Checked a while ago, so the scheduled check is due at once.
echo '{"automatically_checks": true, "last_check": 0}' >"$home/state/Choralink/updater.json"
run_app() {
  env -i PATH="$PATH" HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_STATE_HOME="$home/state" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/run" QT_QPA_PLATFORM=offscreen \
    CHORALINK_AUDIO_BACKEND=sim DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/no-bus" \
    CHORALINK_DEV_UPDATE_PORT="$port" CHORALINK_DEV_UPDATE_CA="$work/server.pem" \
    "$root/current/bin/choralink" >>"$work/app.out" 2>&1 &
  app_pid=$!
}
log="$home/state/Choralink/logs/choralink.log"

echo "== $version runs, finds $newer, stages it; quitting switches it in"
run_app
for _ in $(seq 300); do grep -qs "is ready to install" "$log" && break; sleep 0.1; done
kill -TERM "$app_pid"
wait "$app_pid" || true
app_pid=
echo "-- log"
cat "$log"
echo "-- install tree after the quit"
tree

echo "== the next start is $newer, and it removes $version"
reported=$("$root/current/bin/choralink" --version)
echo "$reported"
run_app
for _ in $(seq 100); do [ -e "$root/versions/$version" ] || break; sleep 0.1; done
kill -TERM "$app_pid"
wait "$app_pid" || true
app_pid=
echo "-- install tree after the new version's first start"
tree
echo "-- server requests"
cat "$work/server.log"

[ "$reported" = "Choralink $newer" ] && [ ! -e "$root/versions/$version" ]
echo "PASS"
