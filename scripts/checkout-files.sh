# Sourced by run.sh and test.sh: what they make inside the checkout (build
# folders, the database, the settings file) stays usable by the checkout's
# owner, whoever runs them.  Both take paths relative to the checkout, the
# current folder.

# Run as root in a checkout that belongs to a user (sudo ./run.sh), hands
# what root made among the paths back to that user; files of other owners
# and the targets of links are left alone.
hand_back_to_checkout_owner() {
  [[ $(id -u) -eq 0 ]] || return 0
  local owner
  owner=$(stat -c %u:%g .) || return 0
  [[ $owner != 0:* ]] || return 0
  local path existing=()
  for path; do
    [[ -e $path || -L $path ]] && existing+=("$path")
  done
  ((${#existing[@]} > 0)) || return 0
  chown -hR --from=0 "$owner" -- "${existing[@]}" ||
    echo "could not hand ${existing[*]} back to the checkout's owner ($owner)" >&2
}

# Run as a normal user, fails with the command that makes the paths the
# user's own when another user (root, in an earlier run) made any of them.
require_writable_in_checkout() {
  local script=$1; shift
  [[ $(id -u) -ne 0 ]] || return 0
  local blocked=
  if [[ ! -w . ]]; then
    blocked=$PWD
  else
    blocked=$(find "$@" ! -writable -print -quit 2>/dev/null || true)
  fi
  [[ -z $blocked ]] && return 0
  local owner
  owner=$(stat -c %U -- "$blocked" 2>/dev/null || echo "another user")
  local what=("${@/#/$PWD/}")
  [[ $blocked == "$PWD" ]] && what=("$PWD")
  echo "$script: $blocked belongs to $owner, so this user cannot write it.  Make it yours and run again:
  sudo chown -R $(id -un): ${what[*]}" >&2
  return 1
}
