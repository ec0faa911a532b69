"""Benchmarks of what users do with loaded models: comparing them and running batches."""

from __future__ import annotations

import os
import re
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from quarvel import batch
from quarvel.idd import IDD
from quarvel.idf import IDF

MB = 1024 * 1024
HERE = Path(__file__).parent
DATA = HERE / "data"
REAL = HERE.parent.parent / "shared" / "real-data"


def large_text(least_bytes: int) -> tuple[Path, str, str]:
    """(schema, label, text): the real models and library files concatenated until the
    text holds `least_bytes`, when the shared real data is here; else the generated model."""
    if not REAL.is_dir():
        return DATA / "full.idd", "model_30MB.idf (generated)", (DATA / "model_30MB.idf").read_text()
    parts = [p.read_text(encoding="latin-1") for p in sorted((REAL / "models").glob("*.idf"))]
    parts += [p.read_text(encoding="latin-1") for p in sorted((REAL / "datasets").glob("*.idf"))]
    text, size = [], 0
    while size < least_bytes:
        for part in parts:
            text.append(part)
            size += len(part)
    joined = "".join(text)
    return REAL / "schema-25.2.idd", f"real models and library files ({len(joined) / MB:.0f} MB)", joined


def every_hundredth_number_changed(text: str) -> str:
    count = 0

    def bump(match: re.Match[str]) -> str:
        nonlocal count
        count += 1
        return match.group(1) + "9" if count % 100 == 0 else match.group(0)

    return re.sub(r"([,\n]\s*-?\d+\.\d+)", bump, text)


def section_diff(timed, row, spread):
    print("Diff (time next to loading one of the two models)")
    schema_path, label, text = large_text(40 * MB)
    idd = IDD.from_file(schema_path)
    old = IDF.from_string(idd, text)
    new = IDF.from_string(idd, every_hundredth_number_changed(text))
    load = timed(lambda: IDF.from_string(idd, text))
    compare = timed(lambda: old.diff(new))
    again = IDF.from_string(idd, text)
    same = timed(lambda: old.diff(again))
    changes = len(old.diff(new))
    row(f"load {label}", f"{load[0] * 1000:.0f}", "ms", spread(load))
    row("diff against it with every 100th decimal changed", f"{compare[0] * 1000:.0f}", "ms",
        f"{compare[0] / load[0]:.2f}x loading, {changes} changes {spread(compare)}")
    row("diff against the same text loaded again", f"{same[0] * 1000:.0f}", "ms", f"{same[0] / load[0]:.2f}x loading {spread(same)}")


def section_batch(timed, row, spread):
    print("Batches (quarvel.batch.map over a folder of models, counting objects)")
    if REAL.is_dir():
        schema_path, sources = REAL / "schema-25.2.idd", sorted((REAL / "models").glob("*.idf"))
    else:
        schema_path, sources = DATA / "full.idd", [DATA / "model_10MB.idf"]
    idd = IDD.from_file(schema_path)
    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for copy in range(40 // len(sources) + 1):
            for source in sources:
                path = Path(tmp) / f"{copy}-{source.name}"
                path.write_bytes(source.read_bytes())
                paths.append(path)
        size = sum(p.stat().st_size for p in paths) / MB
        serial = timed(lambda: [len(IDF.from_file(idd, p)) for p in paths])
        row(f"{len(paths)} models ({size:.0f} MB) in this process, no pool", f"{len(paths) / serial[0]:.1f}",
            "models/s", spread(serial))
        for workers in (1, 2):
            with ProcessPoolExecutor(workers) as pool:
                batch.map(len, paths[:workers], schema=idd, executor=pool)  # workers started
                run = timed(lambda: batch.map(len, paths, schema=idd, executor=pool))
            row(f"{len(paths)} models with {workers} worker process{'es' if workers > 1 else ''}",
                f"{len(paths) / run[0]:.1f}", "models/s", f"{spread(run)} on {os.cpu_count()} cores")


def section_epjson(timed, row, spread):
    print("epJSON (converting next to loading the same IDF text)")
    if not REAL.is_dir():
        print("  (needs the shared real data: the engine's JSON schema)")
        return
    from quarvel.epjson import Mapping

    mapping_load = timed(lambda: Mapping.from_file(REAL / "schema-25.2.epJSON"))
    row("Mapping.from_file schema-25.2.epJSON (10 MB)", f"{mapping_load[0] * 1000:.0f}", "ms", spread(mapping_load))
    mapping = Mapping.from_file(REAL / "schema-25.2.epJSON")
    idd = IDD.from_file(REAL / "schema-25.2.idd")
    largest = sorted((REAL / "datasets").glob("*.idf"), key=lambda p: -p.stat().st_size)
    cases = [(p.name, [p]) for p in largest if p.name != "RefrigerationCompressorCurves.idf"][:2]
    cases.append(("the 10 real models", sorted((REAL / "models").glob("*.idf"))))
    for label, paths in cases:
        texts = [p.read_text(encoding="latin-1") for p in paths]
        models = [IDF.from_string(idd, t) for t in texts]
        documents = [m.to_epjson(mapping) for m in models]
        load = timed(lambda: [IDF.from_string(idd, t) for t in texts])
        to_json = timed(lambda: [m.to_epjson(mapping) for m in models])
        back = timed(lambda: [IDF.from_epjson(idd, d, mapping) for d in documents])
        size = sum(len(t) for t in texts) / MB
        row(f"load {label} ({size:.1f} MB)", f"{load[0] * 1000:.0f}", "ms", spread(load))
        row("  to_epjson (model to dict)", f"{to_json[0] * 1000:.0f}", "ms",
            f"{to_json[0] / load[0]:.2f}x loading {spread(to_json)}")
        row("  from_epjson (dict to model)", f"{back[0] * 1000:.0f}", "ms", f"{back[0] / load[0]:.2f}x loading {spread(back)}")
