#!/usr/bin/env bash
# Checks that driver code stays freestanding kernel code.
#   check_driver.sh --allow ALLOWLIST [--sources TOPDIR] [--dirs "d1 d2"] LIB_OR_OBJECT...
# Fails when an object imports a symbol outside the allowlist, carries static initialisers,
# or a driver source includes a header that is not freestanding.
set -u
allow=""; top=""; dirs="driver usb camera color convert stream property settings"; files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --allow) allow=$2; shift 2;;
    --sources) top=$2; shift 2;;
    --dirs) dirs=$2; shift 2;;
    *) files+=("$1"); shift;;
  esac
done
fail=0

if [ ${#files[@]} -gt 0 ]; then
  # Undefined symbols, demangled away from C++ names: only C-linkage platform calls may remain.
  # References between the library's own objects are not imports.
  undefined=$(nm -u --format=just-symbols "${files[@]}" 2>/dev/null | grep -v ':$' | sed '/^$/d' | sort -u)
  defined=$(nm --defined-only --format=just-symbols "${files[@]}" 2>/dev/null | grep -v ':$' | sed '/^$/d' | sort -u)
  undefined=$(comm -23 <(printf '%s\n' $undefined | sort -u) <(printf '%s\n' $defined | sort -u))
  bad=$(comm -23 <(printf '%s\n' $undefined | sort -u) <(grep -v '^#' "$allow" | sed '/^$/d' | sort -u))
  if [ -n "$bad" ]; then
    echo "driver imports symbols outside the allowlist:"; printf '  %s\n' $bad | c++filt
    fail=1
  fi
  # Static constructors or destructors show up as init/fini array sections.
  inits=$(objdump -h "${files[@]}" 2>/dev/null | awk '/^[^ ].*file format/ {obj=$1} /\.(init_array|fini_array|ctors|dtors)/ {print obj, $2}')
  if [ -n "$inits" ]; then
    echo "driver objects carry static initialisers:"; printf '  %s\n' "$inits"
    fail=1
  fi
fi

if [ -n "$top" ]; then
  allowed_headers='cstdint|cstddef|type_traits|new|stdint\.h|stddef\.h|limits|emmintrin\.h|tmmintrin\.h|smmintrin\.h|immintrin\.h|xmmintrin\.h|pmmintrin\.h'
  for d in $dirs; do
    [ -d "$top/$d" ] || continue
    hits=$(grep -rnE '^\s*#\s*include\s*<' "$top/$d" --include='*.h' --include='*.cpp' --include='*.hpp' \
           | grep -vE "#\s*include\s*<($allowed_headers)>" || true)
    if [ -n "$hits" ]; then
      echo "driver sources include headers that are not freestanding:"; printf '%s\n' "$hits"
      fail=1
    fi
  done
fi

[ $fail -eq 0 ] && echo "driver code is freestanding"
exit $fail
