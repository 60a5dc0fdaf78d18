# bash completion for kupack: the options; .kup archives (and the folders leading to them)
# after the options that read an archive; folders otherwise. Self-contained: it needs
# nothing from the bash-completion package. A new option is one more word in a list below.

_kupack_options='-j --jobs -l --list -x --extract -t --test --mount -h --help --version'

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
  local first=${COMP_WORDS[1]-}
  COMPREPLY=()
  if [[ $COMP_CWORD -eq 1 ]]; then
    if [[ $cur == -* ]]; then _kupack_words "$_kupack_options" "$cur"; else _kupack_folders "$cur"; fi
    return 0
  fi
  case $first in
    -l | --list | -p)
      [[ $COMP_CWORD -eq 2 ]] && _kupack_archives "$cur"
      ;;
    -x | --extract)
      if [[ $cur == -* ]]; then
        _kupack_words '-f --force' "$cur"
      elif [[ $COMP_CWORD -eq 2 ]]; then
        _kupack_archives "$cur"
      else
        _kupack_folders "$cur"
      fi
      ;;
    --mount)
      if [[ $cur == -* ]]; then
        _kupack_words '-f -o' "$cur"
      elif [[ ${COMP_WORDS[COMP_CWORD-1]} == -o ]]; then
        _kupack_words 'cache=' "$cur"
      elif [[ $COMP_CWORD -eq 2 ]]; then
        _kupack_archives "$cur"
      else
        _kupack_folders "$cur"
      fi
      ;;
    -t | --test)
      if [[ $COMP_CWORD -eq 2 ]]; then _kupack_archives "$cur"; else _kupack_folders "$cur"; fi
      ;;
    -j | --jobs)
      # Packing after the thread count: the folder, then the archive.
      if [[ $COMP_CWORD -eq 3 ]]; then
        _kupack_folders "$cur"
      elif [[ $COMP_CWORD -eq 4 ]]; then
        _kupack_archives "$cur"
      fi
      ;;
    -*) ;;
    *)
      # `kupack FOLDER ARCHIVE`: the archive.
      [[ $COMP_CWORD -eq 2 ]] && _kupack_archives "$cur"
      ;;
  esac
  return 0
}

complete -o filenames -F _kupack kupack
