"""Where a snapshot and the live pushes around it meet: which state is the newer one.

A snapshot query and the stream travel on different connections, so the order in which
their data arrives says little about the order in which the service produced it. Only
two facts are certain: a push received before the query was sent is older than the
answer, and pushes on the one stream arrive in the order they were sent. Everything in
between is ordered by content: a quote by its time and the day's volume, a bar by its
start and its own volume, both of which only grow while the service moves forward.

Pure functions over plain values; `Client` keeps one `Mark` per quote handle or series.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

__all__ = ["APPLY", "HOLD", "SKIP", "Mark", "fate", "held_rows", "hold", "passed", "take_snapshot"]

SKIP, HOLD, APPLY = "skip", "hold", "apply"


@dataclass
class Mark:
    """What one quote handle or series has taken from its connection so far."""

    generation: int = 0  # connection of the snapshot applied last (0: none yet)
    sequence: int = 0  # stream position when that snapshot's query was sent
    # Version of that snapshot; live rows below it are older. Cleared by the first live
    # row at or above it: the stream's own order covers every later row.
    floor: tuple[int, float] | None = None
    # Live rows that came before the snapshot of their connection, kept until it is in:
    # (generation, sequence, row) by bar start (None for a quote, which keeps its newest).
    held: dict[int | None, tuple[int, int, dict[str, Any]]] = field(default_factory=dict)


def version(row: dict[str, Any]) -> tuple[int, float]:
    """How far the service had got when it produced `row` (a decoded quote or bar)."""
    volume = row["volume"]
    return (row["timestamp"], -math.inf if math.isnan(volume) else volume)


def fate(mark: Mark, generation: int, sequence: int, row: dict[str, Any]) -> str:
    """SKIP a live row older than the snapshot, HOLD one that came before the snapshot of
    its connection, APPLY the rest."""
    if generation < mark.generation:
        return SKIP  # an earlier connection's row: the newer snapshot replaced it
    if generation > mark.generation:
        return HOLD  # no snapshot on this connection yet
    if sequence <= mark.sequence:
        return SKIP  # received before the snapshot's query was sent
    if mark.floor is not None and version(row) < mark.floor:
        return SKIP
    return APPLY


def passed(mark: Mark, generation: int) -> None:
    """A live row of the snapshot's connection was applied: later rows follow it in order."""
    if generation == mark.generation:
        mark.floor = None


def hold(mark: Mark, generation: int, sequence: int, row: dict[str, Any], quote: bool) -> None:
    """Keep a row until its connection's snapshot is in; a later row replaces an earlier
    one of the same quote or bar."""
    mark.held[None if quote else row["timestamp"]] = (generation, sequence, row)


def take_snapshot(
    mark: Mark, generation: int, sequence: int, rows: list[dict[str, Any]]
) -> list[dict[str, Any]]:
    """Record a snapshot queried at stream position `sequence` on connection `generation`;
    returns the held rows newer than it, oldest first, to be applied after it."""
    mark.generation = generation
    mark.sequence = sequence
    mark.floor = version(rows[-1]) if rows else None
    return held_rows(mark)


def held_rows(mark: Mark) -> list[dict[str, Any]]:
    """Take out the held rows that are not older than the current snapshot, in the order
    they were received; the rest are dropped."""
    kept = sorted(mark.held.items(), key=lambda item: item[1][:2])
    mark.held = {}
    fresh = []
    for key, (generation, sequence, row) in kept:
        verdict = fate(mark, generation, sequence, row)
        if verdict == APPLY:
            fresh.append(row)
            passed(mark, generation)
        elif verdict == HOLD:
            mark.held[key] = (generation, sequence, row)
    return fresh
