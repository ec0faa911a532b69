"""Command line: ``python -m quarvel`` (also installed as ``quarvel``)."""

from quarvel.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
