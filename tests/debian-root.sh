# A Debian root of a test run's own, made with debootstrap and entered with
# chroot (as root, on a Debian host of the root's architecture); sourced by
# tests/bullseye/run and tests/cross/run.
#
# The script that sources this sets `root` (the root's directory, kept
# outside the checkout, under /var/cache/rotalink) and defines
# archive_unavailable WHAT REASON, which is called when a download from the
# package archive still fails after the retries (WHAT is the command, REASON
# the lines that say what failed); it must end the script. Then:
#
#   root_lock                   one run at a time on the root: a lock beside
#                               it, held until the script ends
#   root_make SUITE RECIPE SETUP
#                               makes the root when it is missing or was made
#                               from another RECIPE (a line that says what
#                               SETUP puts in): debootstrap of SUITE (minbase,
#                               the host's architecture) from the first Debian
#                               archive in the host's apt sources or
#                               ROTALINK_DEBIAN_MIRROR, the suite alone (no
#                               security or updates suite), then the function
#                               SETUP with the new root's directory. The root
#                               is made under another name and renamed when
#                               complete, so an interrupted run leaves nothing
#                               half-made behind. Then mounts /proc, /dev, a
#                               fresh /dev/shm and /tmp in it.
#   root_apt DIR ARGS...        apt-get ARGS in the root at DIR, downloads
#                               retried (for SETUP)
#   mount_in DIR ARGS...        mount ARGS... DIR, unmounted when the script
#                               ends
#   in_root CMD...              CMD in the root, with a clean environment
#   chroot_env DIR CMD...       the same in the root at DIR (for SETUP)
#   mount_checkout              the checkout (the current directory),
#                               read-only at /rotalink/src in the root
#   root_exit_hooks+=(FUNC)     FUNC runs when the script ends, before the
#                               unmounting
#
# Mounts are taken down however the script ends (on an interrupt, once the
# running step has stopped); those left by a run killed outright are taken
# down by the next one.
#
# A download fails when the archive cannot be reached or serves a file that
# is missing or of the wrong size or checksum (a mirror in the middle of a
# sync). Each download is tried up to three times, 20 s apart (apt's own
# retries of each file, Acquire::Retries=5, inside each try); an apt-get
# update that could not fetch every index has failed, so that all packages
# come from one state of the archive. Only such failures go to
# archive_unavailable: any other failure of debootstrap or apt (a package
# that does not exist, a conflict, a bad signature) stops the script with the
# end of its log.

if [ "$(id -u)" != 0 ]; then
  echo "$0 runs debootstrap, mount and chroot: run it as root." >&2
  exit 1
fi

root_lock() {
  mkdir -p "$(dirname "$root")"
  exec 9>"$root.lock"
  flock -n 9 || { echo "waiting for another run on $root to end"; flock 9; }
}

# ------------------------------------------------------------------ mounts

mounted=()
root_exit_hooks=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" || true
  done
  mounted=()
}
root_on_exit() {
  local hook
  for hook in "${root_exit_hooks[@]}"; do "$hook" || true; done
  unmount_all
}
trap root_on_exit EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount_in() {  # mount_in DIR ARGS...: mounts, and remembers to unmount
  local dir=$1
  shift
  mkdir -p "$dir"
  mount "$@" "$dir"
  mounted+=("$dir")
}
# What every command in a root needs.
mount_system() {
  local r=$1
  mount_in "$r/proc" -t proc proc
  mount_in "$r/dev" --bind /dev
  mount_in "$r/dev/shm" -t tmpfs -o mode=1777,nosuid,nodev shm
  mount_in "$r/tmp" -t tmpfs -o mode=1777,nosuid,nodev tmp
}
# Mounts left under a root by a run that was killed outright: unmounted
# before anything there is used or removed (the lock says no run is on it).
unmount_stale() {
  local dir m
  for dir; do
    awk -v d="$dir" '$5 == d || index($5, d "/") == 1 { print $5 }' /proc/self/mountinfo |
      sort -r | while read -r m; do umount "$m" 2>/dev/null || umount -l "$m"; done
  done
}
# A command in the root at DIR, with a clean environment.
chroot_env() {
  local r=$1
  shift
  chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
in_root() { chroot_env "$root" "$@"; }
# The checkout (the current directory), read-only at /rotalink/src in the
# root.
mount_checkout() {
  mount_in "$root/rotalink/src" --bind "$PWD"
  mount -o remount,bind,ro "$root/rotalink/src"
}

# --------------------------------------------------------------- downloads

# The lines of debootstrap's or apt's output that say a download failed.
fetch_failures() {
  grep -E "^[EW]: (Failed to fetch |Failed getting release (signature )?file |Couldn't download )" "$1"
}
# fetching WHAT CMD...: runs CMD, which downloads from the archive, its
# output appended to $root_log; tries again, up to three times in all, while
# it fails for a download. A download that failed fails the command even
# where it ends well (apt-get update ignores an index it could not fetch).
fetching() {
  local what=$1 attempt=1 out
  shift
  out=$(mktemp)
  while :; do
    if "$@" >"$out" 2>&1 && ! fetch_failures "$out" >/dev/null; then
      cat "$out" >>"$root_log"
      rm -f "$out"
      return 0
    fi
    cat "$out" >>"$root_log"
    if ! fetch_failures "$out" >/dev/null; then
      rm -f "$out"
      echo "$what failed (the end of $root_log):" >&2
      tail -n 30 "$root_log" >&2
      exit 1
    fi
    if [ "$attempt" -ge 3 ]; then
      local reason
      reason=$(fetch_failures "$out" | head -n 5)
      rm -f "$out"
      archive_unavailable "$what (3 tries)" "$reason"
      exit 1   # archive_unavailable must have ended the script
    fi
    echo "$what failed to download (try $attempt of 3); again in 20 s:" >&2
    fetch_failures "$out" | head -n 3 >&2
    attempt=$((attempt + 1))
    sleep 20
  done
}
# In /var/cache/apt/archives, where apt-get download leaves a package and
# apt-get clean removes it.
root_apt() {  # root_apt DIR ARGS...
  local r=$1
  shift
  fetching "apt-get $1 (in $r)" chroot_env "$r" \
    sh -c 'cd /var/cache/apt/archives && exec apt-get -o Acquire::Retries=5 "$@"' apt-get "$@"
}

# ---------------------------------------------------------------- the root

# The first Debian archive in the host's apt sources (one-line or deb822).
debian_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    sed -n -e 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\/debian\/\?\)[[:space:]].*/\2/p' \
           -e 's/^URIs:[[:space:]]*\([^[:space:]]*\/debian\/\?\)\([[:space:]].*\)\?$/\1/p' "$f"
  done | head -n1
}

root_make() {  # root_make SUITE RECIPE SETUP
  local suite=$1 recipe=$2 setup=$3 new=$root.new mirror
  unmount_stale "$root" "$new"
  if [ "$(cat "$root/etc/rotalink-packages" 2>/dev/null)" != "$recipe" ]; then
    rm -rf "$new"
    root_log=$new.log
    : >"$root_log"
    if ! command -v debootstrap >/dev/null 2>&1; then
      # The host's own indexes: one that fails to download (from a suite
      # that debootstrap is not in) does not stop the install.
      apt-get -o Acquire::Retries=5 update -qq ||
        echo "apt-get update failed for some indexes; installing from the others" >&2
      fetching "apt-get install debootstrap (on this host)" \
        apt-get -o Acquire::Retries=5 install -y -qq --no-install-recommends debootstrap
    fi
    mirror=${ROTALINK_DEBIAN_MIRROR:-$(debian_mirror)}
    if [ -z "$mirror" ]; then
      echo "no Debian archive in the host's apt sources: set ROTALINK_DEBIAN_MIRROR" >&2
      exit 1
    fi
    echo "debootstrap $suite from $mirror into $new"
    fetching "debootstrap $suite from $mirror" \
      sh -c 'rm -rf "$3" && exec debootstrap --variant=minbase --arch="$1" "$2" "$3" "$4"' \
      debootstrap "$(dpkg --print-architecture)" "$suite" "$new" "$mirror"
    cp /etc/resolv.conf "$new/etc/resolv.conf"
    mount_system "$new"
    "$setup" "$new"
    root_apt "$new" clean
    echo "$recipe" >"$new/etc/rotalink-packages"
    unmount_all
    rm -f "$root_log"
    rm -rf "$root"
    mv "$new" "$root"
  fi
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mount_system "$root"
}
