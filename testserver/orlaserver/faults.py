"""Deliberate damage to the datagram stream: loss, duplicates, reordering, delay, freeze."""

import random

DIRECTIONS = ("in", "out")
KNOBS = ("drop", "duplicate", "reorder", "delay_ms", "reorder_ms")


class FaultInjector:
    def __init__(self, loop, seed=None):
        self.loop = loop
        self.rng = random.Random(seed)
        self.settings = {d: {"drop": 0.0, "duplicate": 0.0, "reorder": 0.0, "delay_ms": 0,
                             "reorder_ms": 30} for d in DIRECTIONS}
        self.frozen = False
        self.counts = {d: {"dropped": 0, "duplicated": 0, "reordered": 0, "delayed": 0}
                       for d in DIRECTIONS}

    def configure(self, direction: str, **values) -> None:
        if direction not in DIRECTIONS:
            raise ValueError(f"direction must be 'in' or 'out', not {direction!r}")
        for key, value in values.items():
            if key not in KNOBS:
                raise ValueError(f"unknown fault setting {key!r}")
            value = float(value)
            if key in ("drop", "duplicate", "reorder") and not 0.0 <= value <= 1.0:
                raise ValueError(f"{key} must be a probability between 0 and 1")
            if key.endswith("_ms") and not 0 <= value <= 60000:
                raise ValueError(f"{key} must be between 0 and 60000 ms")
            self.settings[direction][key] = value

    def seed(self, value) -> None:
        self.rng.seed(value)

    def describe(self) -> dict:
        return {"freeze": self.frozen, **{d: dict(self.settings[d]) for d in DIRECTIONS},
                "counts": {d: dict(self.counts[d]) for d in DIRECTIONS}}

    def process(self, direction: str, data: bytes, addr, emit) -> None:
        """Hand the datagram to `emit(data, addr)` zero, one or two times, now or later."""
        s = self.settings[direction]
        c = self.counts[direction]
        if s["drop"] and self.rng.random() < s["drop"]:
            c["dropped"] += 1
            return
        copies = 1
        if s["duplicate"] and self.rng.random() < s["duplicate"]:
            c["duplicated"] += 1
            copies = 2
        for _ in range(copies):
            delay = s["delay_ms"]
            if s["reorder"] and self.rng.random() < s["reorder"]:
                c["reordered"] += 1
                delay += self.rng.uniform(1, max(1.0, s["reorder_ms"]))
            if delay > 0:
                c["delayed"] += 1
                self.loop.call_later(delay / 1000.0, emit, data, addr)
            else:
                emit(data, addr)
