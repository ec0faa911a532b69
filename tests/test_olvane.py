"""The compatibility vocabulary: facade, wrappers with attribute access, proxy, pickling."""

import pickle
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from quarvel import idf as core
from quarvel import olvane
from quarvel.idd import UnknownFieldError
from quarvel.olvane import IDF, IDFObject, IDFObjectsProxy

from .conftest import DATA

SCHEMA = str(DATA / "test.idd")
MODEL = str(DATA / "office.idf")


def run_fresh(code: str) -> str:
    """Runs `code` in a new interpreter (a fresh process-wide state); returns its output."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            cwd=Path(__file__).parent)
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module", autouse=True)
def schema():
    IDF.setiddname(SCHEMA)


@pytest.fixture
def model():
    return IDF(MODEL)


# ---- process-wide state (fresh interpreters) -------------------------------------


def test_module_variables_after_import():
    out = run_fresh("""
        from quarvel import olvane
        print(repr(olvane.shared_iddname), olvane.shared_idd, olvane.field_key_to_name, olvane.IDF.getiddname() == "")
    """)
    assert out == "'' None {} True\n"


def test_schema_by_path_object_and_a_second_schema(tmp_path):
    other = tmp_path / "other.idd"
    other.write_text("Gadget,\n  A1, \\field Name\n  N1; \\field Other-Rate\n")
    out = run_fresh(f"""
        from pathlib import Path
        from quarvel import olvane
        from quarvel.olvane import IDF
        IDF.setiddname(Path({SCHEMA!r}))
        print(IDF.getiddname() == {SCHEMA!r}, type(olvane.shared_idd).__name__)
        first = olvane.shared_idd
        IDF.setiddname({str(other)!r})
        print(IDF.getiddname() == {str(other)!r}, olvane.shared_idd is not first)
        print(sorted(olvane.field_key_to_name["GADGET"]))   # still the first schema's keys
    """)
    assert out.splitlines() == ["True IDD", "True True", "['flowrate', 'side_1_lengthscale']"]


def test_a_failing_schema_keeps_the_earlier_one(tmp_path):
    out = run_fresh(f"""
        from quarvel import olvane
        from quarvel.olvane import IDF
        IDF.setiddname({SCHEMA!r})
        try:
            IDF.setiddname({str(tmp_path / "missing.idd")!r})
        except FileNotFoundError:
            print("missing")
        print(IDF.getiddname().endswith("missing.idd"))
        print(IDF({MODEL!r}).idfobjects["Zone"][0].Name)
    """)
    assert out.splitlines() == ["missing", "True", "West Zone"]


def test_opening_a_model_without_a_schema(tmp_path):
    empty = tmp_path / "empty.idf"
    empty.write_text("! nothing\n")
    out = run_fresh(f"""
        from quarvel.olvane import IDF
        print(IDF({str(empty)!r}).idfstr() == "")
        try:
            IDF({MODEL!r})
        except TypeError as e:
            print(e)
        try:
            IDF(12)
        except TypeError as e:
            print("path:", e)
    """)
    lines = out.splitlines()
    assert lines[0] == "True"
    assert lines[1] == "No schema is set: call IDF.setiddname() with the IDD file before opening a model with objects"
    assert lines[2].startswith("path:") and "setiddname" not in lines[2]


def test_keys_of_a_class_the_first_schema_lacks(tmp_path):
    second = tmp_path / "second.idd"
    second.write_text("NewThing,\n  A1, \\field Name\n  N1; \\field Max-Value\n")
    model = tmp_path / "m.idf"
    model.write_text("NewThing,n,5;")
    out = run_fresh(f"""
        from quarvel.olvane import IDF
        IDF.setiddname({SCHEMA!r})
        IDF.setiddname({str(second)!r})
        thing = IDF({str(model)!r}).idfobjects["NewThing"][0]
        try:
            thing.Name
        except KeyError as e:
            print(repr(e))
    """)
    assert out == "KeyError('NEWTHING')\n"


# ---- the facade -----------------------------------------------------------------


def test_newidfobject_adds_without_printing(model, capsys):
    gadget = model.newidfobject("Gadget")
    assert isinstance(gadget, IDFObject) and gadget.Name == ""
    named = model.newidfobject("Gadget", Name="A", FlowRate=2.5, Side_3_Width=1)
    assert capsys.readouterr().out == ""  # standard output is the program's, not ours
    assert named.Name == "A" and named.Flow_Rate if False else named.flowrate == 2.5
    assert named["Side 3 Width"] if False else named.side_3_width == 1.0
    assert len(model.idfobjects["GADGET"]) == 2


def test_newidfobject_defaults(model, capsys):
    assert model.newidfobject("Zone").Multiplier == 1
    assert model.newidfobject("Zone", False).Multiplier is None
    assert model.newidfobject("Zone", defaultvalues=0).Multiplier is None
    assert model.newidfobject(class_name="Zone", Multiplier=4).Multiplier == 4
    capsys.readouterr()


def test_newidfobject_errors(model, capsys):
    with pytest.raises(TypeError, match=r"newidfobject\(\) takes at least 1 positional argument \(0 given\)"):
        model.newidfobject()
    with pytest.raises(TypeError, match="Argument 'class_name' has incorrect type"):
        model.newidfobject(3)
    with pytest.raises(ValueError, match="Unknown class: 'Nope'"):
        model.newidfobject("Nope")
    with pytest.raises(KeyError) as info:
        model.newidfobject("Nope", Name="x")
    assert info.value.args == ("NOPE",)
    assert capsys.readouterr().out == ""
    with pytest.raises(UnknownFieldError):
        model.newidfobject("Zone", Nmae="x")


def test_getobject(model):
    a = model.getobject("zone", "WEST ZONE")
    b = model.getobject(key="Zone", name="west zone")
    assert isinstance(a, IDFObject) and a is not b and a.Name == b.Name == "West Zone"
    assert model.getobject("Zone", "Nowhere") is None
    with pytest.raises(TypeError, match=r"getobject\(\) takes exactly 2 positional arguments \(1 given\)"):
        model.getobject("Zone")
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        model.getobject("Zone", 1)


def test_removal(model):
    zone = model.getobject("Zone", "West Zone")
    model.removeidfobject(zone)
    assert model.getobject("Zone", "West Zone") is None
    with pytest.raises(ValueError, match="belongs to a different IDF model or is detached"):
        model.removeidfobject(zone)
    with pytest.raises(ValueError, match="belongs to a different IDF model or is detached"):
        model.removeidfobject(None)
    with pytest.raises(TypeError) as info:
        model.removeidfobject(model.idfobjects["Zone"][0].__reduce__()[2][0])  # a core object
    assert str(info.value) == ("Argument 'idfobject' has incorrect type (expected quarvel.olvane.IDFObject, "
                               "got quarvel.idf.IDFObject)")
    assert model.removeallidfobjects("people") is None
    assert model.idfobjects["People"] == []


def test_text_and_printing(model, capsys):
    text = model.idfstr()
    assert text == str(model.__reduce__()[2][0]) == repr(model)
    model.printidf()
    assert capsys.readouterr().out == text + "\n"
    with pytest.raises(TypeError, match=r"idfstr\(\) takes exactly 0 positional arguments \(1 given\)"):
        model.idfstr(1)


def test_save_and_saveas(model, tmp_path):
    out = tmp_path / "out.idf"
    model.save(out, "ignored", also="ignored")
    lines = out.read_text().splitlines()
    assert lines[0] == "! Generated using Quarvel.py"
    field = next(line for line in lines if "!- Name" in line)
    assert field.index("!-") == 4 + 25 + 1  # a value column of 25
    with pytest.raises(TypeError) as info:
        model.save()
    assert str(info.value) == "save() takes at least 1 positional argument (0 given)"

    calls = []

    class Recording(IDF):
        def save(self, idfname, *args, **kwargs):
            calls.append(idfname)

    Recording(MODEL).saveas("somewhere.idf")
    assert calls == ["somewhere.idf"]


def test_reopening_keeps_old_proxies_working(model, tmp_path):
    proxy = model.idfobjects
    assert model.idfobjects is proxy
    other = tmp_path / "other.idf"
    other.write_text("Zone,Only;")
    model.__init__(str(other))
    assert model.idfobjects is not proxy
    assert [w.Name for w in proxy["Zone"]] == ["Only"]


def test_bare_facade():
    bare = IDF.__new__(IDF)
    assert bare.idfobjects is None
    assert bare.idfstr() == "None" and repr(bare) == "None"
    with pytest.raises(AttributeError):
        bare.newidfobject("Zone")
    with pytest.raises(AttributeError):
        bare.getobject("Zone", "x")
    with pytest.raises(TypeError, match=r"__init__\(\) takes at least 1 positional argument \(0 given\)"):
        IDF()


# ---- field-name resolution --------------------------------------------------------


@pytest.mark.parametrize(
    ("key", "name"),
    [
        ("Name", "name"),
        ("Inlet_Port_Name", "inlet port name"),
        ("FlowRate", "Flow-Rate"),
        ("flowrate", "Flow-Rate"),
        ("FLOWRATE", "Flow-Rate"),
        ("Flow_Rate", "flow rate"),
        ("Side_1_LengthScale", "Side 1 Length-Scale"),
        ("Side_12_LengthScale", "Side 12 Length-Scale"),
        ("Side_12_Width", "side 12 width"),
    ],
)
def test_resolution_table(key, name):
    assert olvane._resolve_field_key_to_field_name("Gadget", key) == name


def test_every_one_in_the_stored_name_takes_the_group_number(monkeypatch):
    monkeypatch.setitem(olvane.field_key_to_name, "THING", {"a_1_b1": "A 1 B1"})
    assert olvane._resolve_field_key_to_field_name("thing", "a_7_b1") == "A 7 B7"


def test_resolution_needs_the_class():
    with pytest.raises(KeyError) as info:
        olvane._resolve_field_key_to_field_name("Nope", "Name")
    assert info.value.args == ("NOPE",)


# ---- wrappers and the proxy -------------------------------------------------------


def test_attribute_reads_and_writes(model):
    zone = model.idfobjects["Zone"][0]
    assert zone.name == zone.NAME == zone.Name == "West Zone"
    assert zone.Ceiling_Height == "Autocalculate"
    zone.Multiplier = 3
    assert model.getobject("Zone", "West Zone").multiplier == 3
    surface = model.idfobjects["BuildingSurface:Detailed"][0]
    assert surface.Vertex_4_Zcoordinate == 4.572
    surface.Vertex_12_Xcoordinate = 1.25
    assert surface.vertex_12_xcoordinate == 1.25
    lights = model.idfobjects["Lights"][0]
    assert lights.WattsArea == 10.76
    assert repr(zone) == repr(zone.__reduce__()[2][0])


def test_unknown_names(model):
    zone = model.idfobjects["Zone"][0]
    assert getattr(zone, "nope", "fallback") == "fallback"
    assert not hasattr(zone, "Nope_Field")
    with pytest.raises(UnknownFieldError):
        zone.nope = 1
    with pytest.raises(UnknownFieldError):
        zone.__doc__ = 1  # every assignment goes to the fields
    with pytest.raises(AttributeError):
        del zone.Name
    assert zone.__class__ is IDFObject
    with pytest.raises(TypeError, match="Argument 'name' has incorrect type"):
        zone.__getattr__(1)
    assert zone.__getattr__("name") == "West Zone"


def test_class_missing_from_the_key_table(model, monkeypatch):
    zone = model.idfobjects["Zone"][0]
    monkeypatch.delitem(olvane.field_key_to_name, "ZONE")
    with pytest.raises(KeyError) as info:
        zone.Name
    assert info.value.args == ("ZONE",)
    with pytest.raises(KeyError):
        zone.Name = "x"


def test_proxy(model):
    proxy = model.idfobjects
    assert isinstance(proxy, IDFObjectsProxy)
    first, second = proxy["Zone"], proxy["zone"]
    assert first is not second and first[0] is not second[0]
    assert first[0] not in second
    assert proxy["Nope"] == []
    with pytest.raises(TypeError) as info:
        proxy[1]
    assert str(info.value) == "Argument 'class_name' has incorrect type (expected str, got int)"
    with pytest.raises(TypeError):
        len(proxy)
    with pytest.raises(TypeError, match="Argument 'class_name'"):
        list(proxy)
    with pytest.raises(TypeError):
        proxy["Zone"] = []
    with pytest.raises(AttributeError, match="encode"):
        proxy[None]


def test_types_called_directly():
    wrapper = IDFObject(1, x=2)
    assert repr(wrapper) == "None"
    with pytest.raises(AttributeError, match="wraps no object"):
        wrapper.Name
    with pytest.raises(AttributeError, match="wraps no object"):
        wrapper.Name = "x"
    assert getattr(wrapper, "Name", None) is None
    with pytest.raises(AttributeError, match="serves no model"):
        IDFObjectsProxy(1)["Zone"]


# ---- pickling ---------------------------------------------------------------------


def test_facade_round_trip(model):
    restored = pickle.loads(pickle.dumps(model))
    assert restored.idfobjects.__reduce__()[2][0] is restored
    assert restored.idfstr() == model.idfstr()
    assert [w.Name for w in restored.idfobjects["Zone"]] == ["West Zone", "EAST ZONE"]


def test_wrappers_pickle(model):
    zone = model.idfobjects["Zone"][0]
    back = pickle.loads(pickle.dumps(zone))
    assert back.Name == "West Zone" and back is not zone


def test_reduce_forms():
    bare = IDF.__new__(IDF)
    fn, args = bare.__reduce__()
    assert fn is olvane.unpickle_IDF and args == (IDF, 0x8C30425, (None, None))
    assert IDFObjectsProxy.__new__(IDFObjectsProxy).__reduce__()[1] == (IDFObjectsProxy, 0xE471259, (None,))
    assert IDFObject().__reduce__()[1] == (IDFObject, 0x805EB6E, (None,))
    assert 0x8C30425 == 146998309 and 0xE471259 == 239538777 and 0x805EB6E == 134605678


class Noted(IDF):
    pass


def test_subclass_dictionary_travels():
    noted = Noted(MODEL)
    noted.note = "kept"
    back = pickle.loads(pickle.dumps(noted))
    assert type(back) is Noted and back.note == "kept"


def test_checksums():
    assert isinstance(olvane.unpickle_IDFObject(IDFObject, 0x8E97549, None), IDFObject)
    with pytest.raises(pickle.PickleError) as info:
        olvane.unpickle_IDF(IDF, 0x8E97549, None)
    assert str(info.value) == ("Incompatible checksums (0x8e97549 vs (0x8c30425, 0xf4f0da9, 0xaf3896f) = "
                               "(core_idf, idfobjsproxy))")
    for value in (0x8C30425, 0xF4F0DA9, 0xAF3896F):
        assert isinstance(olvane.unpickle_IDF(IDF, value, (None, None)), IDF)
    for value in (0xE471259, 0xD8FD39D, 0xD0E4587):
        assert isinstance(olvane.unpickle_IDFObjectsProxy(IDFObjectsProxy, value, None), IDFObjectsProxy)


@pytest.mark.parametrize(
    ("target", "state", "error", "message"),
    [
        (IDF, None, TypeError, "cannot pass None into a C function argument that is declared 'not None'"),
        (IDF, [None, None], TypeError, "Expected tuple, got list"),
        (IDF, (None,), ValueError, "IDF state needs 2 fields"),
        (IDF, (1, None), TypeError, "Cannot convert int to quarvel.idf.IDF"),
        (IDF, (None, 1), TypeError, "Cannot convert int to quarvel.olvane.IDFObjectsProxy"),
        (IDFObjectsProxy, (1,), TypeError, "Cannot convert int to quarvel.olvane.IDF"),
        (IDFObject, (1,), TypeError, "Cannot convert int to quarvel.idf.IDFObject"),
        (IDFObject, (), ValueError, "IDFObject state needs 1 field"),
        (IDFObject, (None, {"a": 1}), AttributeError, None),
    ],
)
def test_bad_states(target, state, error, message):
    instance = target.__new__(target)
    with pytest.raises(error) as info:
        instance.__setstate__(state)
    if message:
        assert str(info.value).startswith(message)


def test_unpickle_arguments():
    with pytest.raises(TypeError, match="Argument 'state' has incorrect type"):
        olvane.unpickle_IDF(IDF, 0x8C30425, [])
    with pytest.raises(TypeError, match=r"unpickle_IDF\(\) takes exactly 3 positional arguments"):
        olvane.unpickle_IDF(IDF)


def test_core_types_are_bound():
    assert olvane.IDF is not core.IDF and core.IDF.__name__ == olvane.IDF.__name__ == "IDF"


@pytest.mark.parametrize(
    ("remove", "module"),
    [("quarvel.idf", "quarvel.olvane"), ("quarvel.utils", "quarvel.olvane"), ("quarvel.lexer", "quarvel.idf"),
     ("quarvel.idd", "quarvel.idf")],
)
def test_import_fails_without_a_bound_table(remove, module):
    result = subprocess.run(
        [sys.executable, "-c", f"import {remove}; del {remove}._C_API; import {module}"],
        capture_output=True, text=True)
    assert result.returncode != 0
    assert "_C_API" in result.stderr


@pytest.mark.parametrize(("attribute", "suggestions"), [
    ("Nmae", ("Name",)), ("X_Orgin", ("X_Origin",)), ("Ceiling_Heigth", ("Ceiling_Height",)), ("Qwerty_Uiop", ())])
def test_a_misspelt_attribute_gets_the_closest_attribute_names(model, attribute, suggestions):
    zone = model.idfobjects["ZONE"][0]
    for attempt in (lambda: getattr(zone, attribute), lambda: setattr(zone, attribute, 1)):
        with pytest.raises(AttributeError) as raised:
            attempt()
        assert raised.value.suggestions == suggestions
        assert getattr(raised.value, "__notes__", []) == ([f"Did you mean '{suggestions[0]}'?"] if suggestions else [])
