"""The module object, its function table, and argument binding and conversion."""

import ast
import inspect
import pathlib
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _quorvex
import quorvex

NAMES = [
    "version", "build_features", "inspect", "audit", "audit_with_glyphs", "audit_profiled",
    "audit_profiled_with_glyphs", "audit_bids", "detect_flip", "detect_flip_with_glyphs",
    "repair", "repair_with_glyphs", "recompute_bval",
]

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = [(_quorvex, ROOT / "python" / "_quorvex.pyi"),
         (quorvex._ext, ROOT / "python" / "quorvex" / "_ext.pyi")]


def stub_signatures(path):
    """Each function of a stub as the parameter text ``inspect.signature`` prints."""
    out = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            params = node.args.args
            defaults = [None] * (len(params) - len(node.args.defaults)) + node.args.defaults
            out[node.name] = ", ".join(p.arg if d is None else f"{p.arg}={ast.unparse(d)}"
                                       for p, d in zip(params, defaults))
    return out


# The stub is the one written record of the 13 signatures; the oracles below are built from it.
SIGNATURES = stub_signatures(STUBS[0][1])


@pytest.mark.parametrize("module, stub", STUBS, ids=["_quorvex", "quorvex._ext"])
def test_stubs_match_the_runtime_signatures(module, stub):
    names = getattr(module, "__all__", None) or [
        n for n in dir(module) if not n.startswith("_") and callable(getattr(module, n))]
    runtime = {n: str(inspect.signature(getattr(module, n)))[1:-1] for n in names}
    assert runtime == stub_signatures(stub)


def oracle(name):
    namespace = {}
    exec(f"def {name}({SIGNATURES[name]}): return None", namespace)
    return namespace[name]


def binding_error(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)
    except Exception:
        return None
    return None


def call_patterns(name):
    """Argument sets that exercise every binding failure of one signature."""
    params = list(inspect.signature(oracle(name)).parameters)
    n = len(params)
    yield (), {}
    yield tuple(range(n + 1)), {}
    yield tuple(range(n + 3)), {"nonsense": 1}
    yield tuple(range(n + 1)), {params[0]: 1}
    yield (), {"nonsense": 1, params[0]: 2}
    yield (1,), {params[0]: 1}
    yield (), {params[-1]: 1}
    yield (1, 2), {params[-1]: 1, "x": 2}


@pytest.mark.parametrize("name", [n for n in NAMES if SIGNATURES[n]])
def test_binding_errors_match_the_interpreter(name):
    function = getattr(_quorvex, name)
    for args, kwargs in call_patterns(name):
        expected = binding_error(oracle(name), args, kwargs)
        if expected is None:
            continue
        assert binding_error(function, args, kwargs) == expected, (args, kwargs)


def test_module_table_version_and_build_features():
    assert _quorvex.__all__ == NAMES and quorvex.__all__[:13] == NAMES
    assert _quorvex.__doc__ == ""
    for name in NAMES:
        function = getattr(_quorvex, name)
        assert str(inspect.signature(function)) == f"({SIGNATURES[name]})"
        assert function.__module__ == "_quorvex"
        # The package's twin takes path-likes and is otherwise the module's function.
        assert getattr(getattr(quorvex, name), "__wrapped__", getattr(quorvex, name)) is function
    # The private module lives in the same shared object, so the process holds one core.
    assert quorvex._ext.__file__ == _quorvex.__file__
    assert {"confirm_flip", "audit_confirmed", "repair_confirmed", "audit_entry"} <= set(
        quorvex._ext.__all__)
    assert _quorvex.audit_profiled.__doc__.startswith("One instrumented audit: returns")
    assert _quorvex.audit_bids.__doc__.endswith("The exit code blocks only on WARN.")
    assert _quorvex.recompute_bval.__doc__ == (
        "Opt-in b-value recovery from amplitude-encoded bvecs. Never reached from\n"
        "`repair`; returns a JSON before/after summary.")
    assert _quorvex.inspect.__doc__ is None
    assert _quorvex.version() == "1.1.4"
    first, second = _quorvex.build_features(), _quorvex.build_features()
    assert first == [] and second == [] and first is not second
    with pytest.raises(TypeError):
        _quorvex.version(1)
    with pytest.raises(TypeError):
        _quorvex.build_features(x=1)


def test_the_shared_object_exports_only_the_two_module_entry_points():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", _quorvex.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.split()[1] in "TDB"}
    assert symbols == {"PyInit__quorvex", "PyInit__ext"}


def test_reimport_returns_the_same_module_and_a_sub_interpreter_is_refused():
    first = sys.modules.pop("_quorvex")
    try:
        import _quorvex as again
        assert again is first
    finally:
        sys.modules["_quorvex"] = first
    pytest.importorskip("_testcapi")
    script = textwrap.dedent("""
        import _quorvex, _testcapi
        raise SystemExit(_testcapi.run_in_subinterp("import _quorvex"))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError" in result.stderr


@pytest.mark.parametrize("kind, error, text", [
    ("exception", "pyo3_runtime.PanicException", "fault probe: a stray exception"),
    ("bad_alloc", "builtins.ValueError", "out of memory: "),
])
def test_internal_faults_stop_at_the_call_boundary(kind, error, text):
    with pytest.raises(BaseException) as caught:
        quorvex._ext._fault_probe(kind)
    assert f"{type(caught.value).__module__}.{type(caught.value).__name__}" == error
    assert str(caught.value).startswith(text)
    # A broken invariant is not an Exception a broad handler would swallow.
    assert isinstance(caught.value, Exception) == (kind == "bad_alloc")


FLOATY = type("Floaty", (), {"__float__": lambda self: 0.25})()
INDEXY = type("Indexy", (), {"__index__": lambda self: 2})()
PATH_STR = type("PathStr", (str,), {})("d.nii")


class BrokenFloat:
    def __float__(self):
        try:
            raise KeyError("inner")
        except KeyError as inner:
            raise TypeError("no float today") from inner


# (function, arguments, None when they get past conversion, else the error and its text)
CONVERSIONS = [
    *[("inspect", {"tolerance": v}, None)
      for v in (1, 0.5, True, FLOATY, INDEXY, np.float32(0.1), np.int64(3))],
    *[(f, {k: v}, None) for f, k in (("inspect", "shell"), ("audit", "step"))
      for v in (None, 0.0, INDEXY)],
    *[("inspect", {"strict": v}, None) for v in (True, False, np.True_, np.bool_(False))],
    ("detect_flip", {"dwi": PATH_STR}, None),
    ("inspect", {"tolerance": None},
     (TypeError, "^argument 'tolerance': must be real number, not NoneType$")),
    ("inspect", {"tolerance": "0.5"},
     (TypeError, "^argument 'tolerance': must be real number, not str$")),
    ("inspect", {"b0_threshold": BrokenFloat()},
     (TypeError, "^argument 'b0_threshold': no float today$")),
    *[("inspect", {"strict": v}, (TypeError, "^argument 'strict': "))
      for v in (0, 1, None, "yes", 1.0)],
    *[("audit", {"bvec": v}, (TypeError, "^argument 'bvec': "))
      for v in (pathlib.Path("a.bvec"), b"a.bvec", 3)],
    ("detect_flip", {"dwi": None}, (TypeError, "^argument 'dwi': ")),
    # Errors other than TypeError pass unchanged; a NUL is refused, never a truncated path.
    ("inspect", {"tolerance": 10**400}, (OverflowError, None)),
    ("inspect", {"bvec": "\ud800x"}, (UnicodeEncodeError, None)),
    ("inspect", {"grad": "real.b\x00ignored"}, (ValueError, "embedded null byte")),
]


@pytest.mark.parametrize("function, kwargs, refusal", CONVERSIONS)
def test_argument_conversion(function, kwargs, refusal):
    def call():
        return getattr(_quorvex, function)(**kwargs)

    if refusal is None:
        try:
            call()
        except (TypeError, OverflowError, UnicodeError):
            pytest.fail("refused in conversion")
        except Exception:
            pass
        return
    with pytest.raises(refusal[0], match=refusal[1]) as caught:
        call()
    if isinstance(kwargs.get("b0_threshold"), BrokenFloat):
        assert isinstance(caught.value.__cause__, KeyError)


class TestPackage:
    def test_package_takes_path_likes_where_the_module_takes_str(self, tmp_path):
        np.savetxt(tmp_path / "t.bvec", np.eye(3), fmt="%g")
        np.savetxt(tmp_path / "t.bval", [[1000, 1000, 1000]], fmt="%g")
        as_text = _quorvex.inspect(str(tmp_path / "t.bvec"), bval=str(tmp_path / "t.bval"))
        as_paths = quorvex.inspect(tmp_path / "t.bvec", bval=tmp_path / "t.bval")
        assert as_paths.split('"timestamp"')[0] == as_text.split('"timestamp"')[0]
        with pytest.raises(TypeError, match="^argument 'bvec': "):
            quorvex.inspect(bvec=b"t.bvec")  # bytes stay the module's to refuse

    def test_plot_names_its_extra(self, monkeypatch):
        from quorvex import plot

        monkeypatch.setitem(sys.modules, "matplotlib", None)
        with pytest.raises(ModuleNotFoundError, match=r"^quorvex.plot needs matplotlib: pip "
                                                      r"install 'quorvex\[plot\]'$"):
            plot.plot({}, {})
