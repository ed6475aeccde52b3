#!/bin/bash
# Installs the build into a temporary prefix and checks what a user gets: the
# programs, manual pages that render without warnings, the bash completion,
# and a guide and manual page that explain every message vexo can print.
# Usage: check_install.sh <build dir> <source dir>
set -u
build=$1 src=$2 fail=0
prefix=$(mktemp -d) && trap 'rm -rf "$prefix"' EXIT
bad() { echo "FAIL: $*"; fail=1; }

cmake --install "$build" --prefix "$prefix" >/dev/null || bad "cmake --install"
for f in bin/vexo bin/vexo-sim share/man/man1/vexo.1.gz share/man/man1/vexo-sim.1.gz \
         share/bash-completion/completions/vexo share/bash-completion/completions/vexo-sim \
         share/doc/vexo/README.md share/doc/vexo/LICENSE share/doc/vexo/copyright \
         share/doc/vexo/changelog.Debian.gz; do
  [ -s "$prefix/$f" ] || bad "not installed: $f"
done
"$prefix/bin/vexo" | grep -q 'Version: 2.14' || bad "installed vexo does not run"

if command -v groff >/dev/null; then
  for page in vexo vexo-sim; do
    warnings=$(gzip -dc "$prefix/share/man/man1/$page.1.gz" | groff -man -ww -Tutf8 2>&1 >/dev/null)
    [ -z "$warnings" ] || bad "$page.1 renders with warnings: $warnings"
  done
else
  echo "SKIPPED: groff is missing, the manual pages were not rendered"
fi

# vexo-sim's manual page and the README name every option and fault its --help lists.
sim_manual=$(sed 's/\\-/-/g; s/\\f[BIRP]//g' "$src/man/vexo-sim.1")
for word in $("$prefix/bin/vexo-sim" --help | sed -n '/^Options:/,/^Examples:/s/^  \(-*[a-z0-9-]\+\).*/\1/p'); do
  grep -qF -- "$word" <<<"$sim_manual" || bad "vexo-sim.1 does not list $word"
  grep -qF -- "\`$word" "$src/README.md" || bad "README.md does not list $word"
done

# The command words: the full usage text, the completion and vexo(1) name the
# same ones, long and short.
helped=" $("$prefix/bin/vexo" --helpex | sed -n 's/^\(command:\| \{8\}\) \(--[a-z]*\) *(\(-[a-zA-Z]*\)).*/\2 \3/p' | tr '\n' ' ')"
offered=$(bash -c 'source "$1"; COMP_WORDS=(vexo ros x.ros --slow ""); COMP_CWORD=4; _vexo
  echo " ${COMPREPLY[*]} "' - "$prefix/share/bash-completion/completions/vexo")
[ "$(wc -w <<<"$helped")" -ge 26 ] || bad "too few command words in vexo --helpex: $helped"
for word in $helped; do
  [[ $offered == *" $word "* ]] || bad "completion of 'vexo ros x.ros --slow' lacks $word"
  sed 's/\\-/-/g' "$src/man/vexo.1" | grep -qE -- "^\.BR ($word|.*\", \" $word)( |$)" ||
    bad "vexo.1 does not list $word"
done
for word in $offered; do
  [[ $helped == *" $word "* ]] || bad "vexo --helpex does not name $word, which the completion offers"
done

# Every result message, and every message of the command line and the
# parallel port, as the source spells it (placeholders and line breaks cut).
messages=$(sed -n 's/^ *"\(.*\)",$/\1/p; s/.*kUnknownMessage = "\(.*\)";/\1/p' \
             "$src/base/result_codes.cpp"
           grep -ho '"[^"]*\(No valid\|Unknown parameter\|missing or\|is missing\|not supported\|no valid carddata\|truncated\|permission for\|not running\|Could not open\|not in the group\)[^"]*"' \
             "$src"/cli/*.cpp "$src"/base/*.cpp "$src"/host/*.cpp "$src"/transport/*.cpp \
             "$src"/drivers/*/*.cpp "$src"/card/*.cpp \
             | sed 's/^"//; s/"$//; s/\\n//g; s/0x%x//; s/ *%s//; s/^ *//; s/ *$//')
manual=$(sed 's/\\-/-/g; s/\\e/\\/g' "$src/man/vexo.1")
while IFS= read -r message; do
  [ -n "$message" ] || continue
  grep -qF -- "$message" "$src/README.md" || bad "README.md does not explain \"$message\""
  grep -qF -- "$message" <<<"$manual" || bad "vexo.1 does not explain \"$message\""
done <<<"$messages"
[ "$(wc -l <<<"$messages")" -gt 60 ] || bad "too few messages found in the source"
# The Debian package: built from this build, it holds what the install holds,
# and lintian (when it is installed) finds no error and no warning in it.
if command -v cpack >/dev/null && command -v dpkg-deb >/dev/null; then
  debdir=$(mktemp -d) && trap 'rm -rf "$prefix" "$debdir"' EXIT
  if (cd "$build" && cpack -G DEB -B "$debdir" >/dev/null 2>&1); then
    deb=$(ls "$debdir"/vexo_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || bad "cpack made no vexo_*.deb"
    if [ -n "$deb" ]; then
      contents=$(dpkg-deb -c "$deb")
      for f in usr/bin/vexo usr/share/man/man1/vexo.1.gz usr/share/doc/vexo/copyright \
               usr/share/doc/vexo/changelog.Debian.gz; do
        grep -qF "./$f" <<<"$contents" || bad "the package lacks $f"
      done
      depends=$(dpkg-deb -f "$deb" Depends)
      for lib in libavcodec libavformat libswresample libmp3lame libtag; do
        grep -q "$lib" <<<"$depends" || bad "the package does not depend on $lib: $depends"
      done
      if command -v lintian >/dev/null; then
        findings=$(lintian --tag-display-limit 0 "$deb" 2>/dev/null | grep -E '^(E|W):')
        [ -z "$findings" ] || bad "lintian: $findings"
      else
        echo "SKIPPED: lintian is missing, the package was not checked"
      fi
    fi
  else
    bad "cpack -G DEB failed"
  fi
fi
exit $fail
