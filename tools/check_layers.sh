#!/usr/bin/env bash
# Checks that every #include "folder/..." under a source tree points down the
# layer order of a layers file (see tools/layers.txt), and names each file and
# line that does not.
# Usage: check_layers.sh SRC_DIR LAYERS_FILE
set -euo pipefail
src=${1:?usage: check_layers.sh SRC_DIR LAYERS_FILE}
layers=${2:?usage: check_layers.sh SRC_DIR LAYERS_FILE}

declare -A rank allowed
n=0
while read -r line; do
  line=${line%%#*}
  [[ -z ${line// } ]] && continue
  if [[ $line == *:* ]]; then
    folder=${line%%:*}
    folder=${folder// }
    allowed[$folder]=" ${line#*:} "
    continue
  fi
  n=$((n + 1))
  for folder in $line; do rank[$folder]=$n; done
done < "$layers"

status=0
complain() {
  echo "$1: $2" >&2
  status=1
}
while IFS= read -r -d '' file; do
  rel=${file#"$src"/}
  folder=${rel%%/*}
  [[ $rel == */* ]] || continue
  if [[ -z ${rank[$folder]:-} && -z ${allowed[$folder]:-} ]]; then
    complain "$rel" "folder $folder is not in $layers"
    continue
  fi
  lineno=0
  while IFS= read -r text; do
    lineno=$((lineno + 1))
    [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]+\"([^/\"]+)/ ]] || continue
    target=${BASH_REMATCH[1]}
    [[ $target == "$folder" ]] && continue
    if [[ -n ${allowed[$folder]:-} ]]; then
      [[ ${allowed[$folder]} == *" $target "* ]] && continue
      only=$(echo ${allowed[$folder]})
      complain "$rel:$lineno" "$folder may include only $only, not $target/"
    elif [[ -z ${rank[$target]:-} ]]; then
      complain "$rel:$lineno" "$target/ is not in $layers"
    elif (( rank[$target] >= rank[$folder] )); then
      complain "$rel:$lineno" "$folder includes $target/, which is not below it"
    fi
  done < "$file"
done < <(find "$src" -type f \( -name '*.h' -o -name '*.cc' \) -print0 | sort -z)
exit $status
