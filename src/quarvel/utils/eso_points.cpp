// The values of a run's time series from the engine's text format (.eso, .mtr), in one
// pass over the bytes: after the data dictionary, each line is `id,value` of a variable,
// or a record of the environment (id 1) or of a clock (ids 2 to 6) that the values after
// it belong to.
#include "eso_points.hpp"

#include "quarvel/errors.hpp"

#include <datetime.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace quarvel {
namespace {

constexpr std::string_view kDictionaryEnd = "End of Data Dictionary";
constexpr long kFirstClock = 2;
constexpr long kDayClock = 3;
constexpr long kMonthClock = 4;
constexpr long kLastClock = 6;

struct Wanted {
  long clock = 0;           // the clock record its values follow; 0: not wanted
  PyObject* out = nullptr;  // its list of points, owned by the result dict
};

// The wanted variables by id: the engine numbers them from 7 up, so a table indexed by
// id serves them, and a map the rare id beyond it.
class WantedTable {
 public:
  static constexpr long kDirect = 1 << 16;

  void add(long id, Wanted wanted) {
    if (id < kDirect) {
      if (static_cast<size_t>(id) >= direct_.size()) direct_.resize(static_cast<size_t>(id) + 1);
      direct_[static_cast<size_t>(id)] = wanted;
    } else {
      beyond_[id] = wanted;
    }
  }

  const Wanted* find(long id) const {
    if (id < kDirect) {
      return static_cast<size_t>(id) < direct_.size() && direct_[static_cast<size_t>(id)].out
                 ? &direct_[static_cast<size_t>(id)]
                 : nullptr;
    }
    const auto found = beyond_.find(id);
    return found == beyond_.end() ? nullptr : &found->second;
  }

 private:
  std::vector<Wanted> direct_;
  std::unordered_map<long, Wanted> beyond_;
};

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The id a line starts with, as the engine writes ids (digits, no sign, no leading zero,
// then a comma), and where its comma is; false for any other line.
bool line_id(std::string_view text, long& id, size_t& comma) {
  constexpr size_t kMostDigits = 9;
  size_t digits = 0;
  id = 0;
  while (digits < text.size() && digits <= kMostDigits && text[digits] >= '0' && text[digits] <= '9') {
    id = id * 10 + (text[digits++] - '0');
  }
  comma = digits;
  return digits > 0 && digits <= kMostDigits && digits < text.size() && text[digits] == ',' &&
         !(text[0] == '0' && digits > 1);
}

PyRef text_of(std::string_view bytes) {
  // The engine writes some text (a degree sign) in its own 8-bit encoding.
  return take(PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

double number_of(std::string_view field, size_t line, long id) {
  std::string_view text = trimmed(field);
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  double value = 0.0;
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error == std::errc::result_out_of_range && stop == text.data() + text.size()) {
    // from_chars leaves the value alone; Python reads such a number as inf or 0.
    const std::string copy(text);
    return PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
  }
  if (text.empty() || stop != text.data() + text.size() || error != std::errc()) {
    PyRef shown = text_of(field.substr(0, 40));
    raise_format(PyExc_ValueError, "line %zu: the value %R of variable %ld is not a number", line, shown.get(), id);
  }
  return value;
}

WantedTable wanted_of(PyObject* wanted, PyObject* result) {
  if (!PyDict_Check(wanted)) raise(PyExc_TypeError, "wanted must be a dict of variable ids to clock ids");
  WantedTable out;
  Py_ssize_t position = 0;
  PyObject* id = nullptr;
  PyObject* clock = nullptr;
  while (PyDict_Next(wanted, &position, &id, &clock)) {
    const long variable = PyLong_Check(id) ? PyLong_AsLong(id) : -1;
    const long kind = PyLong_Check(clock) ? PyLong_AsLong(clock) : -1;
    if (PyErr_Occurred()) throw PythonErrorSet();
    if (variable <= kLastClock || kind < kFirstClock || kind > kLastClock) {
      raise(PyExc_ValueError, "wanted maps variable ids above 6 to clock ids 2 to 6");
    }
    PyRef points = take(PyList_New(0));
    PyRef key = take(PyLong_FromLong(variable));
    check_status(PyDict_SetItem(result, key.get(), points.get()));
    out.add(variable, Wanted{kind, points.get()});
  }
  return out;
}

// The fields of a record after its id, blanks around each dropped.
std::vector<std::string_view> fields_of(std::string_view rest) {
  std::vector<std::string_view> out;
  for (;;) {
    const size_t comma = rest.find(',');
    out.push_back(trimmed(rest.substr(0, comma)));
    if (comma == std::string_view::npos) return out;
    rest.remove_prefix(comma + 1);
  }
}

bool whole_number(std::string_view text, long& out) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && error == std::errc() && stop == text.data() + text.size();
}

bool real_number(std::string_view text, double& out) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && error == std::errc() && stop == text.data() + text.size();
}

int days_in(long year, long month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Midnight starting a day plus some minutes; null (no error set) for a day the
// calendar does not have.
PyRef moment(long year, long month, long day, double minutes) {
  month = month < 1 ? 1 : month;
  day = day < 1 ? 1 : day;
  if (month > 12 || day > days_in(year, month)) return PyRef();
  PyRef start = take(PyDateTime_FromDateAndTime(static_cast<int>(year), static_cast<int>(month),
                                                static_cast<int>(day), 0, 0, 0, 0));
  if (minutes == 0.0) return start;
  const long long micro = std::llround(minutes * 60e6);
  const long long seconds = micro / 1000000;
  PyRef delta = take(PyDelta_FromDSU(static_cast<int>(seconds / 86400), static_cast<int>(seconds % 86400),
                                     static_cast<int>(micro % 1000000)));
  return take(PyNumber_Add(start.get(), delta.get()));
}

// The end of the interval a clock record stands for: a timestep or hour record (day of
// simulation, month, day, dst, hour, start minute, end minute, day type) ends at its end
// minute of the hour, a day record (cumulative day, month, day, ...) at the next midnight,
// a month record (cumulative days, month) at the next month's first midnight. Run-period
// and year records, and records that do not read, stand at 1 January.
PyRef clock_of_record(long kind, std::string_view rest, long year) {
  const std::vector<std::string_view> f = fields_of(rest);
  long month = 0;
  long day = 0;
  long hour = 0;
  double end = 0.0;
  PyRef found;
  if (kind == 2 && f.size() > 6 && whole_number(f[1], month) && whole_number(f[2], day) &&
      whole_number(f[4], hour) && real_number(f[6], end) && std::isfinite(end)) {
    found = moment(year, month, day, static_cast<double>(hour - 1) * 60.0 + end);
  } else if (kind == 3 && f.size() > 2 && whole_number(f[1], month) && whole_number(f[2], day)) {
    found = moment(year, month, day, 24 * 60);
  } else if (kind == 4 && f.size() > 1 && whole_number(f[1], month) && month >= 1 && month <= 12) {
    found = moment(year, month, days_in(year, month), 24 * 60);
  }
  return found ? std::move(found) : moment(year, 1, 1, 0.0);
}

}  // namespace

PyObject* eso_points(PyObject* data, PyObject* wanted, long year) {
  return guard(
      [&]() -> PyObject* {
        if (year < 1 || year > 9998) raise(PyExc_ValueError, "year must be 1 to 9998");
        if (!PyDateTimeAPI) {
          PyDateTime_IMPORT;
          if (!PyDateTimeAPI) throw PythonErrorSet();
        }
        Py_buffer view;
        check_status(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE));
        struct Release {
          Py_buffer* view;
          ~Release() { PyBuffer_Release(view); }
        } release{&view};
        PyRef result = take(PyDict_New());
        const WantedTable slots = wanted_of(wanted, result.get());

        PyRef environment = take(PyUnicode_FromString(""));
        PyRef last_end;  // the end of the environment's latest timestep, hour or day
        PyRef clocks[kLastClock + 1];
        for (PyRef& c : clocks) c = moment(year, 1, 1, 0.0);

        const char* at = static_cast<const char*>(view.buf);
        const char* const end = at + view.len;
        bool in_data = false;
        for (size_t line = 1; at < end; ++line) {
          const char* stop = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
          std::string_view text(at, static_cast<size_t>((stop ? stop : end) - at));
          at = stop ? stop + 1 : end;
          if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
          if (!in_data) {
            in_data = text.substr(0, kDictionaryEnd.size()) == kDictionaryEnd;
            continue;
          }
          long id = 0;
          size_t comma = 0;
          if (!line_id(text, id, comma)) continue;
          const std::string_view rest = text.substr(comma + 1);
          if (const Wanted* slot = slots.find(id)) {
            const double number = number_of(rest.substr(0, rest.find(',')), line, id);
            PyRef point = take(PyTuple_New(3));
            PyObject* value = PyFloat_FromDouble(number);
            if (!value) throw PythonErrorSet();
            PyTuple_SET_ITEM(point.get(), 0, Py_NewRef(environment.get()));
            PyTuple_SET_ITEM(point.get(), 1, Py_NewRef(clocks[slot->clock].get()));
            PyTuple_SET_ITEM(point.get(), 2, value);
            // A point holds no container (str, datetime, float): it cannot be part of a
            // cycle, so the collector need not walk it.
            PyObject_GC_UnTrack(point.get());
            check_status(PyList_Append(slot->out, point.get()));
          } else if (id == 1) {
            environment = text_of(trimmed(rest.substr(0, rest.find(','))));
            last_end = PyRef();
          } else if (id <= kDayClock) {
            clocks[id] = clock_of_record(id, rest, year);
            last_end = PyRef::borrow(clocks[id].get());
          } else if (id == kMonthClock) {
            clocks[id] = clock_of_record(id, rest, year);
          } else if (id <= kLastClock) {
            // A run period's or year's values are written when it ends, right after the
            // environment's latest interval.
            clocks[id] = last_end ? PyRef::borrow(last_end.get()) : clock_of_record(id, rest, year);
          }
        }
        return result.release();
      },
      nullptr);
}

}  // namespace quarvel
