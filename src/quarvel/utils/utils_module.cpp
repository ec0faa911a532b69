// quarvel.utils: file reading, value-to-text conversion, timestamps, digit runs.
#include "eso_points.hpp"
#include "file_text.hpp"
#include "quarvel/args.hpp"
#include "quarvel/module_state.hpp"
#include "quarvel/suggest.hpp"
#include "quarvel/utils_api.hpp"

#include <ctime>

namespace quarvel {
namespace {

int any_to_string(PyObject* value, std::string& out) {
  PyRef text;
  if (PyUnicode_Check(value)) {
    text = PyRef::borrow(value);
  } else if (PyBool_Check(value)) {
    out.assign(value == Py_True ? "Yes" : "No");
    return 0;
  } else if (PyLong_Check(value)) {
    text = PyRef(PyLong_Type.tp_repr(value));  // digits even for int subclasses
  } else if (PyFloat_Check(value)) {
    text = PyRef(PyFloat_Type.tp_repr(value));  // shortest text that reads back
  } else {
    text = PyRef(PyObject_Str(value));
  }
  if (!text) return -1;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) return -1;
  try {
    out.assign(utf8, static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  return 0;
}

std::string get_current_time() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  char text[32] = "0000-00-00 00:00:00";
  if (localtime_r(&now, &local)) std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

std::pair<Py_ssize_t, Py_ssize_t> get_continuous_digits_indices(std::string_view key) {
  size_t start = 0;
  while (start < key.size() && !(key[start] >= '0' && key[start] <= '9')) ++start;
  if (start == key.size()) return {-1, -1};
  size_t end = start;
  while (end < key.size() && key[end] >= '0' && key[end] <= '9') ++end;
  return {static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end)};
}

const UtilsCapi kCapi = {
    {UTILS_CAPI_VERSION, sizeof(UtilsCapi), UTILS_LAYOUT},
    read_utf8_bytes,
    open_line_chunks,
    any_to_string,
    get_current_time,
    get_continuous_digits_indices,
};

// ---- Python-visible functions -------------------------------------------------

const char* const kReadNames[] = {"path", "encoding"};
const Signature kReadSig = {"read_utf8_bytes", kReadNames, 2, 1, 2};

PyObject* py_read_utf8_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (bind_arguments(kReadSig, args, nargs, kwnames, a) < 0) return nullptr;
  return read_utf8_bytes(a[0], a[1] ? a[1] : Py_None);
}

PyObject* py_any_to_string(PyObject*, PyObject* value) {
  return guard(
      [&]() -> PyObject* {
        std::string out;
        if (any_to_string(value, out) < 0) return nullptr;
        return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
      },
      nullptr);
}

PyObject* py_get_current_time(PyObject*, PyObject*) {
  const std::string now = get_current_time();
  return PyUnicode_FromStringAndSize(now.data(), static_cast<Py_ssize_t>(now.size()));
}

PyObject* py_get_continuous_digits_indices(PyObject*, PyObject* key) {
  if (!PyBytes_Check(key)) {
    raise_argument_type("key", "bytes", key);
    return nullptr;
  }
  const auto [start, end] = get_continuous_digits_indices(
      std::string_view(PyBytes_AS_STRING(key), static_cast<size_t>(PyBytes_GET_SIZE(key))));
  return Py_BuildValue("(nn)", start, end);
}

// The closest names for "did you mean", for the package's Python modules: the same
// measure as the native modules' messages use.
PyObject* py_closest_names(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard(
      [&]() -> PyObject* {
        if (nargs != 2 || !PyUnicode_Check(args[0])) {
          raise(PyExc_TypeError, messages::kClosestNamesArguments);
        }
        PyRef items = take(PySequence_Fast(args[1], messages::kCandidatesNotStr));
        const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
        std::vector<std::string_view> names;
        names.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
          PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
          if (!PyUnicode_Check(item)) raise(PyExc_TypeError, messages::kCandidatesNotStr);
          Py_ssize_t size = 0;
          const char* text = PyUnicode_AsUTF8AndSize(item, &size);
          if (!text) throw PythonErrorSet();
          names.emplace_back(text, static_cast<size_t>(size));
        }
        Py_ssize_t size = 0;
        const char* word = PyUnicode_AsUTF8AndSize(args[0], &size);
        if (!word) throw PythonErrorSet();
        const std::vector<size_t> closest = closest_names(std::string_view(word, static_cast<size_t>(size)), names);
        PyRef out = take(PyList_New(static_cast<Py_ssize_t>(closest.size())));
        for (size_t i = 0; i < closest.size(); ++i) {
          PyObject* item = PySequence_Fast_GET_ITEM(items.get(), static_cast<Py_ssize_t>(closest[i]));
          PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
        }
        return out.release();
      },
      nullptr);
}

PyObject* py_eso_points(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    raise_argument_count("eso_points", 3, 3, nargs);
    return nullptr;
  }
  if (!PyLong_Check(args[2])) {
    raise_argument_type("year", "int", args[2]);
    return nullptr;
  }
  const long year = PyLong_AsLong(args[2]);
  if (year == -1 && PyErr_Occurred()) return nullptr;
  return eso_points(args[0], args[1], year);
}

PyMethodDef kMethods[] = {
    {"_closest_names", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_closest_names)), METH_FASTCALL,
     "_closest_names(word, candidates, /)\n--\n\n"
     "The candidates closest to a misspelt word (any letter case), nearest first; [] when none is near."},
    {"read_utf8_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_read_utf8_bytes)),
     METH_FASTCALL | METH_KEYWORDS,
     "read_utf8_bytes(path, encoding=None)\n--\n\n"
     "Read a text file and return its text as UTF-8 bytes.\n\n"
     "Without an encoding, a file that is valid UTF-8 is returned as it is (a byte-order\n"
     "mark is dropped) and any other file is read as Windows-1252. With an encoding,\n"
     "the file is decoded with it strictly and re-encoded as UTF-8."},
    {"any_to_string", py_any_to_string, METH_O,
     "any_to_string(value, /)\n--\n\n"
     "Field text of a value as UTF-8 bytes: str as it is, True/False as Yes/No, int as its\n"
     "digits, float as its shortest round-trip text, anything else as str(value)."},
    {"eso_points", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_eso_points)), METH_FASTCALL,
     "eso_points(data, wanted, year, /)\n--\n\n"
     "The points of time series in the engine's text format (.eso, .mtr), in file order.\n\n"
     "`data` is the file's bytes (any buffer); `wanted` maps each variable id to the id of\n"
     "the clock record (2 to 6) its values follow. Returns {id: [(environment, time,\n"
     "value), ...]}: `environment` the title of the last environment record, `time` the\n"
     "end of the interval of the last record of that clock, as a datetime in `year`: a\n"
     "timestep or hourly record (2) at its end minute, a daily record (3) at the next\n"
     "midnight, a monthly record (4) at the next month's first midnight; run-period and\n"
     "yearly records (5, 6) at the end of the environment's latest timestep, hour or day\n"
     "(at 1 January without one, like records that do not read).\n"
     "A value that is not a number raises ValueError with its line."},
    {"get_current_time", py_get_current_time, METH_NOARGS,
     "get_current_time()\n--\n\nLocal time as 'YYYY-MM-DD HH:MM:SS'."},
    {"get_continuous_digits_indices", py_get_continuous_digits_indices, METH_O,
     "get_continuous_digits_indices(key, /)\n--\n\n"
     "(start, end) of the first run of ASCII digits in a bytes key, end exclusive;\n"
     "(-1, -1) when the key has no digit."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) { return publish_capi(module, "_C_API", UTILS_CAPSULE, &kCapi); }

PyModuleDef_Slot kSlots[] = {QUARVEL_MODULE_SLOTS(exec_module)};

// The module keeps no state: its table is constant.
PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "quarvel.utils",
    "File reading, value-to-text conversion, timestamps, digit runs and time-series values for quarvel.", 0, kMethods, kSlots,
};

}  // namespace
}  // namespace quarvel

PyMODINIT_FUNC PyInit_utils() { return PyModuleDef_Init(&quarvel::kModule); }
