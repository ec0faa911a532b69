"""Benchmark runner: prints one table of timings, throughputs and ratios.

    python benchmarks/run.py [SECTION ...] [--repeat N]

Sections: idd lexer load write fields queries editing pickle memory validate comments diff batch
targets epjson layout simulation geometry hvac bulk bulk-counts
small-batches transport (default: all).
Inputs are generated into benchmarks/data on first use. Every timing is the median
of several runs; the spread (min..max) is shown so that machine noise is visible.
"""

from __future__ import annotations

import argparse
import gc
import os
import pickle
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).parent
DATA = HERE / "data"
sys.path.insert(0, str(HERE))

import generate  # noqa: E402
import geometry  # noqa: E402
import hvac  # noqa: E402
import layout  # noqa: E402
import simulation  # noqa: E402
import targets  # noqa: E402
import workflows  # noqa: E402
from quarvel import lexer  # noqa: E402
from quarvel.idd import IDD  # noqa: E402
from quarvel.idf import IDF, IDFObject  # noqa: E402

REPEAT = 5
MB = 1024 * 1024


def timed(fn, repeat=None, setup=None):
    """Median, min and max seconds of `fn()` over several runs; garbage of one run
    is collected before the next so that no run pays for another."""
    times = []
    for _ in range(repeat or REPEAT):
        state = setup() if setup else None
        gc.collect()
        start = time.perf_counter()
        result = fn(state) if setup else fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times), min(times), max(times)


def row(label, value, unit, note=""):
    print(f"  {label:<52} {value:>12} {unit:<8} {note}")


def spread(t):
    return f"(runs {t[1] * 1000:.1f}..{t[2] * 1000:.1f} ms)"


def ensure_inputs():
    DATA.mkdir(exist_ok=True)
    shapes = None
    wanted = {
        "full.idd": None,
        "model_10MB.idf": {"megabytes": 10},
        "model_30MB.idf": {"megabytes": 30},
        "model_100MB.idf": {"megabytes": 100},
        "model_100000obj.idf": {"objects": 100_000},
        "model_1000obj.idf": {"objects": 1000},
    }
    for name, kwargs in wanted.items():
        if (DATA / name).exists():
            continue
        shapes = shapes or generate.make_schema()
        if kwargs is None:
            generate.write_schema(shapes, DATA / name)
        else:
            generate.write_model(shapes, DATA / name, **kwargs)


def section_idd():
    print("Schema")
    path = DATA / "full.idd"
    idd = IDD.from_file(path)
    fields = sum(len(idd.class_info(n)["fields"]) for n in idd.class_names())
    t = timed(lambda: IDD.from_file(path))
    row(f"IDD.from_file ({path.stat().st_size / MB:.1f} MB, {len(idd.class_names())} classes, {fields} fields)",
        f"{t[0] * 1000:.1f}", "ms", spread(t))


def section_lexer():
    print("Tokenizer")
    for name in ("model_10MB.idf", "model_100000obj.idf"):
        path = DATA / name
        size = path.stat().st_size
        read = timed(lambda: path.read_bytes())
        data = path.read_bytes()
        lex = timed(lambda: lexer._count_tokens(data))
        row(f"read bytes of {name}", f"{size / read[0] / MB:.0f}", "MB/s", spread(read))
        row(f"tokenize {name}", f"{size / lex[0] / MB:.0f}", "MB/s",
            f"{lex[0] / read[0]:.1f}x reading {spread(lex)}")


def section_load():
    print("Loading")
    idd = IDD.from_file(DATA / "full.idd")
    per_mb = {}
    for name, repeat in (("model_10MB.idf", 5), ("model_30MB.idf", 5), ("model_100000obj.idf", 3),
                         ("model_100MB.idf", 3)):
        path = DATA / name
        size = path.stat().st_size
        data = path.read_bytes()
        lex = timed(lambda: lexer._count_tokens(data), repeat)
        load = timed(lambda: IDF.from_file(idd, path), repeat)
        per_mb[name] = load[0] / (size / MB)
        row(f"IDF.from_file {name}", f"{size / load[0] / MB:.0f}", "MB/s",
            f"{load[0] / lex[0]:.1f}x tokenizer {spread(load)}")
    row("time per MB, 100 MB file vs 10 MB file", f"{per_mb['model_100MB.idf'] / per_mb['model_10MB.idf']:.2f}",
        "x", "(linear growth is 1.0)")


def section_write():
    print("Writing")
    idd = IDD.from_file(DATA / "full.idd")
    for name in ("model_30MB.idf", "model_100000obj.idf"):
        model = IDF.from_file(idd, DATA / name)
        size = len(model.format().encode())
        fmt = timed(lambda: model.format())
        row(f"IDF.format {name}", f"{size / fmt[0] / MB:.0f}", "MB/s", spread(fmt))
        compact = len(model.format(compact=True).encode())
        fmtc = timed(lambda: model.format(compact=True))
        row(f"IDF.format compact {name}", f"{compact / fmtc[0] / MB:.0f}", "MB/s", spread(fmtc))
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "out.idf"
            save = timed(lambda: model.save(out))
            row(f"IDF.save {name}", f"{out.stat().st_size / save[0] / MB:.0f}", "MB/s", spread(save))


def ns_per_op(fn, n):
    t = timed(fn, 7)
    return t[0] / n * 1e9


def section_fields():
    print("Field access (20,000 objects of a 100,000-object model)")
    idd = IDD.from_file(DATA / "full.idd")
    model = IDF.from_file(idd, DATA / "model_100000obj.idf")
    objs = [o for cls in model.get_class_names() for o in model[cls]]
    objs = [o for o in objs if len(o.get_values()) >= 3][:20000]
    names = [idd.field_name(o.class_name, 2, units=False) for o in objs]
    pairs = list(zip(objs, names))
    # The reference: the same records held as dicts keyed by lower-cased field name.
    rows = [{idd.field_name(o.class_name, i, units=False).lower(): v for i, v in enumerate(o.get_values())}
            for o in objs]
    row_keys = list(zip(rows, [n.lower() for n in names]))
    n = len(objs)

    def dict_lookup():
        for r, k in row_keys:
            r[k]

    def by_index():
        for o in objs:
            o[2]

    def by_name():
        for o, name in pairs:
            o[name]

    def assign():
        for o, name in pairs:
            o[name] = "12.5"

    base = ns_per_op(dict_lookup, n)
    row("dict lookup of a lower-cased key, one dict per object", f"{base:.0f}", "ns/op", "(reference)")
    for label, fn in (("obj[i]", by_index), ('obj["Field Name"]', by_name), ('obj["Field Name"] = "12.5"', assign)):
        ns = ns_per_op(fn, n)
        row(label, f"{ns:.0f}", "ns/op", f"{ns / base:.1f}x dict")


def cycled(items, n=50_000):
    """`items` repeated up to `n` entries, so that each timing runs long enough to trust."""
    return [items[i % len(items)] for i in range(n)] if items else []


def query_costs(path):
    idd = IDD.from_file(DATA / "full.idd")
    model = IDF.from_file(idd, path)
    objs = [o for cls in model.get_class_names() for o in model[cls]]
    referring = []
    for o in objs[:5000]:
        for i, _ in enumerate(o.get_values()):
            if idd.field_info(o.class_name, i)["object_lists"] and o.get_referenced_object(i) is not None:
                referring.append((o, i))
                break
    referring = cycled(referring[:500])
    # Targets with exactly one referring object, and a class of exactly three objects,
    # so that both models answer with results of the same size.
    targets = [(t, 0) for t in {id(t): t for t in (o.get_referenced_object(i) for o, i in referring)}.values()
               if len(t.get_referencing_objects(0)) == 1]
    targets = cycled(targets)
    small = idd.class_names()[0]
    model.remove_all_objects(small)
    for _ in range(3):
        model.add_object(small)
    named = cycled([(o.class_name, o[0]) for o in objs[:500]])
    n = len(referring)
    out = {}
    out["get_referenced_object"] = ns_per_op(lambda: [o.get_referenced_object(i) for o, i in referring], n)
    out["get_referencing_objects"] = ns_per_op(lambda: [o.get_referencing_objects(i) for o, i in targets], n)
    out["idf[small class]"] = ns_per_op(lambda: [model[small] for _ in range(n)], n)
    for c, nm in named:  # each class joins the name index on its first lookup
        model.get_object_by_name(c, nm)
    out["get_object_by_name"] = ns_per_op(lambda: [model.get_object_by_name(c, nm) for c, nm in named], len(named))
    return out


def section_queries():
    print("Queries (cost at 100,000 objects vs 1,000)")
    small = query_costs(DATA / "model_1000obj.idf")
    large = query_costs(DATA / "model_100000obj.idf")
    for key in small:
        row(key, f"{large[key]:.0f}", "ns/op", f"{large[key] / small[key]:.2f}x the 1,000-object cost")


def editing_costs(path):
    idd = IDD.from_file(DATA / "full.idd")
    model = IDF.from_file(idd, path)
    cls = max((c for c in model.get_class_names() if len(idd.class_info(c)["fields"]) >= 6),
              key=lambda c: len(model[c]))
    fields = [idd.field_name(cls, i, units=False) for i in range(1, 6)]
    update = {f: "1" for f in fields}
    n = 2000
    out = {}
    added = []
    out["add_object with defaults"] = ns_per_op(lambda: added.extend(model.add_object(cls) for _ in range(n)), n)
    objs = added[:n]
    out["update with a dict of five fields"] = ns_per_op(lambda: [o.update(update) for o in objs], n)

    def remove():
        for o in objs:
            model.remove_object(o)

    t = timed(remove, 1)
    out["remove_object"] = t[0] / n * 1e9
    return out, model, cls


def section_editing():
    print("Editing (cost at 100,000 objects vs 1,000)")
    small, _, _ = editing_costs(DATA / "model_1000obj.idf")
    large, model, cls = editing_costs(DATA / "model_100000obj.idf")
    for key in small:
        row(key, f"{large[key]:.0f}", "ns/op", f"{large[key] / small[key]:.2f}x the 1,000-object cost")
    for _ in range(10_000):
        model.add_object(cls)
    count = len(model[cls])
    start = time.perf_counter()
    removed = model.remove_all_objects(cls)
    elapsed = time.perf_counter() - start
    row(f"remove_all_objects of a class of {removed} objects", f"{elapsed * 1000:.1f}", "ms",
        f"({count} live before)")


def section_pickle():
    print("Pickling (100,000-object model)")
    idd = IDD.from_file(DATA / "full.idd")
    path = DATA / "model_100000obj.idf"
    model = IDF.from_file(idd, path)
    load = timed(lambda: IDF.from_file(idd, path), 3)
    dumps = timed(lambda: pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL), 3)
    data = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
    loads = timed(lambda: pickle.loads(data), 3)
    row("IDF.from_file (reference)", f"{load[0] * 1000:.0f}", "ms", spread(load))
    row("pickle.dumps", f"{dumps[0] * 1000:.0f}", "ms", spread(dumps))
    row("pickle.loads", f"{loads[0] * 1000:.0f}", "ms", spread(loads))
    row("pickle size", f"{len(data) / MB:.1f}", "MB", f"(file {path.stat().st_size / MB:.1f} MB)")
    small = [IDF.from_string(idd, "") for _ in range(100)]
    for m in small:
        pass
    blobs = [pickle.dumps(m) for m in small]
    one = timed(lambda: IDD.from_file(DATA / "full.idd"))
    many = timed(lambda: [pickle.loads(b) for b in blobs])
    row("unpickle 100 small models sharing one schema", f"{many[0] * 1000:.1f}", "ms",
        f"(one schema load: {one[0] * 1000:.1f} ms)")


REAL = HERE.parent.parent / "shared" / "real-data"


def rss():
    """Resident memory of this process, in bytes."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS"))


def validation_inputs():
    """(label, schema path, model paths): the real models and the largest library file when
    the shared real data is here, and the generated 30 MB model always."""
    inputs = []
    if REAL.is_dir():
        schema = REAL / "schema-25.2.idd"
        inputs.append(("10 real models, together", schema, sorted((REAL / "models").glob("*.idf"))))
        largest = max((REAL / "datasets").glob("*.idf"), key=lambda p: p.stat().st_size)
        inputs.append((f"{largest.name} ({largest.stat().st_size / MB:.1f} MB)", schema, [largest]))
    inputs.append(("model_30MB.idf (generated)", DATA / "full.idd", [DATA / "model_30MB.idf"]))
    return inputs


def section_validate():
    print("Validation (time next to loading the same models)")
    for label, schema_path, paths in validation_inputs():
        idd = IDD.from_file(schema_path)
        models = [IDF.from_file(idd, p) for p in paths]
        load = timed(lambda: [IDF.from_file(idd, p) for p in paths])
        check = timed(lambda: [m.validate() for m in models])
        findings = sum(len(m.validate()) for m in models)
        row(f"load {label}", f"{load[0] * 1000:.1f}", "ms", spread(load))
        row(f"validate {label}", f"{check[0] * 1000:.1f}", "ms",
            f"{check[0] / load[0]:.2f}x loading, {findings} findings {spread(check)}")
    idd = IDD.from_file(DATA / "full.idd")
    model = IDF.from_file(idd, DATA / "model_10MB.idf")
    model.validate()
    gc.collect()
    before = rss()
    for _ in range(50):
        model.validate()
    gc.collect()
    row("memory kept after 50 validations of model_10MB.idf", f"{(rss() - before) / 1024:.0f}", "KB",
        "(flat: no growth per run)")


COMMENT_MEMORY_PROBE = """
import sys
from quarvel.idd import IDD
from quarvel.idf import IDF
idd = IDD.from_file(sys.argv[1])
text = open(sys.argv[2], encoding="latin-1").read()
def rss():
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith('VmRSS'))
before = rss()
models = [IDF.from_string(idd, text) for _ in range(int(sys.argv[3]))]
print(rss() - before)
"""


def section_comments():
    print("Comments (the model as it is, and with each user comment turned into a writer's '!-' note")
    print("  of the same length: the same bytes to read, nothing to keep)")
    import re

    cases = [("model_30MB.idf (no user comments)", DATA / "full.idd", DATA / "model_30MB.idf", 1)]
    if REAL.is_dir():
        cases.insert(0, ("5ZoneAirCooled.idf (107 comment lines), x200", REAL / "schema-25.2.idd",
                         REAL / "models" / "5ZoneAirCooled.idf", 200))
    for label, schema_path, path, copies in cases:
        idd = IDD.from_file(schema_path)
        text = path.read_text(encoding="latin-1")
        bare = re.sub(r"!(?!-)", "!-", text)
        with_comments = timed(lambda: [IDF.from_string(idd, text) for _ in range(copies)])
        without = timed(lambda: [IDF.from_string(idd, bare) for _ in range(copies)])
        row(f"load {label}", f"{with_comments[0] * 1000:.1f}", "ms",
            f"{with_comments[0] / without[0]:.2f}x keeping none ({without[0] * 1000:.1f} ms)")
        if copies > 1:
            with tempfile.TemporaryDirectory() as tmp:
                stripped = Path(tmp) / "bare.idf"
                stripped.write_text(bare, encoding="latin-1")
                grown = [int(subprocess.check_output([sys.executable, "-c", COMMENT_MEMORY_PROBE, str(schema_path),
                                                      str(p), str(copies)])) for p in (path, stripped)]
            comment_bytes = sum(len(m) for m in re.findall(r"!(?!-).*", text)) * copies
            row(f"memory {label}", f"{(grown[0] - grown[1]) / 1024:.0f}", "KB",
                f"more than keeping none; the comments' own text is {comment_bytes / 1024:.0f} KB")


MEMORY_PROBE = """
import sys, resource
from quarvel.idd import IDD
from quarvel.idf import IDF
idd = IDD.from_file(sys.argv[1])
def rss():
    with open('/proc/self/status') as f:
        return next(int(l.split()[1]) * 1024 for l in f if l.startswith('VmRSS'))
before = rss()
model = IDF.from_file(idd, sys.argv[2])
after = rss()
print(after - before)
"""


def section_memory():
    print("Memory")
    for name in ("model_30MB.idf", "model_100000obj.idf"):
        path = DATA / name
        grown = int(subprocess.check_output([sys.executable, "-c", MEMORY_PROBE, str(DATA / "full.idd"), str(path)]))
        row(f"process growth loading {name}", f"{grown / MB:.0f}", "MB",
            f"{grown / path.stat().st_size:.2f}x the file size")


SECTIONS = {
    "idd": section_idd, "lexer": section_lexer, "load": section_load, "write": section_write,
    "fields": section_fields, "queries": section_queries, "editing": section_editing,
    "pickle": section_pickle, "memory": section_memory, "validate": section_validate,
    "comments": section_comments,
    "diff": lambda: workflows.section_diff(timed, row, spread),
    "batch": lambda: workflows.section_batch(timed, row, spread),
    "targets": lambda: targets.section_targets(timed, row, spread),
    "epjson": lambda: workflows.section_epjson(timed, row, spread),
    "bulk": lambda: workflows.section_bulk_edits(timed, row, spread),
    "bulk-counts": lambda: workflows.section_bulk_counts(timed, row, spread),
    "small-batches": lambda: workflows.section_small_batches(timed, row, spread),
    "transport": lambda: workflows.section_transport(timed, row, spread),
    "layout": lambda: layout.section_layout(timed, row, spread),
    "geometry": lambda: geometry.section_geometry(timed, row, spread),
    "hvac": lambda: hvac.section_hvac(timed, row, spread),
    "simulation": lambda: simulation.section_simulation(timed, row, spread),
}


def main():
    global REPEAT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sections", nargs="*", choices=[*SECTIONS, []], default=[])
    parser.add_argument("--repeat", type=int, default=REPEAT)
    args = parser.parse_args()
    REPEAT = args.repeat
    ensure_inputs()
    print(f"Python {sys.version.split()[0]} on {os.cpu_count()} cores; medians of {REPEAT} runs unless noted")
    for name in args.sections or SECTIONS:
        SECTIONS[name]()


if __name__ == "__main__":
    main()
