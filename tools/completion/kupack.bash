# bash completion for kupack: the options; .kup archives (and the folders leading to them)
# where a command wants an archive; folders where it wants a folder; the archive's entry
# names and folders (as `kupack -l` lists them, '/' between levels) after -x, -p and -l ARCHIVE. Options may come
# anywhere (until `--`), as the program reads them. Self-contained: it needs nothing from
# the bash-completion package. A new option is one more word in a list below.

_kupack_options='-l --list -x --extract -p --print -t --test --mount -q --quiet --progress
  -j --jobs --json --options -h --help --version -u --update --delete -n --dry-run -C
  --directory --long --diff --exclude --exclude-from'

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

# The entries and folders of the archive $2 (run by the program $1) that start with $3, one
# level at a time: "gfx/" stands for everything below it.
_kupack_entries() {
  local program=$1 archive=${2/#\~/$HOME} cur=$3
  [[ -f $archive ]] || return 0
  # The table's name column starts after the sizes, the ratio and the type (42 characters);
  # its first line is the heading, its last the total.
  _kupack_add < <("$program" -l -- "$archive" 2>/dev/null | sed '1d;$d' | cut -c43- | tr '\\' / |
    awk -v cur="$cur" 'index($0, cur) == 1 {
      rest = substr($0, length(cur) + 1); slash = index(rest, "/")
      print (slash ? cur substr(rest, 1, slash) : $0) }' | sort -u)
  # A folder is completed further, not ended with a space.
  if [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == */ ]]; then compopt -o nospace 2>/dev/null; fi
}

_kupack_words() {
  _kupack_add < <(compgen -W "$1" -- "$2")
}

_kupack() {
  local cur=${COMP_WORDS[COMP_CWORD]}
  local prev=${COMP_WORDS[COMP_CWORD - 1]-}
  COMPREPLY=()
  # The command option and the number of operands before the word being completed.
  local command='' operands=0 options_ended='' i word archive=''
  for ((i = 1; i < COMP_CWORD; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n $options_ended || $word != -* ]]; then
      [[ $operands -eq 0 ]] && archive=$word
      operands=$((operands + 1))
      continue
    fi
    case $word in
      --) options_ended=yes ;;
      -l | --list | -x | --extract | -p | --print | -t | --test | --mount | --diff) command=$word ;;
      -u | --update | --delete) command=$word ;;
      -j | --jobs | -o | --options | -C | --directory | --exclude | --exclude-from) i=$((i + 1)) ;;
    esac
  done
  case $prev in
    -j | --jobs | --exclude) return 0 ;;
    -o | --options) _kupack_words 'cache=' "$cur"; return 0 ;;
    -C | --directory) _kupack_folders "$cur"; return 0 ;;
    --exclude-from) _kupack_add < <(compgen -f -- "$cur"); return 0 ;;
  esac
  if [[ -z $options_ended && $cur == -* ]]; then
    case $command in
      -x | --extract) _kupack_words '-f --force -C --directory -j --jobs' "$cur" ;;
      -p | --print) _kupack_words '-j --jobs' "$cur" ;;
      --mount) _kupack_words '-f --foreground -o --options' "$cur" ;;
      -l | --list) _kupack_words '--json --long' "$cur" ;;
      -u | --update) _kupack_words '-n --dry-run --json -j --jobs' "$cur" ;;
      --delete) _kupack_words '-n --dry-run --json' "$cur" ;;
      --diff) _kupack_words '--json' "$cur" ;;
      -t | --test) _kupack_words '--exclude --exclude-from -j --jobs' "$cur" ;;
      '') _kupack_words "$_kupack_options" "$cur" ;;
    esac
    return 0
  fi
  case $command in
    -l | --list | -p | --print | -x | --extract | --delete)
      if [[ $operands -eq 0 ]]; then
        _kupack_archives "$cur"
      else
        _kupack_entries "${COMP_WORDS[0]}" "$archive" "$cur"
      fi
      ;;
    -u | --update)
      if [[ $operands -eq 0 ]]; then _kupack_archives "$cur"; elif [[ $operands -eq 1 ]]; then _kupack_folders "$cur"; fi
      ;;
    --diff)
      [[ $operands -lt 2 ]] && _kupack_archives "$cur"
      ;;
    -t | --test | --mount)
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
