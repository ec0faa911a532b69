"""quarvel run: run the simulation engine on models, one summary line per model."""

from __future__ import annotations

import argparse

from quarvel.cli.common import add_inputs, examples, say
from quarvel.cli.errors import EXIT_FINDING, EXIT_OK, UsageError
from quarvel.cli.loading import model_sources

HELP = "run the simulation engine on models (its path from --engine or QUARVEL_ENGINE)"


def _line(label: str, outcome: object) -> str:
    from quarvel.simulation import RunOutcome

    assert isinstance(outcome, RunOutcome)
    if outcome.run is None:
        return f"{label}: failed: {outcome.error}"
    run = outcome.run
    summary = run.summary
    counts = f"{summary.warnings} warnings, {summary.severe} severe" if summary else "no summary"
    state = "ok" if run.ok else f"failed ({run.status})"
    return f"{label}: {state}, {counts}, {run.elapsed:.1f} s, {run.folder}"


def run(args: argparse.Namespace) -> int:
    from quarvel.simulation import EngineNotFoundError, find_engine, run_many

    if not args.words:
        raise UsageError("give at least one MODEL to run")
    if args.design_days and args.annual:
        raise UsageError("give -D or -a, not both")
    try:
        engine = find_engine(args.engine)
    except EngineNotFoundError as exc:
        raise UsageError(str(exc)) from exc
    sources = model_sources(args.words, suffixes=(".idf", ".epjson"))
    if any(s.path is None for s in sources):
        raise UsageError("run takes model files, not standard input")
    executor = None
    if args.scheduler:
        from quarvel.cli.parallel import dask_client

        executor = dask_client(args.scheduler)
    outcomes = run_many([s.path for s in sources], args.weather, jobs=args.jobs, executor=executor,
                        progress=None if not args.quiet else False, engine=engine, out_dir=args.output,
                        design_days=args.design_days, annual=args.annual, timeout=args.timeout)
    for source, outcome in zip(sources, outcomes):
        say(_line(source.label, outcome))
    return EXIT_OK if all(o.ok for o in outcomes) else EXIT_FINDING


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("run", help=HELP, description=HELP, formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=examples("quarvel run office.idf -w chicago.epw -D -o runs/",
                                                 "quarvel run variants/ -w chicago.epw -a --jobs 8"))
    add_inputs(parser, several=False)
    parser.add_argument("-w", "--weather", metavar="EPW", help="the weather file")
    length = parser.add_mutually_exclusive_group()
    length.add_argument("-D", "--design-days", action="store_true", help="design days only")
    length.add_argument("-a", "--annual", action="store_true", help="the annual run")
    parser.add_argument("-o", "--output", metavar="DIR", help="where the run folders go (default: a new temporary one)")
    parser.add_argument("--engine", metavar="PATH", help="the engine's executable (default: $QUARVEL_ENGINE)")
    parser.add_argument("--timeout", type=float, metavar="SECONDS", help="kill a run that takes longer")
    parser.add_argument("--jobs", "-j", type=int, default=None, metavar="N", help="runs at a time (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="run on the Dask cluster at ADDRESS (needs quarvel[dask])")
    parser.set_defaults(run=run)
