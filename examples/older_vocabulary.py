"""A script in the older vocabulary: only its import line names Quarvel.

    python examples/older_vocabulary.py [SCHEMA.idd MODEL.idf] OUT.idf

Without a schema and model it works on the example that ships with the package.
"""

import sys

import quarvel
from quarvel.olvane import IDF, updateidf, zonearea, zonevolume

if len(sys.argv) == 4:
    iddfile, idffile, outfile = sys.argv[1:]
else:
    iddfile, idffile, outfile = str(quarvel.EXAMPLE_IDD), str(quarvel.EXAMPLE_IDF), sys.argv[-1]

IDF.setiddname(iddfile)
idf = IDF(idffile)
print("schema", IDF.getiddname())

zones = idf.idfobjects["ZONE"]
total = 0.0
for zone in zones:
    total += zonearea(idf, zone.Name) * zone.Multiplier
    print(zone.Name, round(zonevolume(idf, zone.Name), 2), "m3")
print("floor area", round(total, 3), "m2")

walls = idf.getsurfaces("wall")
windows = idf.getsubsurfaces("window")
south = [w for w in walls if 135 <= w.azimuth < 225 and round(w.tilt) == 90]
print("walls", len(walls), "windows", len(windows), "south walls", len(south))
print("first wall", walls[0].Name, round(walls[0].area, 2), "m2, corners", len(walls[0].coords))

first = zones[0]
print(first.fieldnames[1], "=", first.fieldvalues[1])
print("multiplier range", first.getrange("Multiplier"), "value", first.checkrange("Multiplier"))
print("objects naming it", len(first.getreferingobjs()))
wall_zone = walls[0].get_referenced_object("Zone_Name")
print("the first wall is in", wall_zone.Name, wall_zone.isequal("Name", first.Name.upper()))

store = idf.copyidfobject(first)
store.Name = "Store"
idf.newidfobject("Zone", Name="Attic", Multiplier=1)
idf.removeidfobject(idf.getobject("ZONE", "Attic"))
updateidf(idf, {f"idf.Zone.{first.Name}.Multiplier": 2, "idf.Zone.Store.X_Origin": 100})
print("zones now", len(idf.idfobjects["Zone"]), "store at", idf.getobject("Zone", "Store").X_Origin)

idf.outputtype = "nocomment"
idf.saveas(outfile)
print("saved", idf.idfname, len(idf.idfstr().splitlines()), "lines")
