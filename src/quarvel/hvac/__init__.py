"""A model's HVAC systems: ``topology(model)`` gives its air, plant and condenser loops,
their branches and components, the parent-child relations that join nodes, zone
connections, air paths and every node with the objects that use it; ``text()``,
``as_data()`` and ``svg()`` show them. The node connection rules (E501-E508) run with
``IDF.validate`` and ``quarvel check``.
"""

from quarvel.hvac.graph import (AirPath, Branch, Component, ComponentSet, Loop, NodeUse, Side, Topology,
                                ZoneConnection, topology)

__all__ = ["AirPath", "Branch", "Component", "ComponentSet", "Loop", "NodeUse", "Side", "Topology",
           "ZoneConnection", "topology"]
