"""A model's geometry: its surfaces in one coordinate system, their measures, a drawing.

``surfaces(model)`` gives one ``Surface`` per surface object with its vertices in the
building's coordinates (x east, y north, z up, metres); ``measure(model)`` gives areas,
normals, zone floor areas and volumes and the window-to-wall ratio of each facade;
``svg(model)`` draws the building; ``view(model)`` is an interactive 3-D page of it.

Edits, each one all-or-nothing change of the model that returns what it changed
(``Edited``): ``translate``, ``rotate`` and ``scale`` the building;
``set_window_to_wall`` per facade; ``add_block`` of stacked zones from a footprint;
``intersect_and_match`` the surfaces that neighbouring zones share. The measures follow
the engine's own report (see ``quarvel.geometry.measure``).

Classes read: ``BuildingSurface:Detailed``, ``Wall:Detailed``, ``RoofCeiling:Detailed``,
``Floor:Detailed``, ``FenestrationSurface:Detailed``, ``Shading:Site:Detailed``,
``Shading:Building:Detailed``, ``Shading:Zone:Detailed``; the simple forms ``Wall:Exterior``,
``Wall:Adiabatic``, ``Wall:Underground``, ``Wall:Interzone``, ``Roof``,
``Ceiling:Adiabatic``, ``Ceiling:Interzone``, ``Floor:GroundContact``,
``Floor:Adiabatic``, ``Floor:Interzone``, ``Window``, ``Door``, ``GlazedDoor`` and their
``:Interzone`` forms, ``Shading:Site`` and ``Shading:Building``. ``Shading:Overhang``,
``Shading:Fin`` and their ``:Projection`` forms are reported as skipped, as is any
surface whose fields do not define its geometry, or whose numbers are not finite or lie
farther than ``FARTHEST`` metres away. A Building North Axis that is not a finite number
raises ``GeometryError``.
"""

from quarvel.geometry.block import add_block
from quarvel.geometry.editing import Edited
from quarvel.geometry.html import View, view
from quarvel.geometry.match import intersect_and_match
from quarvel.geometry.measure import Facade, Measures, SurfaceMeasure, ZoneMeasure, measure
from quarvel.geometry.surfaces import GeometryError, Surface, building_north_axis, surfaces
from quarvel.geometry.svg import VIEWS, svg
from quarvel.geometry.transform import rotate, scale, translate
from quarvel.geometry.windows import set_window_to_wall

__all__ = ["VIEWS", "Edited", "Facade", "GeometryError", "Measures", "Surface", "SurfaceMeasure", "View", "ZoneMeasure",
           "add_block", "building_north_axis", "intersect_and_match", "measure", "rotate", "scale",
           "set_window_to_wall", "surfaces", "svg", "translate", "view"]
