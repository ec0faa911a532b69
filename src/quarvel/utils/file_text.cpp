#include "file_text.hpp"
#include "quarvel/messages.hpp"

#include "quarvel/utf8.hpp"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace quarvel {

namespace {

// Code points of bytes 0x80..0x9F in Windows-1252; undefined ones map to themselves.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool starts_with_bom(std::string_view s) { return s.substr(0, 3) == kBom; }

PyObject* bytes_without_bom(PyObject* bytes) {
  std::string_view s(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
  if (!starts_with_bom(s)) return Py_NewRef(bytes);
  return PyBytes_FromStringAndSize(s.data() + 3, static_cast<Py_ssize_t>(s.size() - 3));
}


// A regular file is read straight into a bytes object of its size; null with errno
// set (and no exception) on a read error.
PyObject* read_regular(FILE* file, long long size) {
  PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
  if (!bytes) return nullptr;
  size_t got = 0;
  bool failed = false;
  Py_BEGIN_ALLOW_THREADS
  got = std::fread(PyBytes_AS_STRING(bytes), 1, static_cast<size_t>(size), file);
  failed = std::ferror(file) != 0;
  Py_END_ALLOW_THREADS
  if (failed) {
    Py_DECREF(bytes);
    return nullptr;
  }
  if (got != static_cast<size_t>(size) && _PyBytes_Resize(&bytes, static_cast<Py_ssize_t>(got)) < 0) {
    return nullptr;
  }
  return bytes;
}

// Pipes and other files without a known size are read in chunks until their end.
PyObject* read_stream(FILE* file) {
  std::string data;
  bool failed = false, no_memory = false;
  Py_BEGIN_ALLOW_THREADS
  try {
    char chunk[1 << 16];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) data.append(chunk, got);
    failed = std::ferror(file) != 0;
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) return PyErr_NoMemory();
  if (failed) return nullptr;
  return PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()));
}

}  // namespace

std::string cp1252_to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 8);
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else if (c < 0xA0) {
      append_utf8(out, kCp1252High[c - 0x80]);
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

namespace {

#ifdef _WIN32
// Windows opens non-ASCII names only through the wide-character call.
FILE* open_binary(PyObject* path, int& error) {
  PyObject* fs = nullptr;
  if (!PyUnicode_FSDecoder(path, &fs)) return nullptr;
  PyRef name(fs);
  wchar_t* wide = PyUnicode_AsWideCharString(fs, nullptr);
  if (!wide) return nullptr;
  FILE* file = nullptr;
  Py_BEGIN_ALLOW_THREADS
  file = _wfopen(wide, L"rb");
  error = errno;
  Py_END_ALLOW_THREADS
  PyMem_Free(wide);
  return file;
}

FileKind kind_of(FILE* file, long long& size) {
  struct _stat64 info {};
  if (_fstat64(_fileno(file), &info) != 0) return FileKind::kOther;
  size = info.st_size;
  const auto type = info.st_mode & _S_IFMT;
  return type == _S_IFDIR ? FileKind::kDirectory : type == _S_IFREG ? FileKind::kRegular : FileKind::kOther;
}
#else
FILE* open_binary(PyObject* path, int& error) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) return nullptr;
  PyRef name(encoded);
  FILE* file = nullptr;
  Py_BEGIN_ALLOW_THREADS
  file = std::fopen(PyBytes_AS_STRING(encoded), "rb");
  error = errno;
  Py_END_ALLOW_THREADS
  return file;
}

FileKind kind_of(FILE* file, long long& size) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return FileKind::kOther;
  size = static_cast<long long>(info.st_size);
  return S_ISDIR(info.st_mode) ? FileKind::kDirectory : S_ISREG(info.st_mode) ? FileKind::kRegular : FileKind::kOther;
}
#endif

}  // namespace

FILE* open_for_reading(PyObject* path, FileKind& kind, long long& size) {
  int saved_errno = 0;
  FILE* file = open_binary(path, saved_errno);
  if (!file) {
    if (!PyErr_Occurred()) {  // else the path itself was refused
      errno = saved_errno;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    }
    return nullptr;
  }
  size = 0;
  kind = kind_of(file, size);
  if (kind == FileKind::kDirectory) {
    std::fclose(file);
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return nullptr;
  }
  return file;
}

PyObject* read_file_bytes(PyObject* path) {
  FileKind kind;
  long long size;
  FILE* file = open_for_reading(path, kind, size);
  if (!file) return nullptr;
  PyObject* result = kind == FileKind::kRegular ? read_regular(file, size) : read_stream(file);
  const int saved_errno = errno;
  std::fclose(file);
  if (!result && !PyErr_Occurred()) {
    errno = saved_errno;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  }
  return result;
}

int is_open_file(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj) || PyByteArray_Check(obj)) return 0;
  // A failed lookup (out of memory) is an error, not an answer.
  const int is_path = PyObject_HasAttrStringWithError(obj, "__fspath__");
  if (is_path != 0) return is_path < 0 ? -1 : 0;
  return PyObject_HasAttrStringWithError(obj, "read");
}

// The whole of an open file: bytes from a binary one, the UTF-8 of the text of a text
// one (already decoded: it is returned as it is, a byte-order mark dropped).
PyObject* read_open_file(PyObject* file, bool& decoded) {
  PyRef data(PyObject_CallMethod(file, "read", nullptr));
  if (!data) return nullptr;
  decoded = PyUnicode_Check(data.get());
  if (decoded) {
    PyRef utf8(PyUnicode_AsUTF8String(data.get()));
    return utf8 ? bytes_without_bom(utf8.get()) : nullptr;
  }
  if (PyByteArray_Check(data.get())) return PyBytes_FromObject(data.get());
  if (!PyBytes_Check(data.get())) {
    PyErr_Format(PyExc_TypeError, messages::kReadNotText, Py_TYPE(data.get())->tp_name);
    return nullptr;
  }
  return data.release();
}

PyObject* read_utf8_bytes(PyObject* path, PyObject* encoding) {
  if (encoding != Py_None && !PyUnicode_Check(encoding)) {
    PyErr_Format(PyExc_TypeError, messages::kEncodingType, Py_TYPE(encoding)->tp_name);
    return nullptr;
  }
  bool decoded = false;
  const int open_file = is_open_file(path);
  if (open_file < 0) return nullptr;
  PyRef raw(open_file ? read_open_file(path, decoded) : read_file_bytes(path));
  if (!raw) return nullptr;
  if (decoded) return raw.release();
  const char* data = PyBytes_AS_STRING(raw.get());
  const auto size = static_cast<size_t>(PyBytes_GET_SIZE(raw.get()));

  if (encoding != Py_None) {
    const char* codec = PyUnicode_AsUTF8(encoding);
    if (!codec) return nullptr;
    PyRef text(PyUnicode_Decode(data, static_cast<Py_ssize_t>(size), codec, "strict"));
    if (!text) return nullptr;
    PyRef utf8(PyUnicode_AsUTF8String(text.get()));
    if (!utf8) return nullptr;
    return bytes_without_bom(utf8.get());
  }
  // A byte-order mark is dropped whichever way the rest is read.
  const size_t skip = starts_with_bom(std::string_view(data, size)) ? 3 : 0;
  if (utf8_first_invalid(data + skip, size - skip) == size - skip) return bytes_without_bom(raw.get());
  try {
    const std::string converted = cp1252_to_utf8(std::string_view(data + skip, size - skip));
    return PyBytes_FromStringAndSize(converted.data(), static_cast<Py_ssize_t>(converted.size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace quarvel
