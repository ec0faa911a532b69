"""The command line, run through the installed entry point."""

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quarvel as quarvel_package
from quarvel.idd import IDD
from quarvel.idf import IDF

from .conftest import DATA

SCHEMA = str(DATA / "test.idd")
OFFICE = str(DATA / "office.idf")
EXAMPLE_IDF_PATH = Path(quarvel_package.__file__).parent / "data" / "example.idf"
ENTRY = shutil.which("quarvel", path=str(Path(sys.executable).parent)) or "quarvel"


def quarvel(*args, cwd=None, env=None):
    environment = {**os.environ, "QUARVEL_IDD_PATH": "", **(env or {})}
    return subprocess.run([ENTRY, *map(str, args)], capture_output=True, text=True, cwd=cwd, env=environment)


@pytest.mark.parametrize("command", [[], ["info"], ["format"], ["check"], ["refs"], ["diff"], ["table"], ["view"], ["set"], ["hvac"], ["run"], ["results"],
                                     ["convert"]])
def test_help(command):
    result = quarvel(*command, "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage: quarvel")


def test_module_and_script_agree():
    module = subprocess.run([sys.executable, "-m", "quarvel", "info", "--example"], capture_output=True, text=True)
    script = quarvel("info", "--example")
    drop_time = lambda text: [line for line in text.splitlines() if not line.startswith("loaded in")]  # noqa: E731
    assert module.returncode == script.returncode == 0
    assert drop_time(module.stdout) == drop_time(script.stdout)


def test_info():
    result = quarvel("info", OFFICE, "--idd", SCHEMA)
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[1] == f"schema:  {SCHEMA} (version 9.1.0)"
    model = IDF.from_file(IDD.from_file(SCHEMA), OFFICE)
    classes = model.get_class_names()
    assert lines[2] == f"objects: {sum(len(model[c]) for c in classes)} in {len(classes)} classes"
    assert lines[3] == f"comments: {model.comment_count} lines"
    counted = [line.split()[0] for line in lines[5:]]
    schema_order = [c for c in IDD.from_file(SCHEMA).class_names() if c in counted]
    assert counted == schema_order
    counts = dict(line.split() for line in lines[5:])
    assert counts["Zone"] == "2" and counts["BuildingSurface:Detailed"] == "3"


def test_several_models_in_parallel(tmp_path):
    for name in ("a.idf", "b.idf", "c.idf"):
        shutil.copy(OFFICE, tmp_path / name)
    (tmp_path / "notes.txt").write_text("not a model")
    result = quarvel("info", tmp_path, "--idd", SCHEMA, "--jobs", "2")
    assert result.returncode == 0
    assert [line for line in result.stdout.splitlines() if line.startswith("model:")] == [
        f"model:   {tmp_path / n}" for n in ("a.idf", "b.idf", "c.idf")]
    assert result.stderr == ""  # no progress bar when stderr is not a terminal


def test_format(tmp_path, idd):
    model = IDF.from_file(idd, OFFICE)
    result = quarvel("format", OFFICE, "--idd", SCHEMA, "--compact")
    assert result.returncode == 0 and result.stdout == model.format(compact=True) + "\n"
    out = tmp_path / "out.idf"
    assert quarvel("format", OFFICE, "--idd", SCHEMA, "-o", out, "--no-timestamp", "--field-size", "0").returncode == 0
    assert out.read_text().startswith("! Generated using Quarvel.py\n\n! ***")
    assert IDF.from_file(idd, out).format(field_size=0) == model.format(field_size=0)
    copy = tmp_path / "copy.idf"
    shutil.copy(OFFICE, copy)
    copy.chmod(0o640)
    result = quarvel("format", copy, "--idd", SCHEMA, "--in-place", "--preserve-order", "--no-timestamp")
    assert result.returncode == 0
    assert copy.read_text() == "! Generated using Quarvel.py\n\n" + model.format(preserve_order=True) + "\n"
    assert copy.stat().st_mode & 0o777 == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["copy.idf", "out.idf"]  # no temporary left


@pytest.mark.parametrize(
    "args",
    [
        ["--in-place", "-o", "x.idf"],
        ["--field-size", "-1"],
        [str(DATA / "old_mac.idf")],  # two models, no --in-place or -o DIR
    ],
)
def test_format_usage_errors(args):
    result = quarvel("format", OFFICE, *args, "--idd", SCHEMA)
    assert result.returncode == 2
    assert result.stderr.startswith("quarvel: ") and len(result.stderr.splitlines()) == 1


def test_format_into_a_missing_directory(tmp_path):
    target = tmp_path / "missing" / "out.idf"
    result = quarvel("format", OFFICE, "--idd", SCHEMA, "-o", target)
    assert result.returncode == 2
    assert result.stderr == f"quarvel: {target}: No such file or directory\n"


FAULTY = """Version,9.1;
Timestep, banana;
Building, Office, 0, Lakeside, 0.04, 0.4, FullExterior, 25, 6, 1, 2, 3;
Site:Location, Here, 999, 0, 0, 0;
Zone, Office;
Zone, OFFICE;
"""


def test_check_reports_each_finding_with_its_line(tmp_path):
    model = tmp_path / "faulty.idf"
    model.write_text(FAULTY)
    result = quarvel("check", model, "--idd", SCHEMA)
    assert result.returncode == 1
    assert result.stdout.splitlines() == [
        f"{model}:2: E201 invalid-number: Timestep, Number of Timesteps per Hour: 'banana' is not a number.",
        f"{model}:3: E204 invalid-choice: Building 'Office', Terrain: 'Lakeside' is not one of the choices "
        "(Country, Suburbs, City, Ocean, Urban).",
        f"{model}:3: E206 too-many-fields: Building 'Office': 11 fields are given, but the class has only 8.",
        f"{model}:4: E203 out-of-range: Site:Location 'Here', Latitude: 999 is above the maximum of 90.",
        f"{model}:6: E303 duplicate-name: Zone 'OFFICE', Name: The name 'OFFICE' is already used by another Zone "
        "object on line 5.",
        f"{model}: 5 errors, 0 warnings",
    ]
    # the fixture's two zones have a few surfaces each, enclosing nothing
    assert quarvel("check", OFFICE, "--idd", SCHEMA, "--ignore", "zone-not-enclosed").stdout == \
        f"{OFFICE}: 0 errors, 0 warnings\n"


@pytest.mark.parametrize(("options", "status", "codes"), [
    (["--select", "E201,out-of-range"], 1, ["E201", "E203"]),
    (["--ignore", "E201,E204,E206,E203,duplicate-name"], 0, []),
    (["--select", "W202", "--strict"], 0, []),
])
def test_check_options_and_json(tmp_path, options, status, codes):
    model = tmp_path / "faulty.idf"
    model.write_text(FAULTY)
    result = quarvel("check", model, "--idd", SCHEMA, "--format", "json", *options)
    assert result.returncode == status
    records = json.loads(result.stdout)
    assert [r["code"] for r in records] == codes
    assert all(r["file"] == str(model) and set(r) >= {"line", "rule", "severity", "message"} for r in records)


def test_check_warnings_fail_only_when_strict(tmp_path):
    model = tmp_path / "warned.idf"
    model.write_text("Version,9.1;\nBuilding,B;\nTimestep, 4.5;\n")
    assert quarvel("check", model, "--idd", SCHEMA).returncode == 0
    assert quarvel("check", model, "--idd", SCHEMA, "--strict").returncode == 1
    unknown = quarvel("check", model, "--idd", SCHEMA, "--select", "E999")
    assert unknown.returncode == 2 and unknown.stderr.startswith("quarvel: --select: no rule named E999")


def test_refs():
    result = quarvel("refs", OFFICE, "ZONE", "west zone", "--idd", SCHEMA)
    assert result.returncode == 0
    lines = result.stdout.splitlines()
    assert lines[0] == "Zone 'West Zone' is referred to by 5 objects"
    assert "  People 'West Zone People' -> Zone or ZoneList Name" in lines  # through which field
    people = quarvel("refs", OFFICE, "People", "West Zone People", "--idd", SCHEMA).stdout.splitlines()
    assert "  Zone or ZoneList Name = 'West Zone' -> Zone 'West Zone'" in people
    missing = quarvel("refs", OFFICE, "Zone", "Nowhere", "--idd", SCHEMA)
    assert missing.returncode == 2 and missing.stderr == f"quarvel: {OFFICE}: no Zone object named 'Nowhere'\n"


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("Zone,A;\nPeople,P\nA;\n", ":3: IDF parsing error (Line 3): missing delimiter before 'A'."),
        ("Zone,A;\n\n  Nope , x;\n", ":3: unknown class 'Nope'"),
        ("Zone,Nope;\nZone,B;\n\nNope,x;\n", ":4: unknown class 'Nope'"),  # not where the name is a value
        ("Zone,A", ":1: IDF parsing error (Line 1): unterminated object before EOF; missing ';'."),
    ],
)
def test_bad_models(tmp_path, text, message):
    path = tmp_path / "bad.idf"
    path.write_text(text)
    result = quarvel("info", path, "--idd", SCHEMA)
    assert result.returncode == 2
    assert result.stderr == f"quarvel: {path}{message}\n"
    assert "Traceback" not in result.stderr


def test_bad_schema_and_missing_files(tmp_path):
    schema = tmp_path / "bad.idd"
    schema.write_text("Zone,\n  A1, \\field Name\n")
    result = quarvel("check", OFFICE, "--idd", schema)
    assert result.returncode == 2
    assert result.stderr == (f"quarvel: {schema}:2: IDD parsing error (Line 2): class 'Zone' (line 1) is "
                             "missing its closing ';'\n")
    missing = quarvel("info", tmp_path / "none.idf", "--idd", SCHEMA)
    assert missing.returncode == 2 and missing.stderr == f"quarvel: {tmp_path / 'none.idf'}: No such file or directory\n"
    no_schema = quarvel("info", OFFICE, env={"QUARVEL_IDD_PATH": str(tmp_path)})
    assert no_schema.returncode == 2 and no_schema.stderr == (
        f"quarvel: {OFFICE}: no schema is known: register the folder of your schemas with "
        "quarvel.idd.register(path) or list it in QUARVEL_IDD_PATH, or name the schema (schema=, --idd)\n")
    assert quarvel("nope").returncode == 2


def test_debug_shows_the_traceback(tmp_path):
    result = quarvel("--debug", "info", tmp_path / "none.idf", "--idd", SCHEMA)
    assert result.returncode != 0 and "Traceback" in result.stderr


# ---- defects a newcomer met, and the conventions of mature tools ------------------------------


@pytest.mark.parametrize(("args", "message"), [
    (["format", OFFICE, OFFICE, "-o", "{tmp}/"], "{office} and {office} would both be written to {tmp}/office.idf"),
    (["format", OFFICE, "-o", "{tmp}/not_made/"], "{tmp}/not_made/: no such folder"),
    (["format", OFFICE, "--field-size", str(2**40)], f"--field-size must be between 0 and 4096, got {2**40}"),
    (["format", OFFICE, "--field-size", "100000000"], "--field-size must be between 0 and 4096, got 100000000"),
    (["info", OFFICE, "--jobs", "-5"], "--jobs must be at least 1, got -5"),
    (["info", OFFICE, "--idd", "{tmp}/empty.idd"], "{tmp}/empty.idd: not a schema: no classes"),
    (["info", OFFICE, "--idd", "{tmp}/binary.idd"], "{tmp}/binary.idd:1: IDD parsing error (Line 1): "
                                                   "class '\x1b[31m' (line 1) is missing its closing ';'"),
])
def test_usage_errors_are_one_line_and_write_nothing(tmp_path, args, message):
    (tmp_path / "empty.idd").write_text("! only a comment\n")
    (tmp_path / "binary.idd").write_bytes(b"\x1b[31m," + b" " * 40)  # text, with a control sequence
    filled = [a.format(tmp=tmp_path) for a in args]
    if "--idd" not in filled:
        filled += ["--idd", SCHEMA]
    result = quarvel(*filled)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    expected = message.format(tmp=tmp_path, office=OFFICE).replace("\x1b", "\\x1b")
    assert result.stderr == f"quarvel: {expected}\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["binary.idd", "empty.idd"]


EXAMPLE_EPJSON = str(Path(quarvel_package.__file__).parent / "data" / "example.epJSON")
EXAMPLE_IDD = str(Path(quarvel_package.__file__).parent / "data" / "example.idd")
EVERY_COMMAND = {
    "info": ["info", OFFICE, "--idd", SCHEMA],
    "format": ["format", OFFICE, "--idd", SCHEMA],
    "check": ["check", OFFICE, "--idd", SCHEMA],
    "diff": ["diff", OFFICE, DATA / "compact_crlf.idf", "--idd", SCHEMA],
    "refs": ["refs", OFFICE, "Zone", "West Zone", "--idd", SCHEMA],
    "table": ["table", OFFICE, "Zone", "--idd", SCHEMA],
    "view": ["view", "--example", "-o", "-"],
    "convert": ["convert", "--example", "--schema", EXAMPLE_EPJSON, "-o", "-"],
    "--version": ["--version"],
    "--help": ["--help"],
}


@pytest.mark.parametrize("stdout", ["/dev/full", "closed"])
@pytest.mark.parametrize("command", EVERY_COMMAND)
def test_output_that_cannot_be_written_is_an_error(command, stdout):
    target = subprocess.DEVNULL if stdout == "closed" else open("/dev/full", "w")
    closing = {"pass_fds": ()} if stdout != "closed" else {"preexec_fn": lambda: os.close(1)}
    try:
        done = subprocess.run([ENTRY, *map(str, EVERY_COMMAND[command])], stdout=target, stderr=subprocess.PIPE,
                              text=True, **closing)
    finally:
        if stdout != "closed":
            target.close()
    expected = ("standard output is closed" if stdout == "closed"
                else "cannot write to standard output: No space left on device")
    assert (done.returncode, done.stderr) == (2, f"quarvel: {expected}\n")


def test_closed_standard_input_and_one_line_usage_errors(tmp_path):
    done = subprocess.run([ENTRY, "info", "-", "--idd", SCHEMA], capture_output=True, text=True,
                          preexec_fn=lambda: os.close(0))
    assert (done.returncode, done.stderr) == (2, "quarvel: standard input is closed: there is no model to read from '-'\n")
    for args, message in [(["diff", OFFICE, OFFICE, "--rel-tol", "abc"], "argument --rel-tol: invalid float value: 'abc'"),
                          (["info", OFFICE, "--jobs", "x"], "argument --jobs/-j: invalid int value: 'x'")]:
        done = quarvel(*args, "--idd", SCHEMA)
        command = args[0]
        assert (done.returncode, done.stderr) == (2, f"quarvel {command}: {message} (see quarvel {command} --help)\n")
    for args in (["diff", OFFICE, OFFICE, OFFICE], ["diff", OFFICE, OFFICE, "--rel-tol", "nan"]):
        assert quarvel(*args, "--idd", SCHEMA).returncode == 2


def test_convert_never_writes_over_a_model_it_converts(tmp_path):
    folder = tmp_path / "both"
    folder.mkdir()
    shutil.copy(EXAMPLE_IDF_PATH, folder / "office.idf")
    schema = ["--idd", EXAMPLE_IDD, "--schema", EXAMPLE_EPJSON]
    assert quarvel("convert", folder / "office.idf", *schema).returncode == 0
    before = {p.name: p.read_bytes() for p in folder.iterdir()}
    both = quarvel("convert", folder, *schema)
    assert both.returncode == 2 and both.stderr == (
        f"quarvel: {folder / 'office.epJSON'} would be converted over the model {folder / 'office.idf'}, which is "
        f"converted too; write it elsewhere with -o\n")
    itself = quarvel("convert", folder / "office.idf", "-o", folder / "office.idf", *schema)
    assert itself.stderr == f"quarvel: {folder / 'office.idf'} would be converted over itself; write it elsewhere with -o\n"
    assert {p.name: p.read_bytes() for p in folder.iterdir()} == before
    out = quarvel("convert", folder / "office.idf", "-o", "-", *schema)
    assert out.returncode == 0 and json.loads(out.stdout)["Zone"]["Office"]["multiplier"] == 1


@pytest.mark.parametrize(("content", "schema", "message"), [
    (b"\x00\x01\x02binary\xff" * 50, None, "{model}: not a model: the file holds binary data, not IDF text"),
    (b"", "", "{schema}: not JSON: Expecting value: line 1 column 1 (char 0)"),
    (None, "[1, 2]", "{schema}: not an epJSON schema: it has no 'properties'"),
    (None, '{"properties": {"Zone": 5}}',
     "{model}: the epJSON schema's Zone is not laid out as the engine's: its definition is not a JSON object"),
    (b'{"Zone": 5}', None, "{model}: Zone: a class's objects belong in a JSON object keyed by name"),
])
def test_convert_bad_inputs_are_one_line(tmp_path, content, schema, message):
    model = tmp_path / ("model.epJSON" if content and content.startswith(b"{") else "model.idf")
    model.write_bytes(content if content is not None else EXAMPLE_IDF_PATH.read_bytes())
    mapping = tmp_path / "schema.epJSON"
    mapping.write_text(schema) if schema is not None else shutil.copy(EXAMPLE_EPJSON, mapping)
    done = quarvel("convert", model, "-o", tmp_path / "out", "--idd", EXAMPLE_IDD, "--schema", mapping)
    assert (done.returncode, done.stderr) == (2, "quarvel: " + message.format(model=model, schema=mapping) + "\n")
    assert not (tmp_path / "out").exists()


def test_check_over_several_jobs_agrees_with_one(tmp_path):
    # Thousands of findings per model travel back from the workers whole and in order.
    text = Path(OFFICE).read_text() + "".join(f"People, P{i}, Nowhere {i}, Occupancy, People, 10;\n" for i in range(3000))
    for k in range(4):
        (tmp_path / f"m{k}.idf").write_text(text)
    one, two = (quarvel("check", tmp_path, "--idd", SCHEMA, "--jobs", jobs) for jobs in ("1", "2"))
    assert one.returncode == two.returncode == 1 and one.stdout == two.stdout
    assert one.stdout.count("Nowhere") >= 4 * 3000


def test_control_bytes_are_shown_escaped(tmp_path):
    model = tmp_path / "escape.idf"
    model.write_bytes(b"Zone,A;\n\x1b[2JNope,x;\n")
    result = quarvel("info", model, "--idd", SCHEMA)
    assert result.returncode == 2 and result.stderr == f"quarvel: {model}:2: unknown class '\\x1b[2JNope'\n"


def test_a_new_output_file_gets_the_umask_mode(tmp_path):
    done = subprocess.run(["sh", "-c", f"umask 027 && {ENTRY} format {OFFICE} --idd {SCHEMA} -o {tmp_path}/new.idf"])
    assert done.returncode == 0 and (tmp_path / "new.idf").stat().st_mode & 0o777 == 0o640


def test_standard_input_and_output(tmp_path):
    text = Path(OFFICE).read_text()
    piped = subprocess.run([ENTRY, "format", "-", "--idd", SCHEMA, "-o", "-", "--compact"], input=text,
                           capture_output=True, text=True)
    assert piped.returncode == 0 and piped.stdout == IDF.from_string(IDD.from_file(SCHEMA), text).format(
        compact=True) + "\n"
    info = subprocess.run([ENTRY, "info", "-", "--idd", SCHEMA, "-q"], input=text, capture_output=True, text=True)
    assert info.stdout.startswith("<stdin>: ") and info.returncode == 0


def test_folders_are_searched_below_with_r_and_jobs_are_capped(tmp_path):
    (tmp_path / "deep" / "er").mkdir(parents=True)
    shutil.copy(OFFICE, tmp_path / "deep" / "er" / "office.idf")
    flat = quarvel("info", tmp_path / "deep", "--idd", SCHEMA)
    assert flat.returncode == 2 and "-r searches below it" in flat.stderr
    deep = quarvel("info", "-r", tmp_path / "deep", "--idd", SCHEMA, "--json", "--jobs", "400")
    assert deep.returncode == 0 and json.loads(deep.stdout)["objects"] == len(IDF.from_file(IDD.from_file(SCHEMA), OFFICE))


@pytest.mark.parametrize(("flag", "check"), [
    ("-q", lambda out: out == []),
    ("-v", lambda out: out[-1] == f"{OFFICE}: 0 errors, 0 warnings"),
])
def test_quiet_and_verbose(flag, check):
    result = quarvel("check", OFFICE, "--idd", SCHEMA, flag, "--ignore", "zone-not-enclosed")
    assert result.returncode == 0 and check(result.stdout.splitlines())
    info = quarvel("info", OFFICE, "--idd", SCHEMA, flag).stdout.splitlines()
    assert (len(info) == 1) if flag == "-q" else any(line.startswith("loaded in ") for line in info)


def test_version_and_examples_in_help():
    import quarvel as package

    assert quarvel("--version").stdout == f"quarvel {package.__version__}\n"
    for command in ("info", "format", "check", "refs", "diff", "table", "view", "convert"):
        assert "examples:\n  quarvel " in quarvel(command, "--help").stdout


def test_the_readmes_shell_examples_run(tmp_path):
    """Every `quarvel ...` line of the README, run with the bundled example standing in."""
    import quarvel as package

    readme = (Path(__file__).parent.parent / "README.md").read_text()
    commands = [line.split("  #")[0].strip() for block in re.findall(r"```sh\n(.*?)```", readme, flags=re.S)
                for line in block.splitlines() if line.startswith("quarvel ") or " | quarvel " in line]
    assert len(commands) >= 9
    (tmp_path / "models").mkdir()
    for name in ("office.idf", "model.idf"):
        shutil.copy(package.EXAMPLE_IDF, tmp_path / name)
    shutil.copy(package.EXAMPLE_IDF, tmp_path / "models" / "a.idf")
    shutil.copy(package.EXAMPLE_IDD, tmp_path / "schema.idd")
    shutil.copy(package.EXAMPLE_EPJSON, tmp_path / "schema.epJSON")
    (tmp_path / "library").mkdir()
    shutil.copy(package.EXAMPLE_IDF, tmp_path / "5ZoneAirCooled.idf")
    shutil.copy(package.EXAMPLE_IDF, tmp_path / "library" / "materials.idf")
    schemas = tmp_path / "schemas"  # where commands without --idd find the schema by version
    schemas.mkdir()
    shutil.copy(package.EXAMPLE_IDD, schemas / "release.idd")
    shutil.copy(package.EXAMPLE_EPJSON, schemas / "release.schema.epJSON")
    environment = {**os.environ, "QUARVEL_IDD_PATH": str(schemas)}
    for command in commands:
        result = subprocess.run(re.sub(r"(^|\| )quarvel ", rf"\g<1>{ENTRY} ", command), shell=True, cwd=tmp_path,
                                capture_output=True, text=True, env=environment)
        assert result.returncode == 0, f"{command}: {result.stderr}"
