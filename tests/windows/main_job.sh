#!/usr/bin/env bash
# The main job on the bundled example, once with the Linux build's kest and
# once with kest.exe under Wine (with krt.dll beside it): the data set and
# the chart must be the same byte for byte, and so must what the commands
# print but for the platforms' own spellings (carriage returns, folder
# separators, the path of the WAID plug-in's debug log); so must what the
# engine demo prints.
#   main_job.sh SOURCE WINDOWS_BIN LINUX_BIN WORK
# Exits 77 (skipped) when there is no Linux build to compare with.
set -euo pipefail
source=$1 windows_bin=$2 linux_bin=$3 work=$4

if [ ! -x "$linux_bin/kest" ]; then
  echo "no Linux build of kest in $linux_bin to compare with (cmake -S . -B build && cmake --build build)"
  exit 77
fi

# The steps of run-example but the page, which needs xsltproc.
main_job() {
  local dir=$1
  shift
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$source/examples/survey.csv" "$dir/"
  (
    cd "$dir"
    "$@" convert survey.csv --out out --categorical region --categorical hhtype
    "$@" outliers out/survey.xml --variable age,income,expend,hours --start complete
    "$@" waid out/survey.xml --dep income
    "$@" impute out/survey.xml --method em --variable income --variable expend
    "$@" tssom out/survey.xml --variables age,hours
    "$@" impute out/survey.xml --method nn
    "$@" show out/survey.xml
    "$@" summary out/survey.xml --values unflagged --chart out/survey.svg
  ) > "$dir/printed.txt" 2>&1 || { cat "$dir/printed.txt"; echo "the main job failed in $dir"; exit 1; }
  tr -d '\r' < "$dir/printed.txt" | tr '\\' / |
    sed -e 's|C:/tav_waid_debug_log.dat|/tmp/tav_waid_debug_log.dat|' > "$dir/printed"
}

main_job "$work/linux" "$linux_bin/kest"
main_job "$work/windows" "$KEST_WINE" "$windows_bin/kest.exe"

# The engine demo, which loads krt.dll by name, prints the same on both.
"$linux_bin/krtdemo" > "$work/linux/krtdemo" 2>&1
(cd "$windows_bin" && "$KEST_WINE" krtdemo.exe) 2>&1 | tr -d '\r' > "$work/windows/krtdemo"

status=0
for file in out/survey.xml out/survey.xdr out/survey.xsl out/survey.svg printed krtdemo; do
  if cmp "$work/linux/$file" "$work/windows/$file"; then
    echo "equal: $file ($(wc -c < "$work/linux/$file") bytes)"
  else
    diff "$work/linux/$file" "$work/windows/$file" | head -20
    status=1
  fi
done
exit $status
