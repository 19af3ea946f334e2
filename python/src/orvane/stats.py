"""The one percentile the package and its benchmarks report: the nearest rank (the smallest
value with at least that fraction of the values at or below it), so a p99.9 of 1,000 values
is the worst but one, never an interpolation between two samples."""
import math
from typing import Dict, Sequence


def percentile(ordered: Sequence[float], fraction: float) -> float:
    """The nearest-rank percentile of values already sorted; 0.0 for none."""
    if not ordered:
        return 0.0
    return ordered[min(len(ordered) - 1, max(0, math.ceil(fraction * len(ordered)) - 1))]


def percentiles(values: Sequence[float]) -> Dict[str, float]:
    """Count, p50, p99, p99.9 and the largest of `values`, in any order."""
    ordered = sorted(values)
    return {"count": len(ordered), "p50": percentile(ordered, 0.5),
            "p99": percentile(ordered, 0.99), "p999": percentile(ordered, 0.999),
            "max": ordered[-1] if ordered else 0.0}
