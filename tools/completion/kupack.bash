# bash completion for kupack: the options; .kup archives (and the folders leading to them)
# where a command wants an archive; folders where it wants a folder. Options may come
# anywhere (until `--`), as the program reads them. Self-contained: it needs nothing from
# the bash-completion package. A new option is one more word in a list below.

_kupack_options='-l --list -x --extract -p --print -t --test --mount -q --quiet --progress
  -j --jobs --json --options -h --help --version -u --update --delete -n --dry-run'

# Appends the candidates one per line, without globbing or splitting at blanks.
_kupack_add() {
  local line
  while IFS= read -r line; do
    COMPREPLY+=("$line")
  done
}

_kupack_archives() {
  _kupack_add < <(compgen -d -- "$1"; compgen -f -X '!*.[kK][uU][pP]' -- "$1")
}

_kupack_folders() {
  _kupack_add < <(compgen -d -- "$1")
}

_kupack_words() {
  _kupack_add < <(compgen -W "$1" -- "$2")
}

_kupack() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]-}
  COMPREPLY=()
  # The command option and the number of operands before the word being completed.
  local command='' operands=0 options_ended='' i word
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n $options_ended || $word != -* ]]; then
      operands=$((operands + 1))
      continue
    fi
    case $word in
      --) options_ended=yes ;;
      -l | --list | -x | --extract | -p | --print | -t | --test | --mount) command=$word ;;
      -u | --update | --delete) command=$word ;;
      -j | -o) i=$((i + 1)) ;;
    esac
  done
  case $prev in
    -j) return 0 ;;
    -o) _kupack_words 'cache=' "$cur"; return 0 ;;
  esac
  if [[ -z $options_ended && $cur == -* ]]; then
    case $command in
      -x | --extract) _kupack_words '-f --force' "$cur" ;;
      --mount) _kupack_words '-f --foreground -o --options' "$cur" ;;
      -l | --list) _kupack_words '--json' "$cur" ;;
      -u | --update) _kupack_words '-n --dry-run --json -j --jobs' "$cur" ;;
      --delete) _kupack_words '-n --dry-run --json' "$cur" ;;
      '') _kupack_words "$_kupack_options" "$cur" ;;
    esac
    return 0
  fi
  case $command in
    -l | --list | -p | --print | --delete)
      [[ $operands -eq 0 ]] && _kupack_archives "$cur"
      ;;
    -u | --update)
      if [[ $operands -eq 0 ]]; then _kupack_archives "$cur"; elif [[ $operands -eq 1 ]]; then _kupack_folders "$cur"; fi
      ;;
    -x | --extract | -t | --test | --mount)
      if [[ $operands -eq 0 ]]; then
        _kupack_archives "$cur"
      elif [[ $operands -eq 1 ]]; then
        _kupack_folders "$cur"
      fi
      ;;
    *)
      # `kupack FOLDER [ARCHIVE]`.
      if [[ $operands -eq 0 ]]; then _kupack_folders "$cur"; elif [[ $operands -eq 1 ]]; then _kupack_archives "$cur"; fi
      ;;
  esac
  return 0
}

complete -o filenames -F _kupack kupack
