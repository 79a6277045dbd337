"""inspect() and audit() without an image: table loading, the scheme report and its rules."""

import hashlib
import json
import math
import pathlib
import random

import pytest

import _quorvex


def write(path, text, mode="w"):
    if mode == "wb":
        path.write_bytes(text)
    else:
        path.write_text(text)
    return str(path)


def fsl_pair(tmp_path, dirs, bvals, name="t"):
    bvec = write(tmp_path / f"{name}.bvec",
                 "\n".join(" ".join(repr(d[k]) for d in dirs) for k in range(3)) + "\n")
    bval = write(tmp_path / f"{name}.bval", " ".join(repr(b) for b in bvals) + "\n")
    return bvec, bval


def spiral(n, sign=1.0):
    """Well-spread unit directions over one hemisphere."""
    out = []
    for k in range(n):
        z = 1.0 - (k + 0.5) / n
        r = math.sqrt(1.0 - z * z)
        phi = k * math.pi * (3.0 - math.sqrt(5.0))
        out.append((sign * r * math.cos(phi), r * math.sin(phi), z))
    return out


def report(**kwargs):
    return json.loads(_quorvex.inspect(**kwargs))


def without_timestamp(text):
    document = json.loads(text)
    document.pop("timestamp")
    return document


class TestTableLoading:
    def test_incomplete_arguments_read_nothing(self, tmp_path):
        for kwargs in [{}, {"bvec": str(tmp_path / "missing.bvec")}, {"bval": "x.bval"}]:
            with pytest.raises(ValueError) as caught:
                _quorvex.inspect(**kwargs)
            assert str(caught.value) == "provide bvec and bval, or grad"

    def test_grad_wins_over_the_pair(self, tmp_path):
        grad = write(tmp_path / "g.b", "# header\n  # indented\n\n0 0 0 0\n1 0 0 1000 # c\n")
        r = report(bvec="/nonexistent.bvec", bval="/nonexistent.bval", grad=grad)
        assert r["scheme"] == {"directions": [[0.0, 0.0, 0.0], [1.0, 0.0, 0.0]],
                               "bvals": [0.0, 1000.0]}
        assert [i["path"] for i in r["inputs"]] == [grad]

    def test_bval_is_read_before_bvec(self, tmp_path):
        tmp_path.joinpath("dir.bvec").mkdir()
        with pytest.raises(ValueError) as caught:
            _quorvex.inspect(bvec=str(tmp_path / "dir.bvec"), bval=str(tmp_path / "none.bval"))
        assert str(caught.value) == "I/O error: No such file or directory (os error 2)"
        bval = write(tmp_path / "ok.bval", "0 1000")
        with pytest.raises(ValueError) as caught:
            _quorvex.inspect(bvec=str(tmp_path / "dir.bvec"), bval=bval)
        assert str(caught.value) == "I/O error: Is a directory (os error 21)"

    @pytest.mark.parametrize("bvec_bytes, message", [
        (b"1 0 0\n0 \xe9 0\n", "I/O error: stream did not contain valid UTF-8"),
        (b"1 0 abc\n", "failed to parse {bvec}: invalid number: abc"),
        (b"1,0,0\n", "failed to parse {bvec}: invalid number: 1,0,0"),
        (b"0x1p0 0 0\n", "failed to parse {bvec}: invalid number: 0x1p0"),
        (b"1 0\n0 1\n0 0\n", "failed to parse {bvec}: bvec shape does not match the b-value count"),
    ])
    def test_bad_bvec(self, tmp_path, bvec_bytes, message):
        bvec = write(tmp_path / "sub-01_dwi.bvec", bvec_bytes, "wb")
        bval = write(tmp_path / "sub-01_dwi.bval", "1000")
        with pytest.raises(ValueError) as caught:
            _quorvex.inspect(bvec=bvec, bval=bval)
        assert str(caught.value) == message.format(bvec=bvec)

    @pytest.mark.parametrize("grad_text, message", [
        ("1 0 0\n", "expected 4 values per row, found 3"),
        ("1 0 zero 1000\n", "invalid number: zero"),
    ])
    def test_bad_grad(self, tmp_path, grad_text, message):
        grad = write(tmp_path / "g.b", grad_text)
        with pytest.raises(ValueError) as caught:
            _quorvex.inspect(grad=grad)
        assert str(caught.value) == f"failed to parse {grad}: {message}"

    def test_input_records_match_hashlib(self, tmp_path):
        bvec, bval = fsl_pair(tmp_path, spiral(6), [1000.0] * 6)
        inputs = report(bval=bval, bvec=bvec)["inputs"]
        assert [i["path"] for i in inputs] == [bvec, bval]
        for record in inputs:
            content = pathlib.Path(record["path"]).read_bytes()
            assert record["sha256"] == hashlib.sha256(content).hexdigest()
            assert record["bytes"] == len(content)

    def test_mismatched_counts(self, tmp_path):
        grad_like = write(tmp_path / "a.bvec", "\n".join(["1 0 0"] * 64))
        bval = write(tmp_path / "a.bval", " ".join(["1000"] * 65))
        with pytest.raises(ValueError, match="bvec shape does not match the b-value count"):
            _quorvex.inspect(bvec=grad_like, bval=bval)

    def test_numbers_parse_like_python_float(self, tmp_path):
        rng = random.Random(5)
        tokens = ["1.", ".5", "+3", "-0.0", "1e-320", "1E5", "inf", "-Infinity",
                  "123456789.123456789", "2.2250738585072011e-308"]
        for _ in range(300):
            digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 20)))
            cut = rng.randint(0, len(digits))
            tokens.append(f"{digits[:cut]}.{digits[cut:]}e{rng.randint(-320, 310)}"
                          if digits[:cut] or digits[cut:] else "0")
        grad = write(tmp_path / "g.b", "".join(f"0 0 0 {t}\n" for t in tokens))
        document = json.loads(_quorvex.inspect(grad=grad))
        for token, value in zip(tokens, document["scheme"]["bvals"]):
            expected = float(token)
            if math.isinf(expected):
                assert value is None, token
            else:
                assert value == expected, token
                assert math.copysign(1, value) == math.copysign(1, expected), token

    def test_huge_token_gives_a_short_message(self, tmp_path):
        bval = write(tmp_path / "garbage.bval", "x" * (8 << 20))
        with pytest.raises(ValueError) as caught:
            _quorvex.inspect(bvec=bval, bval=bval)
        assert len(str(caught.value)) < 400
        assert str(caught.value).endswith("…")


class TestSchemeReport:
    def test_report_layout(self, tmp_path):
        bvec, bval = fsl_pair(tmp_path, [(0, 0, 0)] + spiral(30), [0.0] + [1000.0] * 30)
        r = report(bvec=bvec, bval=bval)
        assert list(r) == ["schema_version", "tool", "tool_version", "timestamp", "status",
                           "inputs", "scheme", "shells", "angular", "norm_stats", "notes"]
        assert r["status"] == "PASS" and r["notes"] == []
        assert r["tool_version"] == "1.1.4"
        assert [s["nominal_b"] for s in r["shells"]["shells"]] == [0.0, 1000.0]
        assert r["angular"]["shells"][0]["meets_dti_recommended"] is True

    def test_six_axis_scheme(self, tmp_path):
        axes = [(1, 0, 0), (0, 1, 0), (0, 0, 1), (-1, 0, 0), (0, -1, 0), (0, 0, -1)]
        bvec, bval = fsl_pair(tmp_path, [(0, 0, 0)] + axes, [0] + [1000] * 6)
        lenient = report(bvec=bvec, bval=bval)
        assert lenient["status"] == "PASS"
        assert lenient["notes"] == [
            "shell b=1000: 6 directions, below the recommended 30 for a robust DTI fit",
            "shell b=1000: DTI design matrix is rank-deficient (degenerate gradient directions)",
            "shell b=1000: 3 antipodal + 0 near-duplicate direction pair(s) within 5.0°",
        ]
        strict = report(bvec=bvec, bval=bval, strict=True)
        assert strict["status"] == "WARN"
        assert strict["notes"][-1] == ("strict: severe scheme-quality issue(s) promoted status "
                                       "PASS → WARN")

    def test_amplitude_encoded_table(self, tmp_path):
        dirs = [(0, 0, 0)] + [tuple(c * s for c in d) for d, s in zip(spiral(30), [0.5, 1.0] * 15)]
        bvec, bval = fsl_pair(tmp_path, dirs, [0] + [1000] * 30)
        assert report(bvec=bvec, bval=bval)["status"] == "PASS"  # 15 of 30: exactly one half
        dirs[2] = tuple(c * 0.7 for c in dirs[2])
        bvec, bval = fsl_pair(tmp_path, dirs, [0] + [1000] * 30)
        noted = report(bvec=bvec, bval=bval)
        assert noted["status"] == "WARN"
        assert noted["notes"][-1].startswith("53% of non-b0 directions are not unit-length "
                                             "(norm 0.500–1.000, mean 0.740; tol 5%) — likely")
        with pytest.raises(ValueError) as caught:
            _quorvex.inspect(bvec=bvec, bval=bval, strict=True)
        assert str(caught.value).startswith("amplitude-encoded bvecs (--strict): 53% of")

    def test_shell_argument_has_no_effect_and_audit_matches(self, tmp_path):
        bvec, bval = fsl_pair(tmp_path, [(0, 0, 0)] + spiral(20) + spiral(20, -1.0),
                              [0] + [1000] * 20 + [2000] * 20)
        plain = without_timestamp(_quorvex.inspect(bvec, bval))
        assert without_timestamp(_quorvex.inspect(bvec, bval, shell=2000)) == plain
        assert without_timestamp(_quorvex.audit(bvec, bval)) == plain
        assert without_timestamp(_quorvex.audit(bvec, bval, step=3.0, shell=1000)) == plain
        assert (without_timestamp(_quorvex.audit(bvec, bval, strict=True, tolerance=0.2))
                == without_timestamp(_quorvex.inspect(bvec, bval, strict=True, tolerance=0.2)))

    def test_thresholds_and_tolerances_are_passed_on(self, tmp_path):
        bvec, bval = fsl_pair(tmp_path, [(0, 0, 0), (1, 0, 0), (0, 1.2, 0)], [60, 1000, 1100])
        r = report(bvec=bvec, bval=bval, b0_threshold=100, tolerance=0.2, norm_tolerance=0.25)
        assert r["shells"]["b0_threshold"] == 100.0 and r["shells"]["tolerance"] == 0.2
        assert [s["count"] for s in r["shells"]["shells"]] == [1, 2]
        assert r["norm_stats"]["non_unit_count"] == 0 and r["norm_stats"]["tolerance"] == 0.25

    def test_empty_table(self, tmp_path):
        grad = write(tmp_path / "empty.b", "# nothing\n")
        r = report(grad=grad)
        assert r["scheme"] == {"directions": [], "bvals": []}
        assert r["angular"]["shells"] == [] and r["status"] == "PASS"


def test_every_shipped_table_passes(shared_data):
    for folder in sorted((shared_data / "real").iterdir()):
        if not folder.is_dir():
            continue
        stem = folder / f"{folder.name}_dwi"
        fsl = without_timestamp(_quorvex.inspect(f"{stem}.bvec", f"{stem}.bval"))
        grad = without_timestamp(_quorvex.inspect(grad=f"{stem}.b"))
        assert fsl["status"] == "PASS", folder.name
        assert grad["status"] == "PASS", folder.name
        # Both files describe the same acquisition: the same shells.
        assert ([s["count"] for s in fsl["shells"]["shells"]]
                == [s["count"] for s in grad["shells"]["shells"]]), folder.name
