"""The dataset audit's steps, for drivers that spread the runs over processes (private)."""

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
) -> str: ...
def write_summary(root: str, results: list[tuple[str, str, str]]) -> str: ...
def check_options(
    tolerance: float = 0.05,
    b0_threshold: float = 50.0,
    shell: float | None = None,
    step: float | None = None,
    strict: bool = False,
    norm_tolerance: float = 0.05,
) -> None: ...
def set_worker_limit(workers: int) -> bool: ...
