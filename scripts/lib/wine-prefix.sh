# Sourced by the scripts: Wine prefixes under build/, never ~/.wine.
# wine_template DIR      boots a template prefix in DIR once (about 10 s)
# wine_prefix_from TEMPLATE DIR   makes DIR a fresh copy of the template
# wine_server_start / wine_server_stop   a persistent wineserver for $WINEPREFIX

export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
export WINEDEBUG="${WINEDEBUG:--all}"

wine_template() {
  local dir=$1
  [ -f "$dir/.booted" ] && return 0
  rm -rf "$dir" "$dir.home"
  mkdir -p "$dir.home"
  # A scratch HOME: wineboot links the user's Desktop and Documents to $HOME.
  HOME="$dir.home" WINEPREFIX="$dir" wineboot -i >/dev/null 2>&1
  HOME="$dir.home" WINEPREFIX="$dir" wineserver -w
  local links
  for links in "$dir"/drive_c/users/*/{Desktop,Documents,Downloads,Music,Pictures,Videos}; do
    if [ -L "$links" ]; then rm -f "$links"; mkdir -p "$links"; fi
  done
  touch "$dir/.booted"
}

wine_prefix_from() {
  local template=$1 dir=$2
  rm -rf "$dir"
  mkdir -p "$(dirname "$dir")"
  cp -a "$template" "$dir"
}

wine_server_start() {
  wineserver -p
  # Starts services.exe and Wine's other system processes outside any
  # caller's pipes; otherwise they hold the first test's output open.
  wine cmd /c exit 0 </dev/null >/dev/null 2>&1
}

wine_server_stop() {
  wineserver -k 2>/dev/null || true
}
