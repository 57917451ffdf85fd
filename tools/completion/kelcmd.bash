# Bash completion for kelcmd, kel-import and kel-report. Installed under each name in
# bash-completion's completions folder; it needs nothing from that package:
# where no word is offered, bash completes file names (-o default).

_kelcmd() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case $prev in
    -md|-dst|-nbr|-json) return ;;
    -cl) COMPREPLY=($(compgen -W "90 95 96 97 98 99" -- "$cur")); return ;;
    -sep|-knn|-mxd|-thr|-j|-perm|-seed) COMPREPLY=(""); return ;;
  esac
  # The first four arguments are always the file names.
  local i words=0
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i-1]} in -sep|-knn|-mxd|-thr|-cl|-md|-dst|-j|-nbr|-json|-perm|-seed) continue ;; esac
    ((words++))
  done
  ((words < 4)) && return
  COMPREPLY=($(compgen -W "-sep -knn -mxd -thr -cl -md -dst -all -pre -j -nbr -json -perm -seed" -- "$cur"))
}

# The column names in the header of the CSV file named on the line.
_kel_import_columns() {
  local i csv=
  for ((i = 1; i < COMP_CWORD; i++)); do
    case ${COMP_WORDS[i]} in
      --*) case ${COMP_WORDS[i]} in --check) ;; *) ((i++)) ;; esac ;;
      *) [[ -z $csv && -f ${COMP_WORDS[i]} ]] && csv=${COMP_WORDS[i]} ;;
    esac
  done
  [[ -n $csv ]] || return
  local header
  if [[ $csv == *.gz ]]; then header=$(gzip -dc -- "$csv" 2>/dev/null | head -n 1); else header=$(head -n 1 -- "$csv"); fi
  header=${header#$'\xef\xbb\xbf'}
  header=${header%$'\r'}
  local IFS=,
  local name
  for name in $header; do
    name=${name#\"}
    printf '%s\n' "${name%\"}"
  done
}

_kel_import() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case $prev in
    --out|--db) return ;;
    --sep|--csv-sep|--replace-sep|--missing|--id|--query|--protected|--outcome|--pre-value|--ordinal)
      COMPREPLY=(""); return ;;
    --nominal|--continuous|--ignore|--measure)
      local IFS=$'\n'
      local done=${cur%"${cur##*,}"} name left=()
      # Columns already in the list are not offered again.
      for name in $(_kel_import_columns); do
        [[ ",$done" == *",$name,"* ]] || left+=("$name")
      done
      COMPREPLY=($(compgen -P "$done" -W "${left[*]}" -- "${cur##*,}"))
      if [[ ${#COMPREPLY[@]} -eq 0 ]]; then COMPREPLY=(""); fi
      return 0 ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "--out --sep --csv-sep --replace-sep --missing --ordinal --nominal --continuous \
      --ignore --id --protected --outcome --measure --pre-value --db --query --check" -- "$cur"))
  fi
}

_kel_report() {
  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
  COMPREPLY=()
  case $prev in
    --summary|--neighbours|--out) return ;;
  esac
  # The options not on the line yet; everything else is a file name.
  if [[ $cur == -* ]]; then
    local option left=()
    for option in --summary --neighbours --out; do
      [[ " ${COMP_WORDS[*]} " == *" $option "* ]] || left+=("$option")
    done
    COMPREPLY=($(compgen -W "${left[*]}" -- "$cur"))
  fi
}

complete -o default -F _kelcmd kelcmd
complete -o default -F _kel_import kel-import
complete -o default -F _kel_report kel-report
