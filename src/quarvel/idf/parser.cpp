// The IDF grammar over the tokenizer's stream: objects are a class name and field
// values separated by commas and closed by a semicolon. Plain C++: it runs without
// the interpreter lock and touches no Python object.
//
// When asked to, it also places the user's comments: a comment line before an object
// belongs to that object, one inside an object to the field that follows it, one after
// values to the last value on its line, and the lines after the last object belong to
// the model. Before the first object, the block of comment lines right above it (no
// blank line between) is that object's; what stands apart from it is the file's header,
// which stays at the top however the objects are ordered.
#include "core.hpp"
#include "quarvel/token_scan.hpp"

#include <deque>

namespace quarvel::idf {

namespace {

// A value slot of an object: its index in `out` (out.size() for the one being read)
// and the field (-1 for the class name).
struct Slot {
  size_t object;
  int field;
};

class CommentPlacer {
 public:
  CommentPlacer(LexerInstance* lexer, std::vector<c_IDFObject>& out, c_IDFObject& current, ModelComments* model)
      : lexer_(lexer), out_(out), current_(current), model_(model) {}

  bool keeping() const { return model_ != nullptr; }

  // Places the comments of the lines before `line` (all of them at the end, line -1).
  // `inside` tells whether an object is being read; `next_field` is the field that a
  // comment line inside it stands above; `last` is the slot of the last value read,
  // which a comment after values belongs to: placed before the next token, whose line
  // is past the comment's, the last value read is the last one on the comment's line.
  void place_before(int64_t line, bool inside, int next_field, Slot last) {
    auto& queue = lexer_->comments;
    while (next_ < queue.size() && (line < 0 || queue[next_].line < line)) {
      LexComment& c = queue[next_++];
      if (c.after_token) {
        object_at(last.object).fields.push_back(FieldComment{last.field, true, std::string(c.text)});
      } else if (inside && next_field < 0) {
        object_at(out_.size()).above.push_back(c.text);  // between the class name and its comma
      } else if (inside) {
        object_at(out_.size()).fields.push_back(FieldComment{next_field, false, std::string(c.text)});
      } else {
        pending_above_.emplace_back(c.text);
        pending_lines_.push_back(c.line);
      }
    }
    if (next_ == queue.size() && next_ > 0) {
      queue.clear();
      next_ = 0;
    }
  }

  // A new object begins on `line`: the comment lines waiting above it are its own, but
  // for those of the first object that stand apart from it, the header.
  void begin_object(int64_t line) {
    const bool first = !started_;
    started_ = true;
    if (pending_above_.empty()) return;
    size_t own = 0;  // how many of the last pending lines are the object's
    if (first) {
      int64_t expected = line - 1;
      while (own < pending_lines_.size() && pending_lines_[pending_lines_.size() - 1 - own] == expected) {
        ++own;
        --expected;
      }
      const size_t header = pending_above_.size() - own;
      for (size_t i = 0; i < header; ++i) model_->header.push_back(pending_above_[i]);
      pending_above_.erase(pending_above_.begin(), pending_above_.begin() + static_cast<std::ptrdiff_t>(header));
    }
    if (!pending_above_.empty()) {
      CommentLines& above = comments_of(current_).above;
      for (std::string_view text : pending_above_) above.push_back(text);
      above.shrink_to_fit();
    }
    pending_above_.clear();
    pending_lines_.clear();
  }

  void finish(Slot last) {
    place_before(-1, false, 0, last);
    auto& rest = started_ ? model_->trailer : model_->header;
    for (std::string_view text : pending_above_) rest.push_back(text);
    pending_above_.clear();
    pending_lines_.clear();
    model_->header.shrink_to_fit();
    model_->trailer.shrink_to_fit();
  }

 private:
  static ObjectComments& comments_of(c_IDFObject& o) {
    if (!o.comments) o.comments = std::make_unique<ObjectComments>();
    return *o.comments;
  }
  ObjectComments& object_at(size_t index) { return comments_of(index < out_.size() ? out_[index] : current_); }

  LexerInstance* lexer_;
  std::vector<c_IDFObject>& out_;
  c_IDFObject& current_;
  ModelComments* model_;
  size_t next_ = 0;  // the next comment of the tokenizer's queue to place
  bool started_ = false;
  // Comment lines waiting for the next object: copies, since the text they were read
  // from may be gone (a file is read in pieces) by the time the object comes.
  std::vector<std::string> pending_above_;
  std::vector<int64_t> pending_lines_;      // and the lines they stand on
};

// The grammar's state between tokens, so that the text can come in pieces: a piece
// ends at a line break, and the state carries what an unfinished object holds.
class IdfReader {
 public:
  IdfReader(const LexerOps& ops, LexerInstance* lexer, std::vector<c_IDFObject>& out, ModelComments* comments)
      : ops_(ops), lexer_(lexer), out_(out), placer_(lexer, out, current_, comments) {
    lexer->keep_comments = comments != nullptr;
    // An object's values gather as views of the text and are copied once, into a
    // vector of exact size: one allocation per object instead of one per doubling, no
    // spare capacity kept for the model's lifetime, and no string moved about.
    gathered_.reserve(64);
  }

  // Reads the tokenizer's input to its end. With `last`, that is the end of the text;
  // else more text follows, and the comments read so far are placed now, while the
  // text they view is still there (no token comes between them and the next piece,
  // so they are placed as they would be before its first token).
  Status read(bool last) {
    const auto scan_next_line = ops_.scan_next_line;
    for (;;) {
      Token tok = token_scan::next_token(lexer_, scan_next_line);
      if (!lexer_->comments.empty()) {  // only when comments are kept and some were read
        const bool inside = object_started_ || !last_text_.empty();
        placer_.place_before(tok.type == TOKEN_EOF ? -1 : lexer_->line_num, inside,
                             slot() + (last_text_.empty() || !object_started_ ? 0 : 1), last_slot());
      }
      switch (tok.type) {
        case TOKEN_EOF:
          if (!last) {
            carry_unfinished();
            return Status();
          }
          if (object_started_ || !last_text_.empty()) return Status::of(Fault::kUnterminated, lexer_->line_num);
          if (placer_.keeping()) placer_.finish(last_slot());
          return Status();
        case TOKEN_ERROR:
          return Status::of(Fault::kTokenError, lexer_->line_num, column_of(tok), std::string(tok.value));
        case TOKEN_TEXT:
          if (!last_text_.empty()) {
            return Status::of(Fault::kMissingDelimiter, lexer_->line_num, column_of(tok), std::string(tok.value));
          }
          if (!object_started_) begin_object();
          last_text_ = tok.value;
          break;
        case TOKEN_COMMA:
          if (!object_started_ && last_text_.empty()) begin_object();
          store_slot();
          object_started_ = true;
          break;
        case TOKEN_SEMICOLON:
          if (!object_started_ && last_text_.empty()) begin_object();
          store_slot();
          current_.values.reserve(gathered_.size());
          for (std::string_view value : gathered_) current_.values.emplace_back(value);
          gathered_.clear();
          carried_.clear();
          out_.push_back(std::move(current_));
          current_ = c_IDFObject();
          object_started_ = false;
          break;
        default:
          return Status::of(Fault::kUnknownToken, lexer_->line_num, 0, {}, static_cast<int>(tok.type));
      }
    }
  }

 private:
  void store_slot() {
    if (object_started_) {
      gathered_.push_back(last_text_);
    } else {
      current_.class_name = last_text_;
    }
    last_text_ = std::string_view();
  }
  // The text of a piece is about to go: the views of the object being read into it
  // become views of copies.
  void carry_unfinished() {
    for (std::string_view& value : gathered_) value = carried_.emplace_back(value);
    if (!last_text_.empty()) last_text_ = carried_.emplace_back(last_text_);
  }
  // The slot a value token fills: the class name before the first comma, else the next field.
  int slot() const { return object_started_ ? static_cast<int>(gathered_.size()) : -1; }
  // At the first token of an object (text, or a delimiter after an empty class name).
  void begin_object() {
    current_.line = lexer_->line_num;
    if (placer_.keeping()) placer_.begin_object(current_.line);
  }
  // The slot of the last value read: one waiting for its delimiter, the last one stored
  // in the object being read, or the last one of the object read before.
  Slot last_slot() const {
    if (!last_text_.empty()) return Slot{out_.size(), slot()};
    if (object_started_) return Slot{out_.size(), static_cast<int>(gathered_.size()) - 1};
    if (out_.empty()) return Slot{0, -1};
    return Slot{out_.size() - 1, static_cast<int>(out_.back().values.size()) - 1};
  }

  // The byte column of a token of the current line (0 when it views no line).
  int64_t column_of(const Token& tok) const {
    const char* at = tok.value.data();
    const char* start = lexer_->line_start;
    if (!at || !start || at < start) return 0;
    return static_cast<int64_t>(at - start) + 1;
  }

  const LexerOps& ops_;
  LexerInstance* lexer_;
  std::vector<c_IDFObject>& out_;
  c_IDFObject current_;
  CommentPlacer placer_;
  std::vector<std::string_view> gathered_;  // views of the text or of carried_
  std::string_view last_text_;               // a value waiting for its delimiter
  std::deque<std::string> carried_;  // copies that outlive their piece (a deque never moves them)
  bool object_started_ = false;
};

}  // namespace

Status parse_idf(const LexerOps& ops, LexerInstance* lexer, std::vector<c_IDFObject>& out,
                 ModelComments* comments) noexcept {
  try {
    return IdfReader(ops, lexer, out, comments).read(true);
  } catch (const std::bad_alloc&) {
    return Status::of(Fault::kNoMemory);
  }
}

Status parse_idf_pieces(const LexerOps& ops, LexerInstance* lexer, LineChunks& pieces, std::vector<c_IDFObject>& out,
                        ModelComments* comments) noexcept {
  try {
    auto reader = std::make_unique<IdfReader>(ops, lexer, out, comments);
    bool as_cp1252 = false;
    for (;;) {
      std::string_view piece;
      if (Status read = pieces.next(piece); !read.ok()) return read;
      if (!ops.continue_with(lexer, piece) && !as_cp1252) {
        // Text that is not UTF-8 is read as Windows-1252, the whole of it: from the start again.
        if (Status again = pieces.restart_as_cp1252(); !again.ok()) return again;
        as_cp1252 = true;
        out.clear();
        if (comments) *comments = ModelComments();
        reader = std::make_unique<IdfReader>(ops, lexer, out, comments);
        lexer->line_num = 0;
        continue;
      }
      Status status = reader->read(piece.empty());
      if (!status.ok() || piece.empty()) return status;
    }
  } catch (const std::bad_alloc&) {
    return Status::of(Fault::kNoMemory);
  }
}

}  // namespace quarvel::idf
