// The utility functions quarvel.utils publishes for the other modules.
#pragma once
#include "capi.hpp"

#include <string>
#include <string_view>
#include <utility>

namespace quarvel {

inline constexpr uint32_t UTILS_CAPI_VERSION = 2;
inline constexpr const char* UTILS_CAPSULE = "quarvel.utils._C_API";

struct UtilsCapi {
  CapiHeader header;
  // File text as UTF-8 bytes; `encoding` is None or a str. New reference or null.
  PyObject* (*read_utf8_bytes)(PyObject* path, PyObject* encoding);
  // Field text of a Python value; 0, or -1 with an exception set.
  int (*any_to_string)(PyObject* value, std::string& out);
  // Local time as YYYY-MM-DD HH:MM:SS; never fails.
  std::string (*get_current_time)();
  // First run of ASCII digits as (start, end), end exclusive; (-1, -1) when none.
  std::pair<Py_ssize_t, Py_ssize_t> (*get_continuous_digits_indices)(std::string_view key);
};

// The utility table shares no struct; its fingerprint covers the table itself.
inline constexpr uint64_t UTILS_LAYOUT = layout_fingerprint(sizeof(UtilsCapi));

}  // namespace quarvel
