// The utility functions quarvel.utils publishes for the other modules.
#pragma once
#include "capi.hpp"
#include "status.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quarvel {

inline constexpr uint32_t UTILS_CAPI_VERSION = 4;

// A file handed out in pieces of whole lines, so that a reader holds one piece at a
// time instead of the whole file. A leading byte-order mark is left out.
class LineChunks {
 public:
  virtual ~LineChunks() = default;
  // The next piece, ending right after a line break (the last one where the file
  // ends); empty once the file is done. The view is valid until the next call. Needs
  // no interpreter lock. Fails with kRead (the errno in `code`) or kNoMemory.
  virtual Status next(std::string_view& piece) noexcept = 0;
  // From the start again, every piece read as Windows-1252 and handed out as UTF-8:
  // for a file that turns out not to be UTF-8. Fails as next() does.
  virtual Status restart_as_cp1252() noexcept = 0;
};

inline constexpr const char* UTILS_CAPSULE = "quarvel.utils._C_API";

struct UtilsCapi {
  CapiHeader header;
  // File text as UTF-8 bytes; `encoding` is None or a str. New reference or null.
  PyObject* (*read_utf8_bytes)(PyObject* path, PyObject* encoding);
  // The pieces of the file at `path`; null with an exception on failure, and null with
  // none for an open file object (which read_utf8_bytes reads).
  std::unique_ptr<LineChunks> (*open_line_chunks)(PyObject* path);
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
