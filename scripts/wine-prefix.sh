# Sourced: makes a throw-away Wine prefix in KV_WINEPREFIX and ends its
# wineserver and removes it when the calling script exits.
kv_wine_user() {
  if [ "$(id -u)" = 0 ]; then runuser -u kvwine -- env HOME=/home/kvwine WINEPREFIX="$KV_WINEPREFIX" WINEDEBUG=-all "$@"
  else env WINEPREFIX="$KV_WINEPREFIX" WINEDEBUG=-all "$@"; fi
}
kv_wine_prefix_up() {
  local top
  top=$(mktemp -d /tmp/kvmigrate-wine.XXXXXX)
  [ "$(id -u)" = 0 ] && chown kvwine "$top"
  export KV_WINEPREFIX="$top/prefix"
  KV_WINE_TOP="$top"
  trap kv_wine_prefix_down EXIT
  kv_wine_user env WINEDLLOVERRIDES="mscoree,mshtml=" timeout 120 wineboot -i >/dev/null 2>&1
}
kv_wine_prefix_down() {
  if [ -n "${KV_WINE_TOP:-}" ]; then
    kv_wine_user timeout 20 wineserver -k >/dev/null 2>&1 || true
    rm -rf "$KV_WINE_TOP"
    KV_WINE_TOP=
  fi
}
