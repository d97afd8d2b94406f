# Sourced: makes a throw-away Wine prefix in KV_WINEPREFIX and ends its
# wineserver and removes it when the calling script exits.
# Runs a command for the prefix; as root, as the unprivileged user 'kvwine'
# (Wine maps the read-only attribute onto file modes, which root ignores).
kv_wine_user() {
  local wine_env=(WINEPREFIX="$KV_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
  if [ "$(id -u)" = 0 ]; then runuser -u kvwine -- env HOME=/home/kvwine "${wine_env[@]}" "$@"
  else env "${wine_env[@]}" "$@"; fi
}
# A host path as Wine programs see it.
kv_wine_path() {
  local path=$1
  echo "Z:${path//\//\\}"
}
kv_wine_prefix_up() {
  local top
  top=$(mktemp -d /tmp/kvmigrate-wine.XXXXXX)
  [ "$(id -u)" = 0 ] && chown kvwine "$top"
  export KV_WINEPREFIX="$top/prefix"
  KV_WINE_TOP="$top"
  trap kv_wine_prefix_down EXIT
  kv_wine_user timeout 120 wineboot -i >/dev/null 2>&1
}
# A new prefix keeps one of its own device services in a start that never
# completes; its service manager holds the start lock (answering "database
# locked", or handing our service's process that service's pipe) until that
# start times out after 30 s. Whatever installs or starts a service waits
# this out once per prefix.
kv_wine_settle() {
  sleep 35
}
kv_wine_prefix_down() {
  if [ -n "${KV_WINE_TOP:-}" ]; then
    kv_wine_user timeout 20 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$KV_WINE_TOP"
    KV_WINE_TOP=
  fi
}
