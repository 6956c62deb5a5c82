#!/usr/bin/env bash
# Builds the DICOMDIR import fuzz target with clang's libFuzzer and runs it for 60 s.
set -euo pipefail
build=${1:?build folder}
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=bench/lib.bash
. "$root/bench/lib.bash"
out="$build/fuzz-dicomdir"
rm -rf "$out/medium"
mkdir -p "$out/corpus" "$out/medium/IMAGES"
# The medium: two small synthetic images and the DICOMDIR dcmmkdir makes for
# them, the seed. Every input is imported as this medium's DICOMDIR.
cmake --build "$build" --target lumora-synth -j2 >/dev/null
"$build/tools/lumora-synth" --out "$out/synth" --count 2 --rows 32 --columns 24 >/dev/null
n=0
for f in "$out"/synth/*; do
  n=$((n + 1))
  mv "$f" "$out/medium/IMAGES/IM$n"
done
rm -rf "$out/synth"
(cd "$out/medium" && dcmmkdir +id . +D DICOMDIR IMAGES/IM1 IMAGES/IM2)
cp "$out/medium/DICOMDIR" "$out/corpus/dcmmkdir"
# The version only names the program in logs.
# shellcheck disable=SC2046
fuzz_compile "$out/fuzz-dicomdir" $(pkg-config --cflags Qt6Core Qt6Gui libopenjp2) \
  -DLUMORA_VERSION_MAJOR=0 -DLUMORA_VERSION_MINOR=0 -DLUMORA_VERSION_PATCH=0 \
  "$root/src/transfer/FuzzDirectoryImport.cpp" "$root/src/transfer/ImportImages.cpp" "$root/src/transfer/MediaPaths.cpp" \
  "$root"/src/core/{ApplicationFolder,ErrorLog,Settings,VbConvert,ExposureUnits}.cpp \
  "$root"/src/toolkit/{Toolkit,ToolkitDirectory,Codecs,AttributeDictionary,Jpeg2000}.cpp \
  -ldcmimage -ldcmimgle -ldcmjpls -ldcmjpeg -ldcmdata -loflog -lofstd $(pkg-config --libs Qt6Core Qt6Gui libopenjp2)
# A record DCMTK throws out of (see ReadDirectory) stays allocated: DCMTK's
# own objects, a few kB per such file, are no finding; other leaks are.
echo 'leak:libdcmdata.so' >"$out/leaks.supp"
LSAN_OPTIONS="suppressions=$out/leaks.supp" LUMORA_FUZZ_MEDIUM="$out/medium" fuzz_run "$out/fuzz-dicomdir" "$out/corpus" -max_len=65536
