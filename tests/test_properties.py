"""Random edit sequences: after every step the indexes agree with the objects, and a
step that fails changes nothing."""

import copy

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from quarvel.idd import IDD, UnknownFieldError
from quarvel.idf import IDF

from .conftest import DATA, check_invariants, model_state

SCHEMA = IDD.from_file(DATA / "test.idd")
CLASSES = ["Zone", "ZoneList", "People", "Lights", "Sizing:Zone", "NodeList", "Schedule:Constant",
           "ScheduleTypeLimits", "BuildingSurface:Detailed", "Sample:Object", "Minimum:Fields", "Field:Types"]
# Values survive being written and read back as text: no delimiters, no blanks at the ends
# (the format trims those; test_queries covers a stored name with a trailing blank).
NAMES = ["A", "a", "B", "Office", "OFFICE", "big office", "Loop", "S", "Fraction", "x"]
values = st.one_of(st.sampled_from(NAMES), st.sampled_from(["", None, 0, 1.5, True, "autosize", "3", "a,b", "x\n"]))
FAILURES = (IndexError, UnknownFieldError, ValueError)
field_keys = st.one_of(st.integers(0, 12), st.sampled_from(["Name", "name", "Zone Name", "Kind", "Partner"]))


def indexes_and_text(model):
    state = model_state(model)
    return model.format(), len(state["objects"]), state["classes"], state["referencers"], state["targets"]


class EditingMachine(RuleBasedStateMachine):
    @initialize(text=st.sampled_from(["", "Zone,A;People,P,a,S;Schedule:Constant,S,Fraction;ScheduleTypeLimits,Fraction;",
                                      (DATA / "office.idf").read_text()]))
    def load(self, text):
        self.model = IDF.from_string(SCHEMA, text)
        self.removed = []

    def live(self):
        return list(self.model)

    def attempt(self, edit):
        """Runs an edit; when it raises, the model's text and indexes are as before."""
        before = indexes_and_text(self.model)
        try:
            edit()
        except FAILURES:
            assert indexes_and_text(self.model) == before

    @rule(cls=st.sampled_from(CLASSES), initial=st.one_of(st.none(), st.lists(values, max_size=5),
                                                          st.dictionaries(field_keys, values, max_size=4)),
          defaults=st.booleans())
    def add(self, cls, initial, defaults):
        self.attempt(lambda: self.model.add_object(cls, initial, defaults))

    @precondition(lambda self: self.live())
    @rule(data=st.data(), key=field_keys, value=values)
    def write_field(self, data, key, value):
        obj = data.draw(st.sampled_from(self.live()))
        self.attempt(lambda: obj.__setitem__(key, value))

    @precondition(lambda self: self.live())
    @rule(data=st.data(), name=st.sampled_from(NAMES))
    def rename(self, data, name):
        data.draw(st.sampled_from(self.live()))[0] = name

    @precondition(lambda self: self.live())
    @rule(data=st.data(), update=st.one_of(st.lists(values, max_size=4), st.dictionaries(field_keys, values, max_size=4)),
          trim=st.booleans())
    def update(self, data, update, trim):
        obj = data.draw(st.sampled_from(self.live()))
        self.attempt(lambda: obj.update(update, trim))

    @precondition(lambda self: self.live())
    @rule(data=st.data())
    def remove(self, data):
        obj = data.draw(st.sampled_from(self.live()))
        self.model.remove_object(obj)
        self.removed.append(obj)

    @rule(cls=st.sampled_from(CLASSES))
    def remove_class(self, cls):
        objects = list(self.model[cls])
        assert self.model.remove_all_objects(cls) == len(objects)
        self.removed.extend(objects)

    @rule(deep=st.booleans())
    def copy_and_edit_the_copy(self, deep):
        text = self.model.format()
        twin = copy.deepcopy(self.model) if deep else copy.copy(self.model)
        check_invariants(twin)
        for obj in list(twin)[:3]:
            obj[0] = "Renamed In Copy"
        twin.add_object("Zone", ["Added In Copy"])
        assert self.model.format() == text

    @invariant()
    def indexes_agree(self):
        check_invariants(self.model)

    @invariant()
    def removed_objects_are_unreachable(self):
        live = self.live()
        removed = {id(o) for o in self.removed}
        for cls in CLASSES:
            assert not removed & {id(o) for o in self.model[cls]}
        for obj in live:
            for key in range(min(len(obj.get_values()), 6)):
                target = obj.get_referenced_object(key)
                assert target is None or id(target) not in removed
                assert not removed & {id(o) for o in obj.get_referencing_objects(key)}
            if obj.get_values() and isinstance(obj[0], str) and obj[0]:
                found = self.model.get_object_by_name(obj.class_name, obj[0])
                assert found is not None and id(found) not in removed

    @invariant()
    def round_trip_is_stable(self):
        text = self.model.format()
        assert IDF.from_string(SCHEMA, text).format() == text


TestEditing = EditingMachine.TestCase
TestEditing.settings = settings(max_examples=100, stateful_step_count=30, deadline=None,
                                suppress_health_check=[HealthCheck.too_slow])
