// A file read in pieces of whole lines: loading a large model then holds one piece of
// its text at a time, not the whole file beside the objects made from it.
#include "file_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace quarvel {

namespace {

// Large enough that a read costs little per byte, small enough that a piece is still
// in the cache while it is parsed.
constexpr size_t kPieceBytes = size_t{1} << 20;
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// Where a piece of data[from, size) may end: right after the last LF, or after the last
// CR that is not the final byte (a final CR may be the first half of a CRLF).
// 0 when there is no such place.
size_t line_cut(const char* data, size_t from, size_t size) {
  for (size_t i = size; i > from; --i) {
    const char c = data[i - 1];
    if (c == '\n' || (c == '\r' && i < size)) return i;
  }
  return 0;
}

class FileLineChunks final : public LineChunks {
 public:
  // `seekable`: a regular file, read again from its start when needed; the bytes of
  // any other file (a pipe) are all kept instead, so that they can be read again.
  FileLineChunks(FILE* file, bool seekable) : file_(file), seekable_(seekable) {}
  ~FileLineChunks() override { std::fclose(file_); }
  FileLineChunks(const FileLineChunks&) = delete;
  FileLineChunks& operator=(const FileLineChunks&) = delete;

  Status next(std::string_view& piece) noexcept override {
    try {
      if (seekable_ && start_ > 0) {  // what was handed out is no longer needed
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
      }
      size_t searched = start_;  // bytes before this hold no place to cut
      for (;;) {
        const size_t cut = eof_ ? end_ : line_cut(buffer_.data(), searched, end_);
        if (cut > start_) {
          piece = std::string_view(buffer_.data() + start_, cut - start_);
          start_ = cut;
          break;
        }
        if (eof_) {  // everything has been handed out
          piece = std::string_view();
          return Status();
        }
        searched = end_ > start_ ? end_ - 1 : start_;  // a final CR is looked at again
        if (!fill()) return Status::of(Fault::kRead, 0, 0, {}, error_);
      }
      if (cp1252_) {
        converted_ = cp1252_to_utf8(piece);
        piece = converted_;
      }
      return Status();
    } catch (const std::bad_alloc&) {
      return Status::of(Fault::kNoMemory);
    }
  }

  Status restart_as_cp1252() noexcept override {
    cp1252_ = true;
    start_ = 0;
    if (seekable_) {
      if (std::fseek(file_, 0, SEEK_SET) != 0) return Status::of(Fault::kRead, 0, 0, {}, errno);
      end_ = 0;
      eof_ = false;
      bom_checked_ = false;
    } else {
      skip_bom();
    }
    return Status();
  }

 private:
  // Reads up to another piece's worth of bytes after those read. False on a read error.
  bool fill() {
    if (buffer_.size() < end_ + kPieceBytes) buffer_.resize(std::max(buffer_.size() * 2, end_ + kPieceBytes));
    const size_t got = std::fread(buffer_.data() + end_, 1, kPieceBytes, file_);
    end_ += got;
    if (got < kPieceBytes) {
      if (std::ferror(file_)) {
        error_ = errno;
        return false;
      }
      eof_ = true;
    }
    if (!bom_checked_ && (end_ >= kBom.size() || eof_)) skip_bom();
    return true;
  }

  void skip_bom() {
    bom_checked_ = true;
    if (std::string_view(buffer_.data(), end_).starts_with(kBom)) start_ = kBom.size();
  }

  FILE* file_;
  bool seekable_;
  std::vector<char> buffer_;
  size_t start_ = 0;  // where the next piece starts in buffer_
  size_t end_ = 0;    // how many bytes of buffer_ hold what was read
  bool eof_ = false;
  bool bom_checked_ = false;
  bool cp1252_ = false;
  std::string converted_;  // the piece handed out, as UTF-8, when reading Windows-1252
  int error_ = 0;
};

}  // namespace

std::unique_ptr<LineChunks> open_line_chunks(PyObject* path) {
  if (const int open_file = is_open_file(path); open_file != 0) return nullptr;  // an error is set when < 0
  FileKind kind;
  long long size;
  FILE* file = open_for_reading(path, kind, size);
  if (!file) return nullptr;
  try {
    return std::make_unique<FileLineChunks>(file, kind == FileKind::kRegular);
  } catch (const std::bad_alloc&) {
    std::fclose(file);
    PyErr_NoMemory();
    return nullptr;
  }
}

}  // namespace quarvel
