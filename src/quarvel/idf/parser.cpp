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
  CommentPlacer(LexerObject* lexer, std::vector<c_IDFObject>& out, c_IDFObject& current, ModelComments* model)
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
        pending_above_.push_back(c.text);
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

  LexerObject* lexer_;
  std::vector<c_IDFObject>& out_;
  c_IDFObject& current_;
  ModelComments* model_;
  size_t next_ = 0;  // the next comment of the tokenizer's queue to place
  bool started_ = false;
  std::vector<std::string_view> pending_above_;  // comment lines waiting for the next object
  std::vector<int64_t> pending_lines_;      // and the lines they stand on
};

}  // namespace

ParseFailure parse_idf(LexerObject* lexer, std::vector<c_IDFObject>& out, ModelComments* comments) noexcept {
  ParseFailure failure;
  try {
    const auto next_token = g.lexer->ops->next_token;
    lexer->keep_comments = comments != nullptr;
    c_IDFObject current;
    CommentPlacer placer(lexer, out, current, comments);
    // Values gather in a reused vector and move into one of exact size per object:
    // one allocation per object instead of one per doubling, and no spare capacity
    // kept for the model's lifetime.
    std::vector<std::string> gathered;
    gathered.reserve(64);
    std::string last_text;
    bool object_started = false;
    auto store_slot = [&] {
      if (object_started) {
        gathered.push_back(std::move(last_text));
      } else {
        current.class_name = std::move(last_text);
      }
      last_text.clear();
    };
    // The slot a value token fills: the class name before the first comma, else the next field.
    auto slot = [&] { return object_started ? static_cast<int>(gathered.size()) : -1; };
    // At the first token of an object (text, or a delimiter after an empty class name).
    auto begin_object = [&] {
      current.line = lexer->line_num;
      if (placer.keeping()) placer.begin_object(current.line);
    };
    // The slot of the last value read: one waiting for its delimiter, the last one stored
    // in the object being read, or the last one of the object read before.
    auto last_slot = [&]() -> Slot {
      if (!last_text.empty()) return Slot{out.size(), slot()};
      if (object_started) return Slot{out.size(), static_cast<int>(gathered.size()) - 1};
      if (out.empty()) return Slot{0, -1};
      return Slot{out.size() - 1, static_cast<int>(out.back().values.size()) - 1};
    };
    for (;;) {
      Token tok = next_token(lexer);
      if (!lexer->comments.empty()) {  // only when comments are kept and some were read
        const bool inside = object_started || !last_text.empty();
        placer.place_before(tok.type == TOKEN_EOF ? -1 : lexer->line_num, inside,
                            slot() + (last_text.empty() || !object_started ? 0 : 1), last_slot());
      }
      switch (tok.type) {
        case TOKEN_EOF:
          if (object_started || !last_text.empty()) {
            failure.kind = ParseFailure::kUnterminated;
            failure.line = lexer->line_num;
          } else if (placer.keeping()) {
            placer.finish(last_slot());
          }
          return failure;
        case TOKEN_ERROR:
          failure.kind = ParseFailure::kTokenError;
          failure.line = lexer->line_num;
          failure.text = std::move(tok.value);
          return failure;
        case TOKEN_TEXT:
          if (!last_text.empty()) {
            failure.kind = ParseFailure::kMissingDelimiter;
            failure.line = lexer->line_num;
            failure.text = std::move(tok.value);
            return failure;
          }
          if (!object_started) begin_object();
          last_text = std::move(tok.value);
          break;
        case TOKEN_COMMA:
          if (!object_started && last_text.empty()) begin_object();
          store_slot();
          object_started = true;
          break;
        case TOKEN_SEMICOLON:
          if (!object_started && last_text.empty()) begin_object();
          store_slot();
          current.values.reserve(gathered.size());
          for (std::string& value : gathered) current.values.push_back(std::move(value));
          gathered.clear();
          out.push_back(std::move(current));
          current = c_IDFObject();
          object_started = false;
          break;
        default:
          failure.kind = ParseFailure::kUnknownToken;
          failure.line = lexer->line_num;
          failure.token_type = static_cast<int>(tok.type);
          return failure;
      }
    }
  } catch (const std::bad_alloc&) {
    failure.kind = ParseFailure::kNoMemory;
  }
  return failure;
}

}  // namespace quarvel::idf
