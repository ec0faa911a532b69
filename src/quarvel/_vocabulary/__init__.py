"""The members of the older vocabulary (quarvel.olvane) that are compositions of core
calls, written in Python and installed on the module's types when it is imported.

The native types keep what needs their fields (the facade's core model and proxy, the
wrapper's core object, attribute access by field key); everything here reaches the core
through ``olvane._core_of`` and hands out wrappers made by ``olvane._wrap``.
"""

from __future__ import annotations

from types import ModuleType

from quarvel._vocabulary import helpers, model, objects


def install(module: ModuleType) -> None:
    """Put the members on quarvel.olvane's types and its helpers in the module."""
    _bind(module)
    module.IDF.__init__ = model._install_init(module.IDF)
    for name, member in model.MEMBERS.items():
        setattr(module.IDF, name, member)
    for name, member in objects.MEMBERS.items():
        setattr(module.IDFObject, name, member)
    for name, member in model.PROXY_MEMBERS.items():
        setattr(module.IDFObjectsProxy, name, member)
    for name in helpers.__all__:
        setattr(module, name, getattr(helpers, name))
    setattr(module, "RangeError", objects.RangeError)


def _bind(module: ModuleType) -> None:
    from quarvel._vocabulary import _native

    _native.olvane = module
