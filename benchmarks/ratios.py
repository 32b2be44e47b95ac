"""The ratio of two cases measured in the same rounds."""

import statistics
from collections.abc import Iterable


def paired_ratio(tops: Iterable[float], bottoms: Iterable[float]) -> float:
    """The median over rounds of each round's top / bottom. The two ran moments apart, so a slow
    stretch of a shared machine slows both, where a ratio of medians taken over all rounds could
    pair a slow round of one with a fast round of the other."""
    return statistics.median(top / bottom for top, bottom in zip(tops, bottoms, strict=True))
