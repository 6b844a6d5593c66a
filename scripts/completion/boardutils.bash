# Bash completion for board, pinctl and controlpanel: their commands and
# options as their own --help lists them, pins by number and by name, and
# the values some options take.  Installed once under each tool's name.

# The commands and the options the help of the command line "$@" lists.
_boardutils_words() {
  "$@" --help 2>/dev/null | awk '
    /^Commands:$/ { cmds = 1; next }
    /^$/ { cmds = 0 }
    cmds && /^  [a-z]/ { print $1; next }
    /^  -/ {
      sub(/^  /, ""); sub(/  .*/, ""); gsub(/,/, " ")
      for (i = 1; i <= NF; i++) if ($i ~ /^-/) { sub(/[= ].*/, "", $i); print $i }
    }'
}

# The pins: 0 to 63 and the names given with 'board name'.
_boardutils_pins() {
  local board
  board=$(command -v board) || board=$(dirname -- "$1")/board
  seq 0 63
  "$board" status --all 2>/dev/null | sed -n 's/^pin [0-9]* .* name=//p'
}

_boardutils() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  local tool=${COMP_WORDS[0]} path=("${COMP_WORDS[0]}") args=() i w
  # The commands typed so far make the path; the rest are its arguments.
  for ((i = 1; i < COMP_CWORD; i++)); do
    w=${COMP_WORDS[i]}
    if [[ $w != -* && ${#args[@]} -eq 0 ]] && _boardutils_words "${path[@]}" | grep -qx -- "$w"; then
      path+=("$w")
    elif [[ $w != -* ]]; then
      args+=("$w")
    fi
  done
  local cmd="${path[*]:1}"
  cmd=${cmd// /.}
  case $prev in
  --programs | --applets) mapfile -t COMPREPLY < <(compgen -d -- "$cur"); return ;;
  --script) mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
  --edges) mapfile -t COMPREPLY < <(compgen -W "rising falling both" -- "$cur"); return ;;
  --timescale) mapfile -t COMPREPLY < <(compgen -W "1ns 1us 1ms" -- "$cur"); return ;;
  -n | --idle-timeout | --duration | --speed | --format | --map) return ;;
  esac
  if [[ $cur == -* ]]; then
    mapfile -t COMPREPLY < <(compgen -W "$(_boardutils_words "${path[@]}" | grep -- '^-')" -- "$cur")
    return
  fi
  local values=""
  case ${tool##*/}.$cmd.${#args[@]} in
  board.input.0 | board.name.0 | board.unname.0 | board.watch.* | pinctl.get.*) values=$(_boardutils_pins "$tool") ;;
  board.record.0 | board.play.0) mapfile -t COMPREPLY < <(compgen -f -X '!*.vcd' -- "$cur"; compgen -d -- "$cur"); return ;;
  board.record.*) values=$(_boardutils_pins "$tool") ;;
  board.input.1) values="0 1 release" ;;
  board.files.readonly.1) values="on off" ;;
  pinctl.set.*) values=$(_boardutils_pins "$tool" | sed 's/$/=/') ;;
  *) values=$(_boardutils_words "${path[@]}" | grep -v -- '^-') ;;
  esac
  mapfile -t COMPREPLY < <(compgen -W "$values" -- "$cur")
  # PIN= waits for its level.
  [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null
  return 0
}

complete -F _boardutils board pinctl controlpanel
