// Reading text files as UTF-8, with a Windows-1252 fallback for files that are not.
#pragma once
#include "quarvel/pyref.hpp"
#include "quarvel/utils_api.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace quarvel {

// Windows-1252 (Latin-1 for the five bytes that code page leaves undefined) to UTF-8.
std::string cp1252_to_utf8(std::string_view bytes);

// What kind of file an open stream reads.
enum class FileKind { kRegular, kDirectory, kOther };

// A file opened for reading bytes, path given as str, bytes or path-like, with its kind
// and (for a regular file) its size; a directory is refused. Null with OSError set.
FILE* open_for_reading(PyObject* path, FileKind& kind, long long& size);

// An open file rather than a path: it reads, and is neither text, bytes nor path-like.
// 1 or 0, or -1 with an exception set.
int is_open_file(PyObject* obj);

// The pieces of a file: see UtilsCapi::open_line_chunks.
std::unique_ptr<LineChunks> open_line_chunks(PyObject* path);

// The bytes of a file, path given as str, bytes or path-like; new reference or null.
PyObject* read_file_bytes(PyObject* path);

// The file's text as UTF-8 bytes: see read_utf8_bytes in the module docs.
PyObject* read_utf8_bytes(PyObject* path, PyObject* encoding);

}  // namespace quarvel
