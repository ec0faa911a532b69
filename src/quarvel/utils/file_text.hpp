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

// An open file for reading bytes, path given as str, bytes or path-like; null with
// `error` set to errno when the system refused it, or with an exception when the path
// itself was refused.
FILE* open_binary(PyObject* path, int& error);

// What kind of file an open stream reads (and its size, for a regular file).
enum class FileKind { kRegular, kDirectory, kOther };
FileKind kind_of(FILE* file, long long& size);

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
