"""inspect() and audit() without an image: table loading, the scheme report and its rules."""

import json
import math

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
