#!/bin/bash
# The layers of the source, drawn from its includes: every quoted include of
# a .h or .cpp file must point into the file's own folder or into a folder
# below it, and no two folders may include each other. Fails, naming each
# include that breaks the order. Usage: check_layers.sh <source folder>
#
# The folders from the bottom up; folders on one line are siblings, which
# may include only what lies below them, never each other.
ORDER='
base
host
drivers/image drivers/ppa drivers/serial drivers/reader
transport media
card
cli
sim
tests bench
'
set -u
src=${1:-.}
cd "$src" || exit 2

declare -A level
n=0
while read -r line; do
  [ -n "$line" ] || continue
  for folder in $line; do level[$folder]=$n; done
  n=$((n + 1))
done <<<"$ORDER"

# The folder a path belongs to: drivers/<name> for a driver, else its first part.
folder_of() {
  case "$1" in
    drivers/*/*) local rest=${1#drivers/}; echo "drivers/${rest%%/*}" ;;
    */*) echo "${1%%/*}" ;;
    *) echo "" ;;
  esac
}

fail=0
declare -A edge
while IFS= read -r file; do
  from=$(folder_of "$file")
  if [ -z "${level[$from]+x}" ]; then
    echo "$file: folder '${from:-.}' has no place in the order (add it to ORDER in check_layers.sh)"
    fail=1
    continue
  fi
  while IFS=: read -r lineno target; do
    to=$(folder_of "$target")
    # An include that names no known folder is the folder's own (tests/support/...).
    if [ -z "$to" ] || [ -z "${level[$to]+x}" ] || [ "$to" = "$from" ]; then continue; fi
    edge[$from\>$to]=1
    if [ "${level[$to]}" -ge "${level[$from]}" ]; then
      echo "$file:$lineno: includes \"$target\": $to is not below $from"
      fail=1
    fi
  done < <(grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
           sed -E 's/^([0-9]+):[^"]*"([^"]*)".*/\1:\2/')
done < <(find . -path ./build -prune -o -path './build-*' -prune -o -path ./.git -prune -o \
              -type f \( -name '*.h' -o -name '*.cpp' \) -print | sed 's|^\./||' | sort)

for e in "${!edge[@]}"; do
  a=${e%%>*}; b=${e#*>}
  if [ -n "${edge[$b\>$a]+x}" ] && [[ "$a" < "$b" ]]; then
    echo "$a and $b include each other"
    fail=1
  fi
done

if [ $fail -eq 0 ]; then
  echo "layers: every include points down ($(echo "${!edge[@]}" | wc -w) folder-to-folder arrows)"
fi
exit $fail
