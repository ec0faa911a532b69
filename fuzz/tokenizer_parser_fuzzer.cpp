// libFuzzer harness for the tokenizer and the IDF grammar, without an interpreter.
// Whatever the bytes, the parse ends (in records or in an error with a line number),
// and records that parsed come back unchanged from their own compact text.
#include "../src/quarvel/idf/core.hpp"
#include "../src/quarvel/lexer/lexer.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

namespace quarvel::idf {
Bound g;  // the parser reads the tokenizer's table from here
}

namespace {

using namespace quarvel;

const LexerOps kOps = {nullptr, lexer::scan_next_line, lexer::next_token, lexer::tokenize_line,
                       lexer::push_text_token};
const LexerCapi kCapi = {{LEXER_CAPI_VERSION, sizeof(LexerCapi)}, nullptr, &kOps};

// A tokenizer state outside any Python object.
struct Lexer {
  LexerObject* obj;
  Lexer() : obj(static_cast<LexerObject*>(std::calloc(1, sizeof(LexerObject)))) {
    new (&obj->buffer) std::vector<Token>();
    new (&obj->comments) std::vector<LexComment>();
  }
  ~Lexer() {
    obj->buffer.~vector();
    obj->comments.~vector();
    std::free(obj);
  }
};

idf::ParseFailure parse(std::string_view text, std::vector<c_IDFObject>& records, int64_t& lines,
                        ModelComments* comments = nullptr) {
  Lexer lx;
  lexer::reset(lx.obj, text, false);
  idf::ParseFailure failure = idf::parse_idf(lx.obj, records, comments);
  lines = lx.obj->line_num;
  return failure;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  idf::g.lexer = &kCapi;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  std::vector<c_IDFObject> records;
  int64_t lines = 0;
  ModelComments comments;
  const idf::ParseFailure failure = parse(text, records, lines, &comments);
  if (failure.kind != idf::ParseFailure::kNone) {
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
  check(parse(compact, again, lines).kind == idf::ParseFailure::kNone);
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
