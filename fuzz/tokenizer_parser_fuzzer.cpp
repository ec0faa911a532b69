// libFuzzer harness for the tokenizer and the IDF grammar, without an interpreter.
// Whatever the bytes, the parse ends (in records or in an error with a line number),
// and records that parsed come back unchanged from their own compact text.
#include "../src/quarvel/idf/core.hpp"
#include "../src/quarvel/lexer/lexer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using namespace quarvel;

// The tokenizer's table, as the parser is given it.
const LexerOps kOps = {nullptr, lexer::continue_with, lexer::scan_next_line};

// A tokenizer state outside any Python object.
struct Lexer {
  LexerInstance* obj;
  Lexer() : obj(static_cast<LexerInstance*>(std::calloc(1, sizeof(LexerInstance)))) {
    new (&obj->buffer) std::vector<Token>();
    new (&obj->comments) std::vector<LexComment>();
    new (&obj->error_text) std::string();
  }
  ~Lexer() {
    obj->buffer.~vector();
    obj->comments.~vector();
    obj->error_text.~basic_string();
    std::free(obj);
  }
};

Status parse(std::string_view text, std::vector<c_IDFObject>& records, int64_t& lines,
             ModelComments* comments = nullptr) {
  Lexer lx;
  lexer::reset(lx.obj, text, false);
  Status failure = idf::parse_idf(kOps, lx.obj, records, comments);
  lines = lx.obj->line_num;
  return failure;
}

void check(bool ok) {
  if (!ok) std::abort();
}

// Hands the text out a line at a time, as a file is read in pieces of whole lines.
class LinePieces final : public LineChunks {
 public:
  explicit LinePieces(std::string_view text) : rest_(text) {}
  Status next(std::string_view& piece) noexcept override {
    const size_t lf = rest_.find('\n');
    piece = rest_.substr(0, lf == std::string_view::npos ? rest_.size() : lf + 1);
    rest_.remove_prefix(piece.size());
    return Status();
  }
  // Text that is not UTF-8 is not compared.
  Status restart_as_cp1252() noexcept override { return Status::of(Fault::kDecode); }

 private:
  std::string_view rest_;
};

bool same_comments(const ObjectComments* a, const ObjectComments* b) {
  if (!a || !b) return !a && !b;
  if (a->above.lines() != b->above.lines() || a->fields.size() != b->fields.size()) return false;
  for (size_t i = 0; i < a->fields.size(); ++i) {
    const FieldComment &x = a->fields[i], &y = b->fields[i];
    if (x.field_idx != y.field_idx || x.same_line != y.same_line || x.text != y.text) return false;
  }
  return true;
}

// Parsing the text a line at a time gives what parsing it whole gave.
void check_pieces_agree(std::string_view text, const Status& whole_failure,
                        const std::vector<c_IDFObject>& whole, const ModelComments& whole_comments) {
  Lexer lx;
  LinePieces pieces(text);
  std::vector<c_IDFObject> records;
  ModelComments comments;
  const Status failure = idf::parse_idf_pieces(kOps, lx.obj, pieces, records, &comments);
  if (failure.fault == Fault::kDecode) return;  // not UTF-8
  check(failure.fault == whole_failure.fault && failure.line == whole_failure.line &&
        failure.column == whole_failure.column && failure.detail == whole_failure.detail);
  if (!failure.ok()) return;
  check(records.size() == whole.size());
  for (size_t i = 0; i < records.size(); ++i) {
    check(records[i].class_name == whole[i].class_name && records[i].values == whole[i].values &&
          records[i].line == whole[i].line && same_comments(records[i].comments.get(), whole[i].comments.get()));
  }
  check(comments.header.lines() == whole_comments.header.lines());
  check(comments.trailer.lines() == whole_comments.trailer.lines());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::vector<c_IDFObject> records;
  int64_t lines = 0;
  ModelComments comments;
  const Status failure = parse(text, records, lines, &comments);
  check_pieces_agree(text, failure, records, comments);
  if (!failure.ok()) {
    check(failure.line >= 1);
    return 0;
  }
  // Every kept comment is one line of text, placed on an object and a field that exist.
  auto one_line = [](std::string_view c) { check(c.find_first_of("\r\n") == std::string_view::npos); };
  comments.header.for_each(one_line);
  comments.trailer.for_each(one_line);
  for (const c_IDFObject& r : records) {
    if (!r.comments) continue;
    r.comments->above.for_each(one_line);
    for (const FieldComment& c : r.comments->fields) {
      one_line(c.text);
      check(c.field_idx >= -1 && c.field_idx <= static_cast<int>(r.values.size()));
    }
  }
  // No value or class name can hold a delimiter, a comment, a line break or blanks
  // at its ends, so the compact text of the records reads back as the same records.
  std::string compact;
  for (const c_IDFObject& r : records) {
    compact += r.class_name;
    for (const std::string& v : r.values) {
      check(v.find_first_of(",;!\r\n") == std::string::npos);
      check(v.empty() || (v.front() != ' ' && v.back() != ' ' && v.front() != '\t' && v.back() != '\t'));
      compact += ',';
      compact += v;
    }
    compact += ";\n";
  }
  std::vector<c_IDFObject> again;
  check(parse(compact, again, lines).ok());
  check(again.size() == records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    check(again[i].class_name == records[i].class_name && again[i].values == records[i].values);
  }

  // The dictionary mode of the tokenizer: no empty text token, lines never go back.
  Lexer lx;
  lexer::reset(lx.obj, text, true);
  int64_t last_line = 0;
  for (;;) {
    const Token tok = lexer::next_token(lx.obj);
    check(lx.obj->line_num >= last_line);
    last_line = lx.obj->line_num;
    if (tok.type == TOKEN_TEXT) check(!tok.value.empty());
    if (tok.type == TOKEN_EOF || tok.type == TOKEN_ERROR) break;
  }
  return 0;
}
