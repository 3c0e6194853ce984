#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The pictures of the documents, made from their text sources in
# docs/pictures/: NAME.dot (graphviz) becomes NAME.svg, and NAME.dat with
# NAME.gp (gnuplot) becomes NAME.svg.
#
# Usage: scripts/pictures.sh           render every picture into docs/pictures/
#        scripts/pictures.sh --check   (CI) render every source into a scratch
#                                      folder and fail when a source does not
#                                      render, an SVG in docs/pictures/ has no
#                                      source or says other words than its
#                                      source renders (edited without being
#                                      rendered again; a plot must be the very
#                                      bytes its data renders), an SVG does not render
#                                      with rsvg-convert, or a picture the
#                                      documents embed is missing
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
case "${1:-}" in
  --check) check=1 ;;
  "") ;;
  *) echo "pictures.sh: unknown argument $1" >&2; exit 2 ;;
esac
scripts/packages.sh docs
dir=docs/pictures
scratch=$(mktemp -d /tmp/korvane-pictures.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# Renders the source of picture $1 into the SVG file $2.
render() {
  local name=$1 out=$2
  if [ -f "$dir/$name.dot" ]; then
    dot -Tsvg "$dir/$name.dot" >"$out"
  else
    gnuplot -e "datafile='$dir/$name.dat'; set output '$out'" "$dir/$name.gp"
  fi
}

# The words an SVG shows, one a line: what its text elements hold. Positions
# and shapes depend on the fonts installed; the words do not.
words() { { grep -o '<text.*</text>' "$1" || true; } | sed 's/<[^>]*>//g'; }

names=()
for src in "$dir"/*.dot "$dir"/*.gp; do
  [ -e "$src" ] || continue
  name=$(basename "${src%.*}")
  if [ "${src##*.}" = gp ] && [ ! -f "$dir/$name.dat" ]; then
    echo "pictures.sh: $src has no data file $dir/$name.dat" >&2
    exit 1
  fi
  names+=("$name")
done

status=0
fail() { echo "pictures.sh: $*" >&2; status=1; }
for name in "${names[@]}"; do
  if [ $check = 0 ]; then
    render "$name" "$dir/$name.svg" || { fail "$name: its source does not render"; continue; }
    echo "$dir/$name.svg"
    continue
  fi
  render "$name" "$scratch/$name.svg" || { fail "$name: its source does not render"; continue; }
  if [ ! -f "$dir/$name.svg" ]; then
    fail "$dir/$name.svg is missing (scripts/pictures.sh renders it)"
  elif [ -f "$dir/$name.gp" ] && ! cmp -s "$scratch/$name.svg" "$dir/$name.svg"; then
    # A plot's bars are shapes, not words: the plotter writes the same
    # bytes for the same data, so the whole file must be the same.
    fail "$dir/$name.svg differs from what its data renders (run scripts/pictures.sh)"
  elif ! cmp -s <(words "$scratch/$name.svg") <(words "$dir/$name.svg"); then
    diff <(words "$dir/$name.svg") <(words "$scratch/$name.svg") >&2 || true
    fail "$dir/$name.svg differs from what its source renders (run scripts/pictures.sh)"
  fi
done

# Every SVG, committed or just rendered, through a real renderer.
for svg in "$dir"/*.svg "$scratch"/*.svg; do
  [ -e "$svg" ] || continue
  name=$(basename "${svg%.svg}")
  if [[ " ${names[*]} " != *" $name "* ]]; then
    fail "$svg has no source in $dir"
    continue
  fi
  if ! rsvg-convert -o "$scratch/$name.png" "$svg" || [ ! -s "$scratch/$name.png" ]; then
    fail "$svg does not render with rsvg-convert"
  fi
done

# Every picture a document embeds exists.
while IFS= read -r ref; do
  [ -f "$ref" ] || fail "README.md embeds $ref, which does not exist"
done < <(grep -o 'docs/pictures/[A-Za-z0-9._-]*\.svg' README.md | sort -u)

[ $check = 0 ] || [ $status != 0 ] || echo "pictures: ${#names[@]} pictures up to date, each rendered by rsvg-convert"
exit $status
