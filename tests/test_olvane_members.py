"""The older vocabulary beyond its first members: opening, objects by kind, fields by
name and position, the schema's records, references, measures, saving, updates.
Results are compared with what the core API and quarvel.geometry say of the same model."""

import io
import subprocess
import sys
from pathlib import Path

import pytest

import quarvel
from quarvel import geometry, olvane
from quarvel import idf as core
from quarvel.idd import IDD, UnknownFieldError
from quarvel.olvane import IDF, RangeError

from .conftest import DATA
from .realdata import REAL, REAL_MODELS, REAL_SCHEMA, needs_real_data

MODEL = DATA / "office.idf"
EXAMPLE_SCRIPT = Path(__file__).parent.parent / "examples" / "older_vocabulary.py"


@pytest.fixture
def schema_of(monkeypatch):
    """Sets a schema as a fresh process would: the field-key table is built from it."""

    def set_schema(path):
        monkeypatch.setattr(olvane, "field_key_to_name", {})
        monkeypatch.setattr(olvane, "shared_idd", None)
        monkeypatch.setattr(olvane, "shared_iddname", "")
        IDF.setiddname(str(path))

    return set_schema


@pytest.fixture
def model(schema_of):
    schema_of(DATA / "test.idd")
    return IDF(str(MODEL))


def core_of(facade):
    return olvane._core_of(facade)


# ---- opening ----------------------------------------------------------------------


@pytest.mark.parametrize("opener", [
    lambda: IDF(str(MODEL)),
    lambda: IDF(MODEL),
    lambda: IDF(io.BytesIO(MODEL.read_bytes())),
    lambda: IDF(io.StringIO(MODEL.read_text())),
    lambda: IDF.initread(str(MODEL)),
    lambda: IDF.initreadtxt(MODEL.read_text()),
    lambda: IDF.new().initreadtxt(MODEL.read_text()),
])
def test_every_way_of_opening_reads_the_same_model(model, opener):
    assert opener().idfstr() == model.idfstr()


def test_file_names(model, tmp_path):
    assert IDF.iddname == str(DATA / "test.idd") == model.iddname
    assert model.idfname == str(MODEL)
    assert IDF(io.StringIO("Zone,A;")).idfname is None
    assert IDF.new("plan.idf").idfname == "plan.idf" and IDF.new().idfstr() == ""
    with open(MODEL, "rb") as stream:
        assert IDF(stream).idfname == str(MODEL)
    model.initreadtxt("Zone,A;")
    assert model.idfname is None and [z.Name for z in model.idfobjects["Zone"]] == ["A"]
    model.outputtype = "compressed"
    model.initread(str(MODEL))  # reading keeps the output type, takes the new name
    assert (model.idfname, model.outputtype) == (str(MODEL), "compressed")
    with pytest.raises(TypeError, match="initreadtxt"):
        model.initreadtxt(b"Zone,A;")


# ---- objects of the model -----------------------------------------------------------


def test_copy_and_pop(model):
    other = IDF.new()
    zone = model.getobject("Zone", "West Zone")
    copy = other.copyidfobject(zone)
    assert copy.obj == zone.obj and other.getobject("Zone", "West Zone").obj == zone.obj
    twin = model.copyidfobject(model.getobject("Construction", "Exterior Wall"))
    assert model.idfobjects["Construction"][-1].obj == twin.obj
    names = [z.Name for z in model.idfobjects["Zone"]]
    popped = model.popidfobject("Zone", -1)
    assert popped.Name == names[-1] and [z.Name for z in model.idfobjects["Zone"]] == names[:-1]
    with pytest.raises(IndexError):
        model.popidfobject("Zone", 5)


def test_the_proxy_maps_every_class(model):
    proxy = model.idfobjects
    schema_classes = core_of(model).idd.class_names()
    assert proxy.keys() == list(dict.fromkeys(c.upper() for c in schema_classes))
    assert [len(v) for v in proxy.values()] == [len(core_of(model).objects_of(k)) for k in proxy.keys()]
    assert dict(proxy.items())["ZONE"][0].Name == "West Zone"
    assert proxy.get("zone")[0].Name == "West Zone" and proxy.get("Nope", 7) == 7
    with pytest.raises(TypeError):  # the proxy itself has no length, as it always had
        len(proxy)


# ---- fields, by name and by position ----------------------------------------------------


def test_fields_by_name_and_position(model):
    zone = model.getobject("Zone", "West Zone")
    values = core_of(model).get_object_by_name("Zone", "West Zone").get_values()
    assert zone.key == "Zone" and zone.obj == ["Zone", *values]
    assert zone[0] == "Zone" and zone[1] == "West Zone" and zone[-1] == values[-1]
    assert zone["Name"] == zone["name"] == zone.Name
    assert zone.fieldnames[:4] == ["key", "Name", "Direction_of_Relative_North", "X_Origin"]
    assert len(zone.fieldnames) == len(zone.fieldvalues) and zone.fieldvalues[:2] == ["Zone", "West Zone"]
    zone["X Origin"] = 4
    zone[4] = 5
    assert (zone.X_Origin, zone.Y_Origin) == (4.0, 5.0)
    gadget = model.newidfobject("Gadget", FlowRate=1.5)
    assert gadget["Flow-Rate"] == gadget["FlowRate"] == 1.5
    with pytest.raises(TypeError, match="class name"):
        zone[0] = "Other"
    with pytest.raises(IndexError):
        zone[len(zone.obj)]
    with pytest.raises(UnknownFieldError):
        zone["Nmae"]


@pytest.mark.parametrize(("item", "expected"), [
    ("type", ["integer"]), ("minimum", [1.0]), ("maximum", []), ("default", ["1"]),
    ("field", ["Multiplier"]), ("units", []),
])
def test_getfieldidd_item_gives_the_schema_words(model, item, expected):
    assert model.getobject("Zone", "West Zone").getfieldidd_item("Multiplier", item) == expected


def test_schema_records_and_ranges(model):
    zone = model.getobject("Zone", "West Zone")
    info = core_of(model).idd.field_info("Zone", "Multiplier")
    assert zone.getfieldidd("Multiplier") == info
    assert zone.getrange("Multiplier") == {"maximum": None, "minimum": 1.0, "maximum<": None, "minimum>": None,
                                           "type": "integer"}
    assert zone.checkrange("Multiplier") == 1
    zone.Multiplier = 0
    with pytest.raises(RangeError) as error:
        zone.checkrange("Multiplier")
    assert str(error.value) == "Zone 'West Zone', Multiplier: 0 is below the minimum 1.0"
    assert model.getobject("Zone", "West Zone").get_retaincase("Name") is False


@pytest.mark.parametrize(("field", "value", "places", "expected"), [
    ("Multiplier", 1, 7, True), ("Multiplier", "1.0000000001", 7, True), ("Multiplier", 1.01, 1, True),
    ("Multiplier", 1.01, 2, False), ("Name", "WEST zone", 7, True), ("Name", "East Zone", 7, False),
])
def test_isequal(model, field, value, places, expected):
    assert model.getobject("Zone", "West Zone").isequal(field, value, places) is expected


def test_references_follow_the_core(model):
    zone = model.getobject("Zone", "West Zone")
    core_zone = core_of(model).get_object_by_name("Zone", "West Zone")
    expected = [o.get_values() for o in core_zone.get_referencing_objects(0)]
    assert [o.obj[1:] for o in zone.getreferingobjs()] == expected
    idd = core_of(model).idd
    in_group = zone.getreferingobjs(iddgroups=["Thermal Zones and Surfaces"])
    assert {o.key for o in in_group} == {o.key for o in zone.getreferingobjs()
                                         if idd.class_info(o.key)["group"] == "Thermal Zones and Surfaces"}
    surfaces = [o for o in in_group if o.key == "BuildingSurface:Detailed"]
    by_field = zone.getreferingobjs(fields=["Zone_or_ZoneList_Name"])
    assert {o.key for o in by_field} == {"People", "Sizing:Zone"}
    assert all(o["Zone or ZoneList Name"] == "West Zone" for o in by_field)
    wall = surfaces[0]
    assert wall.get_referenced_object("Zone_Name").Name == "West Zone"
    assert wall.get_referenced_object("Outside Boundary Condition Object") is None


# ---- text and saving ---------------------------------------------------------------------


@pytest.mark.parametrize(("outputtype", "text"), [
    ("nocomment", lambda m: "\n".join(line.split("!-")[0].rstrip() for line in str(m).split("\n"))),
    ("compressed", lambda m: m.format(compact=True)),
])
def test_output_types(model, outputtype, text, tmp_path, capsys):
    assert model.outputtype == "standard" and model.idfstr() == str(core_of(model))
    model.outputtype = outputtype
    assert model.idfstr() == text(core_of(model))
    model.printidf()
    assert capsys.readouterr().out == model.idfstr() + "\n"
    model.save(tmp_path / "out.idf", "unix")
    assert (tmp_path / "out.idf").read_text() == model.idfstr() + "\n"


def test_output_type_is_checked(model):
    with pytest.raises(ValueError, match="outputtype must be one of 'standard', 'nocomment', 'compressed'"):
        model.outputtype = "tiny"


@pytest.mark.parametrize(("arguments", "ending", "encoding"), [
    ((), b"\n", "utf-8"),
    (("windows",), b"\r\n", "utf-8"),
    (("unix", "latin-1"), b"\n", "latin-1"),
])
def test_save_line_ends_and_encoding(model, tmp_path, arguments, ending, encoding):
    model.getobject("Zone", "West Zone").Name = "Wést"
    target = tmp_path / "out.idf"
    model.save(target, *arguments)
    data = target.read_bytes()
    assert data.count(ending) == data.count(b"\n") > 10
    assert "Wést" in data.decode(encoding)
    assert data.decode(encoding).replace("\r\n", "\n").split("\n")[3:] == \
        _saved_by_core(model).split("\n")[3:]  # below the header and its time stamp


def _saved_by_core(model):
    buffer = io.BytesIO()
    core_of(model).save(buffer, field_size=25)
    return buffer.getvalue().decode("utf-8")


def test_saveas_takes_the_name_and_savecopy_does_not(model, tmp_path):
    model.savecopy(tmp_path / "copy.idf")
    assert model.idfname == str(MODEL) and (tmp_path / "copy.idf").is_file()
    model.saveas(filename=tmp_path / "as.idf")
    assert model.idfname == str(tmp_path / "as.idf")
    with pytest.raises(TypeError, match=r"savecopy\(\) takes at least 1 positional argument \(0 given\)"):
        model.savecopy()


# ---- updates by dotted keys ------------------------------------------------------------


def test_updateidf_sets_finds_and_makes(model):
    olvane.updateidf(model, {"idf.Zone.West Zone.Multiplier": 3, "idf.Building..North_Axis": 15,
                             "idf.Zone.Plant.Room.X_Origin": 2})
    assert model.getobject("Zone", "west zone").Multiplier == 3
    assert model.idfobjects["Building"][0].North_Axis == 15
    assert model.getobject("Zone", "Plant.Room").X_Origin == 2  # a name with dots


@pytest.mark.parametrize(("bad", "error"), [
    ({"idf.Zone.Multiplier": 3}, KeyError),
    ({"idf.Zonee.West Zone.Multiplier": 3}, KeyError),
    ({"idf.Zone.West Zone.Multiplyer": 3}, UnknownFieldError),
    ({"idf.Zone.Brand New.Multiplier": 3, "idf.Zone.West Zone.Nope": 1}, UnknownFieldError),
])
def test_updateidf_is_all_or_nothing(model, bad, error):
    before = model.idfstr()
    with pytest.raises(error):
        olvane.updateidf(model, {"idf.Zone.West Zone.Multiplier": 4, **bad})
    assert model.idfstr() == before


# ---- the shared models ---------------------------------------------------------------


@pytest.fixture
def real(schema_of):
    schema_of(REAL_SCHEMA)


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS, ids=lambda p: p.stem)
def test_surfaces_and_zones_agree_with_the_geometry(real, path):
    model = IDF(str(path))
    measures = geometry.measure(core_of(model))
    by_name = {m.surface.name.upper(): m for m in measures.surfaces}
    kinds = {"base": [], "sub": [], "shading": []}
    for s in geometry.surfaces(core_of(model)):
        kinds["shading" if s.kind == "shading" else "sub" if s.is_subsurface else "base"].append(s.name)
    assert [s.Name for s in model.getsurfaces()] == kinds["base"]
    zone_shading = [s.Name for s in model.getshadingsurfaces("Shading:Zone:Detailed")]
    assert [s.Name for s in model.getsubsurfaces()] + zone_shading == kinds["sub"] + kinds["shading"][:len(zone_shading)]
    assert sorted(s.Name for s in model.getshadingsurfaces()) == sorted(kinds["shading"])
    walls = model.getsurfaces("wall")
    assert walls and all((w.Surface_Type or "").lower() == "wall" for w in walls
                         if w.key == "BuildingSurface:Detailed")
    for surface in model.getsurfaces() + model.getsubsurfaces():
        measured = by_name[surface.Name.upper()]
        assert surface.area == pytest.approx(measured.area)
        assert surface.tilt == pytest.approx(measured.tilt, abs=1e-9)
        assert surface.coords == list(measured.surface.vertices)
        if 1 < measured.tilt < 179:
            assert (surface.azimuth + measures.north_axis) % 360 == pytest.approx(measured.azimuth, abs=1e-6)
            assert surface.width * surface.height >= surface.area * (1 - 1e-9)
    for zone in measures.zones.values():
        assert olvane.zonearea(model, zone.name) == pytest.approx(zone.measured_floor_area)
        if zone.measured_volume is not None:
            assert olvane.zonevolume(model, zone.name) == pytest.approx(zone.measured_volume)
        assert olvane.zoneheight(model, zone.name) >= 0


@needs_real_data
@pytest.mark.parametrize("path", REAL_MODELS[:3], ids=lambda p: p.stem)
def test_fields_agree_with_the_core(real, path):
    model = IDF(str(path))
    reference = core.IDF.from_file(IDD.from_file(REAL_SCHEMA), path)
    for obj, same in zip((o for k in model.idfobjects.keys() for o in model.idfobjects[k]),
                         (o for k in model.idfobjects.keys() for o in reference.objects_of(k)), strict=True):
        assert obj.obj == [same.class_name, *same.get_values()]
        assert obj.fieldvalues[1:len(same) + 1] == same.get_values()
        for name, value in zip(obj.fieldnames[1:], same.get_values()):
            assert getattr(obj, name) == value


@needs_real_data
def test_easyopen_picks_the_schema_of_the_version(schema_of, monkeypatch):
    monkeypatch.setenv("QUARVEL_IDD_PATH", str(REAL))
    monkeypatch.setattr(olvane, "field_key_to_name", {})
    monkeypatch.setattr(olvane, "shared_idd", None)
    monkeypatch.setattr(olvane, "shared_iddname", "")
    model = olvane.easyopen(REAL_MODELS[0])
    assert IDF.iddname == str(REAL_SCHEMA) and len(model.idfobjects["Version"]) == 1
    with open(REAL_MODELS[1], "rb") as stream:
        assert olvane.easyopen(stream).idfstr() == IDF(str(REAL_MODELS[1])).idfstr()


def test_easyopen_with_a_schema_given(schema_of):
    schema_of(DATA / "test.idd")
    assert olvane.easyopen(quarvel.EXAMPLE_IDF, idd=quarvel.EXAMPLE_IDD).idfname == str(quarvel.EXAMPLE_IDF)
    assert IDF.iddname == str(quarvel.EXAMPLE_IDD)


# ---- a script of the older vocabulary runs as it stands ---------------------------------


@pytest.mark.parametrize("target", [None, *(REAL_MODELS[-1:] if REAL.is_dir() else [])],
                         ids=lambda p: "example" if p is None else p.stem)
def test_a_script_of_the_older_vocabulary_runs(tmp_path, target):
    arguments = [] if target is None else [str(REAL_SCHEMA), str(target)]
    result = subprocess.run([sys.executable, str(EXAMPLE_SCRIPT), *arguments, str(tmp_path / "out.idf")],
                            capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    schema = IDD.from_file(REAL_SCHEMA if target else quarvel.EXAMPLE_IDD)
    source = core.IDF.from_file(schema, target or quarvel.EXAMPLE_IDF)
    printed = float(result.stdout.split("floor area ")[1].split()[0])
    assert printed == pytest.approx(geometry.measure(source).floor_area, abs=1e-3)
    saved = core.IDF.from_file(schema, tmp_path / "out.idf")
    assert len(saved["Zone"]) == len(source["Zone"]) + 1 and saved.get_object_by_name("Zone", "Store")[2] == 100
