// Reading text files as UTF-8, with a Windows-1252 fallback for files that are not.
#pragma once
#include "quarvel/pyref.hpp"

#include <string>
#include <string_view>

namespace quarvel {

// Windows-1252 (Latin-1 for the five bytes that code page leaves undefined) to UTF-8.
std::string cp1252_to_utf8(std::string_view bytes);

// The bytes of a file, path given as str, bytes or path-like; new reference or null.
PyObject* read_file_bytes(PyObject* path);

// The file's text as UTF-8 bytes: see read_utf8_bytes in the module docs.
PyObject* read_utf8_bytes(PyObject* path, PyObject* encoding);

}  // namespace quarvel
