// How the plain C++ layer of every module reports a failure: one status, saying what went
// wrong and where. It touches no Python object; the Python layer turns a status into its
// exception once, at the entry point that called (and only there).
#pragma once
#include <cstdint>
#include <string>

namespace quarvel {

enum class Fault : uint8_t {
  kNone,
  kNoMemory,
  kRead,              // reading a file failed; `code` is the errno
  kDecode,            // text in a declared encoding does not decode; `detail` says where
  kUnterminated,      // IDF text ends inside an object
  kTokenError,        // the tokenizer refused a byte; `detail` is its message
  kMissingDelimiter,  // two values without a delimiter; `detail` is the second
  kUnknownToken,      // a token of no known type; `code` is the type
  kSchemaText,        // IDD text that is malformed; `detail` says how
  kPythonError,       // a Python callback failed; its exception is set
};

struct Status {
  Fault fault = Fault::kNone;
  int64_t line = 0;    // 1-based; 0 when the failure has no place in a text
  int64_t column = 0;  // 1-based byte column; 0 when unknown
  int code = 0;
  std::string detail;

  bool ok() const noexcept { return fault == Fault::kNone; }
  static Status of(Fault fault, int64_t line = 0, int64_t column = 0, std::string detail = {}, int code = 0) {
    return Status{fault, line, column, code, std::move(detail)};
  }
};

}  // namespace quarvel
