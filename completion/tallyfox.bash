# bash completion for tallyfox
_tallyfox() {
  local cur prev
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case "$prev" in
    --quiesce) COMPREPLY=($(compgen -W "none rt isolate" -- "$cur")); return ;;
    --profile) COMPREPLY=($(compgen -W "quick standard thorough" -- "$cur")); return ;;
    --subtests)
      local names="int_scalar fp_scalar branch ptr_chase sha256 crc32c lz4 aes128ctr vec_f32"
      local done_part=${cur%,*} word=${cur##*,}
      if [ "$done_part" = "$cur" ]; then
        COMPREPLY=($(compgen -W "$names" -- "$cur"))
      else
        COMPREPLY=($(compgen -W "$names" -P "$done_part," -- "$word"))
      fi
      compopt -o nospace 2>/dev/null
      return ;;
    --converge) COMPREPLY=($(compgen -W "delivered undisturbed" -- "$cur")); return ;;
    --save) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --compare|--vs) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    --seconds|--cpus|--min-change) return ;;
  esac
  # The saved runs after --compare (OLD NEW, or several) and after --vs are files too.
  if [[ $cur != -* ]]; then
    local i=$((COMP_CWORD - 1))
    while [ $i -gt 0 ] && [[ ${COMP_WORDS[i]} != -* ]]; do i=$((i - 1)); done
    case "${COMP_WORDS[i]}" in
      --compare|--vs) COMPREPLY=($(compgen -f -- "$cur")); return ;;
    esac
  fi
  COMPREPLY=($(compgen -W "--probe --full --json --ui --ui2 --yes --unrestricted --quiesce --profile
    --i-accept-the-risk --seconds --cpus --subtests --converge --save --compare --vs --min-change --version --help -h" -- "$cur"))
}
complete -F _tallyfox tallyfox
