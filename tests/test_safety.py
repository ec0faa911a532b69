"""What protects a user's data: values the file format cannot carry are refused, edits
are all or nothing, saves never leave a partial file, copies are independent, code that
runs in the middle of an operation cannot crash it, and numbers read the same in every
locale."""

from __future__ import annotations

import copy
import io
import os
import pickle
import stat
import subprocess
import sys
import textwrap
import threading
from pathlib import Path

import pytest

from quarvel import lexer
from quarvel import olvane
from quarvel.idd import IDD, UnknownFieldError
from quarvel.idf import IDF, IDFObject

from .conftest import DATA, check_invariants, model_state, object_state

OFFICE = DATA / "office.idf"
PICKLES = Path(__file__).parent / "pickles"


@pytest.fixture
def office(idd):
    return IDF.from_file(idd, OFFICE)


def snapshot(model):
    """Everything a failed operation must leave as it was."""
    state = model_state(model)
    return model.format(), len(model), state["classes"], state["referencers"], state["targets"]


def run_python(code: str, **env) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=300, env={**os.environ, **env}, cwd=Path(__file__).parent.parent)


# ---- values the file format cannot carry ----------------------------------------------


def legacy_model():
    olvane.IDF.setiddname(str(DATA / "test.idd"))
    return olvane.IDF(str(OFFICE))


WRITERS = {
    "item by name": lambda m, v: m["Zone"][0].__setitem__("Name", v),
    "item by index": lambda m, v: m["Zone"][0].__setitem__(0, v),
    "update with a dict": lambda m, v: m["Zone"][0].update({"Multiplier": 2, "Name": v}),
    "update with a list": lambda m, v: m["Zone"][0].update([v]),
    "add_object with a dict": lambda m, v: m.add_object("Zone", {"Name": v}),
    "add_object with a list": lambda m, v: m.add_object("Zone", [v]),
    "a standalone object": lambda m, v: IDFObject(model_state(m)["idd"], "Zone").__setitem__("Name", v),
}


@pytest.mark.parametrize("character", [",", ";", "!", "\r", "\n", "\x00"])
@pytest.mark.parametrize("writer", WRITERS)
def test_values_the_format_cannot_carry_are_refused(office, writer, character):
    before = snapshot(office)
    with pytest.raises(ValueError) as info:
        WRITERS[writer](office, f"Office{character} Level 2")
    assert str(info.value) == f"Zone field 'Name' cannot hold {character!r}: IDF text has no way to write it"
    assert snapshot(office) == before


@pytest.mark.parametrize("write", [
    lambda legacy: setattr(legacy.idfobjects["Zone"][0], "Name", "Office; Annex"),
    lambda legacy: legacy.newidfobject("Zone", Name="Office; Annex"),
])
def test_the_older_vocabulary_refuses_them_too(write, capsys):
    legacy = legacy_model()
    before = legacy.idfstr()
    with pytest.raises(ValueError, match=r"Zone field 'Name' cannot hold ';'"):
        write(legacy)
    assert legacy.idfstr() == before


@pytest.mark.parametrize("value", ["  Padded", "Padded ", "\tPadded", "Padded\t", " "])
@pytest.mark.parametrize("writer", WRITERS)
def test_blanks_at_either_end_are_refused(office, writer, value):
    # A reader of IDF text drops them: kept, they would read back as another name.
    before = snapshot(office)
    with pytest.raises(ValueError) as info:
        WRITERS[writer](office, value)
    assert str(info.value) == ("Zone field 'Name' cannot begin or end with a blank or a tab: IDF text drops them "
                               "when it is read")
    assert snapshot(office) == before


@pytest.mark.parametrize("compact", [False, True])
def test_blanks_and_tabs_inside_a_value_round_trip_exactly(office, idd, compact):
    office["Zone"][0]["Name"] = "North\tWing  Level 2"
    assert IDF.from_string(idd, office.format(compact=compact))["Zone"][0]["Name"] == "North\tWing  Level 2"


# ---- a failed edit changes nothing ----------------------------------------------------


class Unprintable:
    def __str__(self):
        raise RuntimeError("cannot be text")


@pytest.mark.parametrize(("edit", "error"), [
    (lambda m: m.add_object("Zone", {"Nmae": "Annex"}), UnknownFieldError),
    (lambda m: m.add_object("Zone", ["Annex", Unprintable()]), RuntimeError),
    (lambda m: m.add_object("Zone", ("Annex",)), TypeError),
    (lambda m: m["Zone"][0].update({"Name": "Renamed", "Nmae": "x"}), UnknownFieldError),
    (lambda m: m["Zone"][0].update({"Name": "Renamed", "Multiplier": Unprintable()}), RuntimeError),
    (lambda m: m["Zone"][0].update(["Renamed"] * 40), IndexError),
])
def test_a_failed_edit_changes_nothing(office, edit, error):
    before = snapshot(office)
    with pytest.raises(error):
        edit(office)
    assert snapshot(office) == before
    check_invariants(office)


def test_a_failed_newidfobject_adds_nothing(capsys):
    legacy = legacy_model()
    before = legacy.idfstr()
    with pytest.raises(UnknownFieldError):
        legacy.newidfobject("Zone", Nmae="Annex")
    assert legacy.idfstr() == before


# ---- saving ---------------------------------------------------------------------------


def save_core(model, target):
    model.save(target, include_timestamp=False)


def save_legacy(model, target):
    olvane.IDF.setiddname(str(DATA / "test.idd"))
    legacy = olvane.IDF(str(OFFICE))
    legacy.idfobjects["Zone"][0].Name = model["Zone"][0]["Name"]
    legacy.saveas(str(target))


def save_command_line(model, target):
    source = target.parent / "source.idf"
    model.save(source, include_timestamp=False)
    done = subprocess.run([sys.executable, "-m", "quarvel", "format", str(source), "--idd", str(DATA / "test.idd"),
                           "-o", str(target), "--no-timestamp"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("save", [save_core, save_legacy, save_command_line])
def test_saving_replaces_the_file_a_link_points_to_and_keeps_its_mode(office, tmp_path, save):
    office["Zone"][0]["Name"] = "Saved Zone"
    real = tmp_path / "real.idf"
    real.write_text("old content")
    real.chmod(0o640)
    link = tmp_path / "link.idf"
    link.symlink_to(real)
    save(office, link)
    assert link.is_symlink() and os.readlink(link) == str(real)
    assert "Saved Zone" in real.read_text()
    assert stat.S_IMODE(real.stat().st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir() if p.name.startswith(".")) == []


@pytest.mark.parametrize("save", ["core", "command line"])
def test_a_read_only_file_is_not_replaced(office, tmp_path, monkeypatch, save):
    # Renaming over a file needs only a writable folder: the file's own mode must be asked.
    # Root may write to any file, so there the answer of an unprivileged user is given.
    target = tmp_path / "locked.idf"
    target.write_text("keep me\n")
    target.chmod(0o444)
    if os.geteuid() == 0:
        access = os.access
        monkeypatch.setattr(os, "access", lambda path, mode: False if mode == os.W_OK else access(path, mode))
    if save == "core":
        with pytest.raises(PermissionError) as caught:
            office.save(target)
        assert (caught.value.errno, caught.value.filename) == (13, str(target))
    else:
        from quarvel.cli import main
        assert main(["format", str(OFFICE), "--idd", str(DATA / "test.idd"), "-o", str(target)]) == 2
    assert target.read_text() == "keep me\n" and [p.name for p in tmp_path.iterdir()] == ["locked.idf"]


def test_a_new_file_gets_the_mode_the_umask_allows(office, tmp_path):
    previous = os.umask(0o027)
    try:
        office.save(tmp_path / "new.idf")
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "new.idf").stat().st_mode) == 0o640


def test_a_write_that_fails_midway_leaves_the_old_file(tmp_path):
    target = tmp_path / "model.idf"
    target.write_text("the user's previous model\n")
    done = run_python(f"""
        import errno, resource
        from quarvel.idd import IDD
        from quarvel.idf import IDF
        model = IDF.from_file(IDD.from_file({str(DATA / 'test.idd')!r}), {str(OFFICE)!r})
        resource.setrlimit(resource.RLIMIT_FSIZE, (4000, 4000))
        try:
            model.save({str(target)!r})
        except OSError as error:
            print("refused", errno.errorcode[error.errno])
    """)
    assert done.stdout.strip() == "refused EFBIG", done.stderr
    assert target.read_text() == "the user's previous model\n"
    assert [p.name for p in tmp_path.iterdir()] == ["model.idf"]


def test_saves_and_loads_at_once_see_whole_models(idd, tmp_path):
    target = tmp_path / "shared.idf"
    models = [IDF.from_file(idd, OFFICE), IDF.from_string(idd, "Zone,Only One;")]
    models[0].save(target)
    counts = {len(m) for m in models}
    failures = []

    def writer(model):
        for _ in range(40):
            model.save(target)

    def reader():
        for _ in range(80):
            try:
                loaded = IDF.from_file(idd, target)
                if len(loaded) not in counts:
                    failures.append(len(loaded))
            except (ValueError, OSError) as error:
                failures.append(error)

    threads = [threading.Thread(target=writer, args=(m,)) for m in models] + [threading.Thread(target=reader)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert len(IDF.from_file(idd, target)) in counts


def test_save_to_a_file_object(office, idd):
    binary, text = io.BytesIO(), io.StringIO()
    office.save(binary, include_timestamp=False)
    office.save(text, include_timestamp=False)
    assert binary.getvalue().decode() == text.getvalue()
    assert IDF.from_string(idd, text.getvalue()).format() == office.format()


# ---- copies and pickles ---------------------------------------------------------------


def test_a_shallow_copy_of_a_model_is_independent(office):
    original_text = office.format()
    twin = copy.copy(office)
    twin["Zone"][0]["Name"] = "Renamed In Copy"
    twin.add_object("Zone", ["Added In Copy"])
    assert office.format() == original_text
    assert office["People"][0].get_referenced_object(1) is office["Zone"][0]
    assert office.get_object_by_name("Zone", "West Zone") is office["Zone"][0]
    assert twin.get_object_by_name("Zone", "Renamed In Copy") is twin["Zone"][0]
    assert model_state(twin)["idd"] is model_state(office)["idd"]  # the schema is shared
    check_invariants(twin)
    check_invariants(office)


def test_a_copy_of_an_object_belongs_to_no_model(office):
    zone = office["Zone"][0]
    twin = copy.copy(zone)
    assert twin.get_values() == zone.get_values() and twin not in office
    twin["Name"] = "Changed"
    assert zone["Name"] == "West Zone" and office.get_object_by_name("Zone", "Changed") is None
    with pytest.raises(ValueError, match="detached"):
        office.remove_object(twin)
    deep = copy.deepcopy(zone)
    assert deep in object_state(deep)["parent_idf"] and deep is not zone


@pytest.mark.parametrize("make", [
    lambda m: copy.copy(m),
    lambda m: copy.deepcopy(copy.copy(m)),
    lambda m: [list(m), m],
    lambda m: [m["Zone"][0], m, m["People"]],
    lambda m: m["Zone"][1],
])
def test_every_pickle_loads(office, make):
    loaded = pickle.loads(pickle.dumps(make(office)))
    if isinstance(loaded, list):
        objects, model = (loaded[0], loaded[1]) if isinstance(loaded[0], list) else ([loaded[0]], loaded[1])
        assert all(obj in model for obj in objects)
    elif isinstance(loaded, IDFObject):
        model = object_state(loaded)["parent_idf"]
        assert loaded in model and loaded["Name"] == "EAST ZONE"
    else:
        model = loaded
    assert model.format() == office.format()
    check_invariants(model)


def test_a_pickle_is_a_snapshot_even_when_a_hook_edits_the_model(office):
    expected = office.format()

    class Editing(pickle.Pickler):
        edited = False

        def persistent_id(self, obj):
            if isinstance(obj, IDFObject) and not self.edited:
                self.edited = True
                office["Zone"][0]["Name"] = "Renamed Meanwhile"
                office.remove_object(office["People"][0])
            return None

    buffer = io.BytesIO()
    Editing(buffer).dump(office)
    loaded = pickle.loads(buffer.getvalue())
    assert loaded.format() == expected
    check_invariants(loaded)


def test_a_deep_copy_while_another_thread_edits(office):
    stop = threading.Event()

    def edit():
        zones = office["Zone"]
        n = 0
        while not stop.is_set():
            zones[n % 2]["Name"] = f"Zone {n}"
            n += 1

    thread = threading.Thread(target=edit)
    thread.start()
    try:
        for _ in range(30):
            check_invariants(copy.deepcopy(office))
    finally:
        stop.set()
        thread.join()


def test_pickles_written_before_still_load():
    expected = (PICKLES / "model.idf").read_text()
    assert pickle.loads((PICKLES / "model.pickle").read_bytes()).format() == expected
    zone = pickle.loads((PICKLES / "object_of_model.pickle").read_bytes())
    assert zone["Name"] == "West Zone" and object_state(zone)["parent_idf"].format() == expected
    standalone = pickle.loads((PICKLES / "standalone_object.pickle").read_bytes())
    assert standalone["Name"] == "Standalone" and object_state(standalone)["parent_idf"] is None
    zones, model = pickle.loads((PICKLES / "objects_then_model.pickle").read_bytes())
    assert all(z in model for z in zones) and model.format() == expected
    check_invariants(model)
    legacy = pickle.loads((PICKLES / "legacy_model.pickle").read_bytes())
    assert legacy.idfobjects["Zone"][0].Name == "West Zone"


# ---- code that runs in the middle of an operation -------------------------------------

REENTRANT = {
    "str strips the schema mid-write": """
        o = IDFObject(idd, "Zone")
        class V:
            def __str__(self):
                o.__setstate__((b"", 0, None, None, 0, None, []))
                return "x"
        o["Name"] = V()
    """,
    "eq re-initialises mid-write": """
        o = IDFObject(idd, "Zone")
        class V:
            def __eq__(self, other):
                o.__setstate__((b"", 0, None, None, 0, None, []))
                return False
            __hash__ = object.__hash__
            def __str__(self):
                return "x"
        o["Name"] = V()
    """,
    "items() swaps in a schema that is then freed": """
        # A schema large enough that freeing it returns its memory to the system; the
        # object is the only holder of it.
        big = "".join(f"Filler{i},\\n A1;\\n" for i in range(3000)) + "Zone,\\n A1; \\\\field Name\\n"
        o = IDFObject(IDD.from_string(big), "Zone")
        class Sneaky(dict):
            def items(self):
                o.__init__(IDD.from_string("Other,\\n A1;\\n"), "Other")
                gc.collect()
                return [("Name", "x")]
        o.update(Sneaky())
    """,
    "a value removes its own object mid-write": """
        zone = model["Zone"][0]
        class V:
            def __str__(self):
                model.remove_object(zone)
                return "Renamed"
        zone["Name"] = V()
        assert zone not in model and model.get_object_by_name("Zone", "Renamed") is None
    """,
    "a value empties the model mid-add": """
        class V:
            def __str__(self):
                model.__setstate__((None, None, {}, {}, {}))
                return "x"
        model.add_object("Zone", [V()])
    """,
    "a key's lower() frees the wrapper's object": """
        wrapper = olvane.IDFObject()
        wrapper.__setstate__((IDFObject(idd, "Zone"),))  # the only holder of that object
        class Key(str):
            def lower(self):
                wrapper.__setstate__((IDFObject(idd, "Zone"),))
                gc.collect()
                return str.lower(self)
        olvane.IDF.setiddname(SCHEMA)
        setattr(wrapper, Key("Name"), "x")
        getattr(wrapper, Key("Name"))
    """,
    "a list subclass's iteration edits the object it updates": """
        zone = model["Zone"][0]
        class Values(list):
            def __iter__(self):
                model.remove_object(zone)
                zone.update(["Other"] * 3)
                return super().__iter__()
            def __len__(self):
                model.add_object("Zone", ["Annex"])
                return 99
        zone.update(Values(["Renamed", "", 2]))
    """,
    "an olvane value's __eq__ detaches the object written": """
        olvane.IDF.setiddname(SCHEMA)
        legacy = olvane.IDF(MODEL)
        zone = legacy.idfobjects["Zone"][0]
        class V:
            def __eq__(self, other):
                legacy.removeallidfobjects("Zone")
                gc.collect()
                return False
            __hash__ = None
            def __str__(self):
                return "Renamed"
        zone.Name = V()
        assert legacy.idfobjects["Zone"] == [] and zone.Name == "Renamed"
    """,
}


def test_a_new_that_hands_back_a_loaded_model_is_refused(office, idd):
    class Handing(IDF):
        def __new__(cls):
            return office

    before = snapshot(office)
    for load in (lambda: Handing.from_string(idd, "Zone, Annex;"), lambda: Handing.from_file(idd, OFFICE)):
        with pytest.raises(TypeError, match=r"__new__\(\) returned a model that is already loaded"):
            load()
        assert snapshot(office) == before
    check_invariants(office)


def test_a_digest_that_claims_any_schema_is_refused(idd):
    from quarvel.idd import clear_schema_cache, unpickle_IDD

    class AnyDigest(str):
        def __eq__(self, other):
            return True

        __hash__ = str.__hash__

    _, (cls, digest, packed) = idd.__reduce__()
    _, (_, _, other_packed) = IDD.from_string("Zone,\n A1; \\field Name\n").__reduce__()
    clear_schema_cache()
    with pytest.raises(TypeError, match=r"needs a str digest and bytes"):
        unpickle_IDD(cls, AnyDigest(digest), other_packed)
    with pytest.raises(ValueError, match="does not match its digest"):
        unpickle_IDD(cls, digest, other_packed)
    assert len(unpickle_IDD(cls, digest, packed).class_names()) == len(idd.class_names())


@pytest.mark.parametrize("case", REENTRANT)
def test_code_run_mid_operation_cannot_crash_the_interpreter(case):
    done = run_python(f"""
        import gc
        from quarvel import olvane
        from quarvel.idd import IDD
        from quarvel.idf import IDF, IDFObject
        SCHEMA, MODEL = {str(DATA / 'test.idd')!r}, {str(OFFICE)!r}
        model_state_is_whole = lambda m: len(m.__reduce__()) == 3 and m.__reduce__()[2][1] is not None
        idd = IDD.from_file(SCHEMA)
        model = IDF.from_file(idd, MODEL)
        try:
{textwrap.indent(textwrap.dedent(REENTRANT[case]), ' ' * 12)}
        except Exception as error:
            print("raised", type(error).__name__)
        if model_state_is_whole(model):
            import sys; sys.path.insert(0, "tests")
            from invariants import check_invariants
            check_invariants(model)
        print("survived")
    """)
    assert done.returncode == 0 and done.stdout.strip().endswith("survived"), done.stdout + done.stderr


# ---- numbers in every locale ----------------------------------------------------------


def test_numbers_do_not_depend_on_the_locale():
    done = run_python("""
        import locale
        try:
            locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
        except locale.Error:
            print("no locale")
            raise SystemExit
        from quarvel.idd import IDD
        from quarvel.idf import IDF
        idd = IDD.from_string("Thing,\\n N1; \\\\field Ratio\\n \\\\minimum 0.25\\n \\\\maximum 0.5\\n \\\\default 0.5\\n")
        info = idd.field_info("Thing", 0)
        model = IDF.from_string(idd, "Thing, 0.375;")
        print(info["minimum"], info["maximum"], model["Thing"][0]["Ratio"], model.add_object("Thing")["Ratio"])
    """)
    if done.stdout.strip() == "no locale" and not os.environ.get("QUARVEL_REQUIRE_LOCALE"):
        pytest.skip("the de_DE.UTF-8 locale is not installed")
    assert done.stdout.strip() == "0.25 0.5 0.375 0.5", done.stderr


# ---- smaller faults -------------------------------------------------------------------


@pytest.mark.parametrize("attribute", ["\\minimum>0", "\\minimum> 0", "\\maximum<10", "\\maximum< 10"])
def test_exclusive_bounds_with_or_without_a_blank(attribute):
    idd = IDD.from_string(f"Thing,\n N1; \\field Size\n {attribute}\n")
    info = idd.field_info("Thing", 0)
    bound = "minimum" if "minimum" in attribute else "maximum"
    assert (info[bound], info[f"{bound}_exclusive"]) == (0.0 if bound == "minimum" else 10.0, True)


def test_a_byte_order_mark_is_dropped_from_text_too(idd):
    assert IDF.from_string(idd, "\ufeffZone, A;")["Zone"][0]["Name"] == "A"


@pytest.mark.parametrize(("checksum", "shown"), [(2**64, "0x10000000000000000"), (-1, "-0x1")])
def test_checksums_out_of_range_are_refused_as_pickle_errors(checksum, shown):
    from quarvel import idf as idfmod

    with pytest.raises(pickle.PickleError, match=rf"^Incompatible checksums \({shown} vs"):
        idfmod.unpickle_IDF(IDF, checksum, None)


def test_read_only_tuple_compares_whole_names(office):
    with pytest.raises(AttributeError) as info:
        getattr(office["Zone"], "append\x00x")
    assert str(info.value) == "'IDFObjectTuple' object has no attribute 'append\x00x'"


def test_lines_are_counted_past_two_to_the_31(tmp_path, idd):
    path = tmp_path / "tall.idf"
    blank_lines = 2**31 + 5
    with path.open("wb") as out:
        chunk = b"\n" * (64 * 1024 * 1024)
        for _ in range(blank_lines // len(chunk)):
            out.write(chunk)
        out.write(b"\n" * (blank_lines % len(chunk)) + b"Zone,\nA\nB;\n")
    with pytest.raises(ValueError, match=rf"^IDF parsing error \(Line {blank_lines + 3}\): missing delimiter"):
        IDF.from_file(idd, path)
    assert lexer._tokenize(b"\n" * 3 + b"a")[0] == (lexer.TOKEN_TEXT, b"a", 4)


def test_huge_names_with_little_memory_left_raise_memory_error():
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("address-space limits do not apply under AddressSanitizer")
    done = run_python(f"""
        import resource
        from quarvel.idd import IDD
        from quarvel.idf import IDF
        idd = IDD.from_file({str(DATA / 'test.idd')!r})
        model = IDF.from_file(idd, {str(OFFICE)!r})
        name = "z" * (200 * 1024 * 1024)
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 100 * 1024 * 1024, resource.RLIM_INFINITY))
        calls = [lambda: idd.class_info(name), lambda: idd.field_index(name, 0), lambda: idd.field_name(name, 0),
                 lambda: idd.field_info(name, 0), lambda: model.get_object_by_name("Zone", name),
                 lambda: model.add_object(name), lambda: model["Zone"][0].__setitem__("Name", name)]
        for call in calls:
            try:
                call()
                print("returned")
            except MemoryError:
                print("MemoryError")
            except (KeyError, ValueError) as error:
                print(type(error).__name__)
    """)
    assert done.returncode == 0, done.stderr
    assert set(done.stdout.split()) <= {"MemoryError", "KeyError", "ValueError", "returned"}


# ---- modules built from different sources -------------------------------------------


def test_a_table_of_another_struct_layout_fails_the_import():
    done = run_python("""
        import ctypes, quarvel.idd as idd
        api = ctypes.pythonapi
        api.PyCapsule_GetPointer.restype = ctypes.c_void_p
        api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        api.PyCapsule_New.restype = ctypes.py_object
        api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        name = b"quarvel.idd._C_API"
        table = api.PyCapsule_GetPointer(idd._C_API, name)
        size = ctypes.c_uint32.from_address(table + 4).value
        copy = ctypes.create_string_buffer(ctypes.string_at(table, size), size)
        ctypes.c_uint64.from_address(ctypes.addressof(copy) + 8).value ^= 1  # another layout
        idd._C_API = api.PyCapsule_New(ctypes.addressof(copy), name, None)
        try:
            import quarvel.idf
        except ImportError as error:
            print(error)
    """)
    assert "quarvel.idd._C_API shares structs of another layout" in done.stdout, done.stdout + done.stderr
