#!/usr/bin/env bash
# Builds the libFuzzer targets (the zip core alone, and the engine) with
# clang (AddressSanitizer and UndefinedBehaviorSanitizer on) and runs each for
# SECONDS (default 60), one after the other, seeded with the test archives.
# Any crash, leak or hang fails the run; the input that caused it is kept in
# build-fuzz/artifacts/.
#   tools/fuzz.sh [SECONDS]        e.g. tools/fuzz.sh 1800 for a long run
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
tools/deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

out=build-fuzz
mkdir -p "$out/artifacts" "$out/seeds"
bash tests/fixtures/make_fixtures.sh "$out/fixtures" >/dev/null
# Small seeds only: the big ones slow every mutation down.
find "$out/fixtures" -maxdepth 1 -type f -size -64k -exec cp {} "$out/seeds/" \;
# Inputs that once found a fault stay among the seeds.
cp tests/fuzz/regressions/* "$out/seeds/"
cp tests/fixtures/methods/*.zip "$out/seeds/"
# The Deflate64 inflater's seeds: the raw streams of the committed Deflate64
# entries, behind the byte that says how to cut them.
mkdir -p "$out/seeds-methods"
python3 - "$out/seeds-methods" tests/fixtures/methods/*.zip <<'PY'
import os, struct, sys, zipfile
for path in sys.argv[2:]:
    raw = open(path, "rb").read()
    for i in zipfile.ZipFile(path).infolist():
        if i.compress_type == 9:
            start = i.header_offset + 30 + sum(struct.unpack_from("<HH", raw, i.header_offset + 26))
            for cut in (0, 7):
                name = "%s-%s-%d" % (os.path.basename(path), i.filename.replace("/", "_"), cut)
                with open(os.path.join(sys.argv[1], name), "wb") as f:
                    f.write(bytes([cut]) + raw[start:start + i.compress_size])
PY

for target in fuzz_core fuzz_records fuzz_methods fuzz_decrypt fuzz_list fuzz_extract fuzz_update; do
    corpus="$out/corpus/$target"
    mkdir -p "$corpus"
    echo "== $target for ${seconds}s"
    status=0
    dict=()
    [[ -f tests/fuzz/$target.dict ]] && dict=(-dict="tests/fuzz/$target.dict")
    seeds="$out/seeds"
    [[ $target == fuzz_methods ]] && seeds="$out/seeds-methods"
    "$out/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
        -print_final_stats=1 -artifact_prefix="$out/artifacts/$target-" "${dict[@]}" "$corpus" "$seeds" \
        >"$out/$target.log" 2>&1 || status=$?
    grep -E '^(#[0-9]+ +DONE|SUMMARY|stat::number_of_executed_units|stat::peak_rss_mb)|ERROR' "$out/$target.log" || true
    # libFuzzer leaves a crash-/leak-/timeout- file for every finding.
    if [[ $status -ne 0 ]] || compgen -G "$out/artifacts/$target-*" >/dev/null; then
        tail -n 40 "$out/$target.log"
        echo "$target failed (exit $status); findings: $(ls "$out/artifacts/" | tr '\n' ' ')"
        exit 1
    fi
done
echo "fuzzing: no findings"
