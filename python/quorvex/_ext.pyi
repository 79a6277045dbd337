"""The package's private module: the dataset audit's steps and the confirmed flip verdict."""

Entry = tuple[str, str, str, tuple[str, ...], str | None]

def discover(root: str) -> tuple[str, list[Entry]]: ...
def find_runs(root: str) -> list[Entry]: ...
def run_name(entry: Entry) -> str: ...
def audit_entry(
    out_dir: str,
    entry: Entry,
    run_name: str,
    tolerance: float = 0.05,
    b0_threshold: float = 50.0,
    shell: float | None = None,
    step: float | None = None,
    strict: bool = False,
    norm_tolerance: float = 0.05,
    confirmed: bool = False,
) -> str: ...
def write_summary(root: str, results: list[tuple[str, str, str]]) -> str: ...
def check_options(
    tolerance: float = 0.05,
    b0_threshold: float = 50.0,
    shell: float | None = None,
    step: float | None = None,
    strict: bool = False,
    norm_tolerance: float = 0.05,
    confirmed: bool = False,
) -> None: ...
def set_worker_limit(workers: int) -> bool: ...
def _fault_probe(kind: str) -> None: ...
def confirm_flip(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: float = 0.05,
    b0_threshold: float = 50.0,
    shell: float | None = None,
    step: float | None = None,
) -> str: ...
def audit_confirmed(
    dwi: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    tolerance: float = 0.05,
    b0_threshold: float = 50.0,
    shell: float | None = None,
    step: float | None = None,
    strict: bool = False,
    norm_tolerance: float = 0.05,
    detect_only: bool = False,
) -> tuple[str, str, str, dict[str, float]]: ...
def repair_confirmed(
    dwi: str,
    out_bvec: str,
    out_bval: str,
    bvec: str | None = None,
    bval: str | None = None,
    grad: str | None = None,
    mask: str | None = None,
    out_grad: str | None = None,
    provenance: str | None = None,
    tolerance: float = 0.05,
    b0_threshold: float = 50.0,
    shell: float | None = None,
    step: float | None = None,
    dry_run: bool = False,
    in_place: bool = False,
    strict: bool = False,
    force_repair: bool = False,
    norm_tolerance: float = 0.05,
) -> tuple[str, str, str]: ...
