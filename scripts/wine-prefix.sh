# Sourced: makes throw-away Wine prefixes (one in KV_WINEPREFIX, or a set
# for tests run in groups) and ends their wineservers and removes them.
# Runs a command for the prefix; as root, as the unprivileged user 'kvwine'
# (Wine maps the read-only attribute onto file modes, which root ignores).
# It starts in the folder that holds the prefix, which that user owns: the
# caller's own folder (a checkout under /root, or in a folder from mktemp
# -d) may be closed to it, and Wine would say so on standard error.
kv_wine_user() {
  local wine_env=(WINEPREFIX="$KV_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
  (
    cd "$(dirname "$KV_WINEPREFIX")"
    if [ "$(id -u)" = 0 ]; then runuser -u kvwine -- env HOME=/home/kvwine "${wine_env[@]}" "$@"
    else env "${wine_env[@]}" "$@"; fi
  )
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
# Ends the wineserver of every prefix below KV_WINE_TOP (their programs and
# keepers with it) and removes them all.
kv_wine_prefix_down() {
  if [ -n "${KV_WINE_TOP:-}" ]; then
    local prefix
    for prefix in "$KV_WINE_TOP"/prefix "$KV_WINE_TOP"/*/prefix; do
      [ -d "$prefix" ] && KV_WINEPREFIX=$prefix kv_wine_user timeout 20 wineserver -k >/dev/null 2>&1 || true
    done
    rm -rf "$KV_WINE_TOP"
    KV_WINE_TOP=
  fi
}

# Keeps a Wine program alive in the prefix until its wineserver is ended,
# so that its service manager is not restarted between the programs of a
# group (each start holds the manager's start lock for a moment): a cmd
# waiting for a key on a FIFO that it holds open itself, which never ends.
kv_wine_keep() {
  local prefix=$1
  mkfifo "$prefix.keep"
  KV_WINEPREFIX=$prefix kv_wine_user wine cmd /c pause 0<>"$prefix.keep" >/dev/null 2>&1 &
}

# COUNT prefixes below TOP (TOP/0/prefix ...), for tests run in groups side
# by side: one is made and settled, then copied, which takes a second where
# a new one takes half a minute; a copy's own first start holds the lock
# only a few seconds. Each is kept alive (kv_wine_keep). TOP must exist.
kv_wine_prefixes_up() {
  local top=$1 count=$2 i
  mkdir -p "$top/0"
  [ "$(id -u)" = 0 ] && chown kvwine "$top" "$top/0"
  KV_WINEPREFIX="$top/0/prefix" kv_wine_user timeout 120 wineboot -i >/dev/null 2>&1
  kv_wine_keep "$top/0/prefix"
  kv_wine_settle
  KV_WINEPREFIX="$top/0/prefix" kv_wine_user timeout 20 wineserver -k >/dev/null 2>&1 || true
  rm -f "$top/0/prefix.keep"
  # The system folder's DLLs, most of a prefix, are shared as hard links
  # (nothing writes them in place); all else is copied.
  for ((i = 1; i < count; i++)); do
    mkdir -p "$top/$i/prefix"
    (cd "$top/0/prefix" && tar --exclude=./drive_c/windows/system32 -cf - .) | tar -C "$top/$i/prefix" -xpf -
    cp -al "$top/0/prefix/drive_c/windows/system32" "$top/$i/prefix/drive_c/windows/"
    [ "$(id -u)" = 0 ] && chown kvwine "$top/$i"
  done
  for ((i = 0; i < count; i++)); do
    kv_wine_keep "$top/$i/prefix"
  done
  sleep 8
}
