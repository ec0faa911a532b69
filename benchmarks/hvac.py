"""Benchmarks of the HVAC systems on the largest shared model (skipped without the shared
data): the node connection checks and the topology, each on a model just loaded (so
that they pay for what the model makes on first use, as `quarvel check` does) and again
on a model already used, against the load itself."""

from __future__ import annotations

import statistics
import time

from quarvel.hvac import checks, topology
from quarvel.idf import IDF
from workflows import largest_real_model

ROUNDS = 101


def section_hvac(timed, row, spread):
    found = largest_real_model("HVAC")
    if found is None:
        return
    schema, path = found
    enabled = {rule.code for rule in checks.RULES}
    print(f"HVAC systems of LgOffVAV.idf, the largest shared model (medians of {ROUNDS} rounds: load, checks, "
          "topology on the model just loaded)")
    loads, first_checks, first_topology = [], [], []
    checks.findings(IDF.from_file(schema, path), enabled, None)  # the schema's per-class tables, once
    for _ in range(ROUNDS):
        a = time.perf_counter()
        model = IDF.from_file(schema, path)
        b = time.perf_counter()
        checks.findings(model, enabled, None)
        c = time.perf_counter()
        topology(model)
        d = time.perf_counter()
        loads.append(b - a)
        first_checks.append(c - b)
        first_topology.append(d - c)
    load, fresh, graph = (statistics.median(x) for x in (loads, first_checks, first_topology))
    row("load (for scale)", f"{load * 1000:.2f}", "ms", f"(runs {min(loads) * 1000:.2f}..{max(loads) * 1000:.2f} ms)")
    row("node connection checks, model just loaded", f"{fresh * 1000:.2f}", "ms", f"{fresh / load:.2f}x the load")
    row("topology, after the checks", f"{graph * 1000:.2f}", "ms", f"{graph / load:.2f}x the load")
    both = statistics.median(c + t for c, t in zip(first_checks, first_topology))
    row("checks + topology, model just loaded", f"{both * 1000:.2f}", "ms", f"{both / load:.2f}x the load; "
        "target 0.3x")
    # The model keeps its scan until it changes: a write (of a field to its own value) makes
    # the checks read the model again.
    branch = model["Branch"][0]

    def edit_and_check():
        branch[1] = branch[1]
        checks.findings(model, enabled, None)

    warm = timed(edit_and_check)
    row("node connection checks after an edit, model used before", f"{warm[0] * 1000:.2f}", "ms",
        f"{warm[0] / load:.2f}x the load {spread(warm)}")
    kept = timed(lambda: checks.findings(model, enabled, None))
    row("node connection checks, model unchanged since", f"{kept[0] * 1000:.3f}", "ms",
        f"{kept[0] / load:.3f}x the load {spread(kept)}")
