from pathlib import Path

def _next_donem(d: str) -> str:
    """YYMM → next month. '2512' → '2601'."""

def patch_eus_gaps(db_path: Path | str) -> None:
    """Patch single-period gaps in brz_eus_tahmin by interpolation."""
