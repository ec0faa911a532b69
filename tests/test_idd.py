"""The schema module: loading dictionaries, their attributes and field lookups."""

import pickle
import random

import pytest

from quarvel import idd as iddmod
from quarvel.idd import IDD, UnknownFieldError
from quarvel.idf import IDF

from .conftest import DATA


def test_loads_the_test_dictionary(idd):
    assert idd.version == "9.1.0"
    assert idd.initialized
    names = idd.class_names()
    assert names[:3] == ["Lead Input", "Version", "Timestep"]
    assert names[-1] == "Output:Variable"
    assert repr(idd) == f"<IDD version '9.1.0', {len(names)} classes>"


def test_class_attributes(idd):
    building = idd.class_info("BUILDING")
    assert building["name"] == "Building"
    assert building["group"] == "Simulation Parameters"
    assert building["min_fields"] == 8
    assert building["unique_object"] and building["required_object"]
    assert building["extensible"] is None
    assert idd.class_info("lead input")["group"] == ""  # before the first \group
    assert idd.class_info("lead input")["fields"] == []
    surface = idd.class_info("BuildingSurface:Detailed")
    assert surface["extensible"] == {"begin_index": 10, "size": 3}
    assert surface["format"] == "vertices"
    assert surface["memo"] == "Allows for detailed entry of building heat transfer surfaces."


def test_field_attributes(idd):
    info = idd.field_info("Material", "thickness")
    assert info["name"] == "Thickness"
    assert info["code"] == "N1"
    assert info["units"] == "m" and info["ip_units"] == "in"
    assert info["required"]
    assert info["field_type"] == iddmod.FIELDTYPE_REAL  # N field without \type
    assert (info["minimum"], info["minimum_exclusive"]) == (0.0, True)
    assert (info["maximum"], info["maximum_exclusive"]) == (3.0, False)
    assert info["default"] is None

    terrain = idd.field_info("Building", 2)
    assert terrain["field_type"] == iddmod.FIELDTYPE_CHOICE
    assert terrain["choices"] == ["Country", "Suburbs", "City", "Ocean", "Urban"]
    assert terrain["default"] == "Suburbs"

    zone_name = idd.field_info("Zone", "Name")
    assert zone_name["references"] == ["ZoneNames", "ZoneAndZoneListNames"]
    assert zone_name["field_type"] == iddmod.FIELDTYPE_ALPHA

    assert idd.field_info("Zone", "Volume")["autocalculatable"]
    assert idd.field_info("Sizing:Zone", "Cooling Design Air Flow Rate")["autosizable"]
    assert idd.field_info("Timestep", 0)["field_type"] == iddmod.FIELDTYPE_INTEGER
    assert idd.field_info("NodeList", 1)["field_type"] == iddmod.FIELDTYPE_NODE
    # one meaning for both keys: the field's type, as a constant and as a word, also when
    # the schema writes no \type
    for cls, key, word in (("Timestep", 0, "integer"), ("Zone", "Name", "alpha"), ("Zone", "X Origin", "real")):
        info = idd.field_info(cls, key)
        assert info["type"] == word and info["field_type"] == getattr(iddmod, f"FIELDTYPE_{word.upper()}")
    node_list_name = idd.field_info("NodeList", "Name")
    assert node_list_name["references"] == node_list_name["object_lists"] == ["NodeListNames"]
    variable = idd.field_info("Output:Variable", "Variable Name")
    assert variable["external_lists"] == ["AutoCalculatedVariables"]
    assert variable["field_type"] == iddmod.FIELDTYPE_DEFAULT  # \type external-list
    assert idd.field_info("Building", "Name")["retaincase"]


@pytest.mark.parametrize(
    ("class_name", "key", "index"),
    [
        ("Zone", "Name", 0),
        ("zone", "NAME", 0),
        ("ZONE", "ceiling height", 7),
        ("Zone", 8, 8),
        ("Zone", True, 1),
        ("BuildingSurface:Detailed", "Vertex 1 X-coordinate", 10),
        ("BuildingSurface:Detailed", "vertex 4 z-COORDINATE", 21),
        ("BuildingSurface:Detailed", "Vertex 5 X-coordinate", 22),  # beyond the listed groups
        ("BuildingSurface:Detailed", "Vertex 120 Y-coordinate", 10 + 119 * 3 + 1),
        ("BuildingSurface:Detailed", 5000, 5000),  # any index of a repeating class
        ("Schedule:Compact", "Field 1", 2),
        ("Schedule:Compact", "field 1000", 1001),
        ("ZoneList", "Zone 7 Name", 7),
        ("Gadget", "Side 12 Length-Scale", 3 + 11 * 2),
        ("Gadget", "Side 12 Width", 4 + 11 * 2),
        ("Lights", "WATTS/AREA", 5),
    ],
)
def test_field_index(idd, class_name, key, index):
    assert idd.field_index(class_name, key) == index


@pytest.mark.parametrize(
    ("fields", "key", "index"),
    [
        (["Name", "Width", "NAME"], "name", 0),  # the first field of a name wins
        (["Ärger", "ärger", "Other"], "ÄRGER", 0),  # also for a name that is not ASCII
        (["Kelvin", "\u212aelvin"], "kelvin", 0),  # the Kelvin sign lowers to an ASCII k
        (["\u212aelvin", "Kelvin"], "KELVIN", 0),
        ([f"Field {i}" for i in range(300)], "FIELD 299", 299),  # past the first growths
        (["Name", "Width"], "height", -1),
    ],
)
def test_field_names_index_by_their_lowered_form(fields, key, index):
    lines = "".join(f"  A{i + 1}{';' if i == len(fields) - 1 else ','} \\field {name}\n" for i, name in enumerate(fields))
    schema = IDD.from_string("Thing,\n" + lines)
    if index < 0:
        with pytest.raises(KeyError):
            schema.field_index("Thing", key)
    else:
        assert schema.field_index("Thing", key) == index


def test_unicode_field_names_match_in_any_case():
    schema = IDD.from_string("Ünit,\n  A1, \\field Ärger Größe\n  N1; \\field ΣΑΣ\n")
    assert schema.field_index("Ünit", "ärger größe") == 0
    assert schema.field_index("ÜNIT", "ÄRGER GRÖßE") == 0
    assert schema.field_index("Ünit", "σας") == 1
    # class names fold ASCII letters only, so accented letters keep their case
    with pytest.raises(KeyError):
        schema.field_index("ünit", 0)


@pytest.mark.parametrize(
    ("class_name", "key", "error", "message"),
    [
        ("Zone", "Nmae", UnknownFieldError, "Unknown field 'Nmae' for class 'Zone'"),
        ("Zone", "Name {m}", UnknownFieldError, "Unknown field 'Name {m}' for class 'Zone'"),
        ("Zone", " Name", UnknownFieldError, "Unknown field ' Name' for class 'Zone'"),
        ("BuildingSurface:Detailed", "Vertex 0 X-coordinate", UnknownFieldError, None),
        ("BuildingSurface:Detailed", "Vertex 01 X-coordinate", UnknownFieldError, None),
        ("Zone", 9, IndexError, "Field index 9 is out of range for class 'Zone', which has 9 fields"),
        ("Zone", -1, IndexError, None),
        ("BuildingSurface:Detailed", -1, IndexError, None),
        ("BuildingSurface:Detailed", 2**24, IndexError,
         "Field index 16777216 is out of range for class 'BuildingSurface:Detailed', which repeats its fields up to "
         "index 16777215"),
        ("BuildingSurface:Detailed", "Vertex 9999999 X-coordinate", UnknownFieldError, None),
        ("Zone", 10**40, IndexError, None),
        ("Zone", 1.0, TypeError, "Field key must be int or str, not float"),
        ("Zone", None, TypeError, None),
    ],
)
def test_field_index_errors(idd, class_name, key, error, message):
    with pytest.raises(error) as info:
        idd.field_index(class_name, key)
    if message is not None:
        assert str(info.value) == message


def test_unknown_field_error_is_a_lookup_and_attribute_error(idd):
    assert issubclass(UnknownFieldError, KeyError)
    assert issubclass(UnknownFieldError, AttributeError)
    with pytest.raises(KeyError):
        idd.field_index("Zone", "nope")
    with pytest.raises(AttributeError):
        idd.field_index("Zone", "nope")


def test_unknown_class(idd):
    with pytest.raises(KeyError, match="Unknown class: 'Nope'"):
        idd.class_info("Nope")
    with pytest.raises(TypeError, match="Argument 'class_name' has incorrect type"):
        idd.field_index(1, 0)


@pytest.mark.parametrize(
    ("class_name", "key", "units", "name"),
    [
        ("Zone", 7, True, "Ceiling Height {m}"),
        ("Zone", 7, False, "Ceiling Height"),
        ("Zone", 0, True, "Name"),
        ("BuildingSurface:Detailed", "vertex 121 x-coordinate", True, "Vertex 121 X-coordinate {m}"),
        ("BuildingSurface:Detailed", 10 + 3 * 120 + 2, False, "Vertex 121 Z-coordinate"),
        ("Schedule:Compact", 1001, True, "Field 1000"),
        ("Gadget", "side 3 width", True, "Side 3 Width"),
        ("Lead Input", 0, True, None),
    ],
)
def test_field_name(idd, class_name, key, units, name):
    if name is None:
        with pytest.raises(IndexError):
            idd.field_name(class_name, key, units=units)
    else:
        assert idd.field_name(class_name, key, units=units) == name


def test_repeated_group_definitions(idd):
    beyond = idd.field_info("BuildingSurface:Detailed", 10 + 3 * 50 + 1)
    assert beyond["name"] == "Vertex 51 Y-coordinate"
    assert beyond["units"] == "m" and beyond["code"] is None
    assert idd.field_info("ZoneList", 40)["object_lists"] == ["ZoneNames"]


def test_field_without_name_is_named_by_its_code():
    schema = IDD.from_string("Thing,\n  A1,\n  n2; \\units m\n")
    assert schema.class_info("thing")["fields"] == ["A1", "N2"]
    assert schema.field_name("thing", 1) == "N2 {m}"


def test_a_schema_outlives_the_text_it_was_read_from():
    # The schema's records read its own copy of the text: the caller's string may go.
    text = "".join(["Zone:Like,\n  A1, \\field Name\n  \\reference ZoneNames\n",
                    "  a2, \\field Kind\n  \\type choice\n  \\key Open\n  \\key Shut\n  \\default Open\n",
                    "  N1; \\field Floor Area\n  \\units m2\n  \\minimum> 0\n"])
    schema = IDD.from_string(text)
    del text
    churn = [("x" * 64 + str(i)).encode() for i in range(20000)]
    del churn
    assert schema.class_info("zone:like")["fields"] == ["Name", "Kind", "Floor Area"]
    kind = schema.field_info("Zone:Like", "kind")
    assert (kind["code"], kind["choices"], kind["default"]) == ("A2", ["Open", "Shut"], "Open")
    assert schema.field_info("Zone:Like", 0)["references"] == ["ZoneNames"]
    assert schema.field_name("Zone:Like", 2) == "Floor Area {m2}"
    model = IDF.from_string(schema, "Zone:Like, Hall, Shut, 12;")
    assert "!- Floor Area {m2}" in model.format()


def test_dictionary_syntax_variants():
    text = (
        "!IDD_Version 2.0\r\n"
        "\\Group First\r"
        "  Indented:Class,   ! comment after the class name\n"
        "   \\Memo first line ! not part of the memo\n"
        "   \\memo second line\n"
        "   \\MIN-FIELDS 2\n"
        "  A1, A2, N1; \\field Last\n"
        "     \\UNITS W\n"
        "     \\Type Integer\n"
        "     \\unknown-attribute whatever\n"
        "Bare;\n"
    )
    schema = IDD.from_string(text)
    assert schema.version == "2.0"
    info = schema.class_info("indented:class")
    assert info["group"] == "First"
    assert info["memo"] == "first line\nsecond line"
    assert info["min_fields"] == 2
    assert info["fields"] == ["A1", "A2", "Last"]
    assert schema.field_info("Indented:Class", 2)["field_type"] == iddmod.FIELDTYPE_INTEGER
    assert schema.field_name("Indented:Class", 2) == "Last {W}"
    assert schema.class_names() == ["Indented:Class", "Bare"]
    # a field's lists keep each its own order, whatever order their lines interleave in
    schema = IDD.from_string("Mixed,\n  A1; \\key B\n \\object-list L1\n \\key A\n \\reference R\n"
                             " \\external-list E\n \\object-list L2\n \\reference-class-name C\n \\key C\n")
    info = schema.field_info("Mixed", 0)
    assert [info[k] for k in ("choices", "references", "object_lists", "external_lists", "reference_class_names")] == [
        ["B", "A", "C"], ["R"], ["L1", "L2"], ["E"], ["C"]]
    # a class named on the line that closes another has the fields of the lines after it
    schema = IDD.from_string("First,\n  A1; Second,\n  A1, \\field Kept\n\n  N1; \\units m\n")
    assert schema.class_info("Second")["fields"] == ["Kept", "N1"]
    assert schema.field_name("Second", 1) == "N1 {m}"


def test_empty_dictionary():
    schema = IDD.from_string("")
    assert schema.class_names() == []
    assert schema.version is None
    assert IDD.from_string("! just comments\n\n").class_names() == []


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("  A1, \\field Name\n", r"\(Line 1\): field A1 outside a class"),
        ("Zone,\n  A1; \\field Name\n  A2; \\field After\n", r"\(Line 3\): field A2 outside a class"),
        ("Zone,\n  A1, \\field Name\n", r"\(Line 2\): class 'Zone' \(line 1\) is missing its closing ';'"),
        ("A;\n B, A1; C,\n\n  A1,\n  B2;\n", r"\(Line 5\): class 'C' \(line 2\) is missing its closing ';'"),
        ("Zone,\n  A1, \\field Name\nBuilding,\n  A1;\n", r"\(Line 3\): class 'Zone' \(line 1\) is missing"),
        ("Zone,\n \\min-fields many\n A1;\n", r"\(Line 2\): \\min-fields needs a whole number, got 'many'"),
        ("Zone,\n \\extensible:x\n A1;\n", r"\(Line 2\): \\extensible needs a positive whole number"),
        ("Zone,\n \\extensible:3\n A1, \\begin-extensible\n A2;\n",
         r"\(Line 1\): class 'Zone' declares \\extensible:3 but lists only 2 repeatable fields"),
        ("Zone;\nzone;\n", r"\(Line 2\): duplicate class 'zone' \(first defined on line 1\)"),
        ("Zone\n", r"\(Line 1\): class name 'Zone' must be followed by ',' or ';'"),
        (", A1;\n", r"\(Line 1\): missing class name before ','"),
        ("Zone,\n A1 A2;\n", r"\(Line 2\): class 'Zone' \(line 1\) is missing"),
        ("Zone,\n A1,,A2;\n", r"\(Line 2\): missing field code before ','"),
    ],
)
def test_malformed_dictionaries(text, message):
    with pytest.raises(ValueError, match=r"^IDD parsing error " + message):
        IDD.from_string(text)


def test_truncated_and_garbage_text_never_crash():
    full = (DATA / "test.idd").read_text()
    rng = random.Random(7)
    for cut in sorted(rng.sample(range(len(full)), 60)):
        try:
            IDD.from_string(full[:cut])
        except ValueError as exc:
            assert str(exc).startswith("IDD parsing error (Line ")
    for _ in range(30):
        garbage = bytes(rng.randrange(256) for _ in range(2000)).decode("latin-1")
        try:
            IDD.from_string(garbage)
        except ValueError as exc:
            assert str(exc).startswith("IDD parsing error (Line ")


def test_huge_single_line_value():
    memo = "m" * (50 * 1024 * 1024)
    schema = IDD.from_string(f"Zone,\n \\memo {memo}\n A1; \\field Name\n")
    assert len(schema.class_info("Zone")["memo"]) == len(memo)


def test_from_file_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        IDD.from_file(tmp_path / "missing.idd")
    bad = tmp_path / "bad.idd"
    bad.write_text("Zone,\n A1,\n")
    with pytest.raises(ValueError, match="IDD parsing error"):
        IDD.from_file(bad)


def test_from_file_reads_windows_1252(tmp_path):
    path = tmp_path / "latin.idd"
    path.write_bytes(b"\xef\xbb\xbf!IDD_Version 1\nZone,\n A1; \\field Name \x96 \xe9t\xe9\n")
    assert IDD.from_file(str(path)).class_info("Zone")["fields"] == ["Name – été"]


def test_arguments():
    with pytest.raises(TypeError, match="Argument 'text' has incorrect type"):
        IDD.from_string(b"Zone;")
    with pytest.raises(TypeError, match="IDD cannot be instantiated directly"):
        IDD()


def test_pickle_reuses_a_schema_already_held(idd):
    data = pickle.dumps(idd)
    assert pickle.loads(data) is idd
    iddmod.clear_schema_cache()
    restored = pickle.loads(data)
    assert restored is not idd
    assert restored.class_names() == idd.class_names()
    assert restored.field_info("Zone", "Name") == idd.field_info("Zone", "Name")
    assert pickle.loads(data) is restored
    assert pickle.loads(pickle.dumps(IDD.__new__(IDD))).initialized is False


def test_pickle_refuses_tampered_text(idd):
    fn, (cls, digest, packed) = idd.__reduce__()
    iddmod.clear_schema_cache()
    import zlib

    other = zlib.compress(b"Zone;")
    with pytest.raises(ValueError, match="does not match its digest"):
        fn(cls, digest, other)
