#!/bin/bash
# The bash completion of the tools, loaded as bash loads it: what TAB offers
# after a few command lines.
# usage: completion_test.sh COMPLETION_FILE BIN_DIR
set -u
source "$1"
export PATH="$2:$PATH"
BOARD_DIR=$(mktemp -d)
export BOARD_DIR
trap 'rm -rf "$BOARD_DIR"' EXIT
failed=0

# offers LINE WORD...: TAB at the end of LINE offers exactly the WORDs.
offers() {
  local line=$1
  shift
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  complete -p "${COMP_WORDS[0]}" >/dev/null 2>&1 || { echo "FAIL: no completion for ${COMP_WORDS[0]}"; failed=1; return; }
  _boardutils
  local got want
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
  if [[ $got != "$want" ]]; then
    echo "FAIL: '$line<TAB>' offers [$got], not [$want]"
    failed=1
  fi
}

offers "board st" status
offers "board re" record registry reset
offers "board status --" --all --help --json
offers "board ras " list remove restore
offers "board registry pro" protect protected
offers "board files readonly x " on off
offers "board input 3 " 0 1 release
offers "board input 6" 6 60 61 62 63
offers "board watch --edges " both falling rising
offers "board record x.vcd --time" --timescale
offers "board --v" --version
offers "pinctl " get poweroff set
offers "pinctl get --a" --active-low
offers "controlpanel --" --applets --help --list --script --version
# Pins by their names too, once named.
board name 5 led >/dev/null
offers "pinctl get l" led
offers "pinctl set l" led=
offers "board unname l" led

# Laid out as installed (share/bash-completion/completions/TOOL), bash-completion
# finds it for each tool at the first TAB.
loader=/usr/share/bash-completion/bash_completion
if [ -r "$loader" ]; then
  share=$BOARD_DIR/share
  mkdir -p "$share/bash-completion/completions"
  for t in board pinctl controlpanel; do
    cp "$1" "$share/bash-completion/completions/$t"
    if ! XDG_DATA_DIRS=$share bash -c 'source "$1"; complete -r board pinctl controlpanel 2>/dev/null
         __load_completion "$2" && complete -p "$2"' _ "$loader" "$t" | grep -q "_boardutils $t\$"; then
      echo "FAIL: bash-completion does not load $t's completion from $share"
      failed=1
    fi
  done
else
  echo "FAIL: no bash-completion at $loader (scripts/install-deps.sh installs it)"
  failed=1
fi

[ $failed = 0 ] && echo "completion: all offered as expected"
exit $failed
