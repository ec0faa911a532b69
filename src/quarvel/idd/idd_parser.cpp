#include "idd_parser.hpp"
#include "quarvel/byte_scan.hpp"
#include "quarvel/messages.hpp"

#include "quarvel/numbers.hpp"

#include <charconv>
#include <cstring>

namespace quarvel::idd {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && ascii_iequals(s.substr(0, prefix.size()), prefix);
}

// A field code: A or N (any case) followed by digits.
bool is_field_code(std::string_view s) {
  if (s.size() < 2 || !(s[0] == 'A' || s[0] == 'a' || s[0] == 'N' || s[0] == 'n')) return false;
  for (size_t i = 1; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
  }
  return true;
}

bool parse_int(std::string_view s, int& out) {
  s = trim_blanks(s);
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return false;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

bool parse_number(std::string_view s, double& out) {
  const std::string_view text = trim_blanks(s);
  return !text.empty() && parse_real_text(text, out);
}

FieldType field_type_of(std::string_view word) {
  static const struct {
    std::string_view word;
    FieldType type;
  } kTypes[] = {{"integer", FIELDTYPE_INTEGER}, {"real", FIELDTYPE_REAL},        {"alpha", FIELDTYPE_ALPHA},
                {"choice", FIELDTYPE_CHOICE},   {"object-list", FIELDTYPE_OBJLIST}, {"node", FIELDTYPE_NODE}};
  for (const auto& t : kTypes) {
    if (ascii_iequals(word, t.word)) return t.type;
  }
  return FIELDTYPE_DEFAULT;
}

// Splits a field name of the first repeated group around its group number.
ExtPattern make_pattern(std::string_view first, const std::string_view* second) {
  ExtPattern pat;
  if (second) {
    // The number is where the first and the second group's names differ.
    size_t p = 0;
    while (p < first.size() && p < second->size() && first[p] == (*second)[p]) ++p;
    while (p > 0 && is_digit(first[p - 1])) --p;
    size_t s = 0;
    while (s < first.size() - p && s < second->size() - p &&
           first[first.size() - 1 - s] == (*second)[second->size() - 1 - s]) {
      ++s;
    }
    while (s > 0 && is_digit(first[first.size() - s])) --s;
    const std::string_view middle = first.substr(p, first.size() - p - s);
    bool all_digits = !middle.empty();
    for (char c : middle) all_digits = all_digits && is_digit(c);
    if (all_digits) {
      pat.prefix = std::string(first.substr(0, p));
      pat.suffix = std::string(first.substr(first.size() - s));
      return pat;
    }
  }
  // Only one group listed: the number is the first digit run that reads 1, or
  // failing that the first digit run.
  size_t chosen = std::string::npos, chosen_end = 0;
  for (size_t i = 0; i < first.size();) {
    if (!is_digit(first[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < first.size() && is_digit(first[j])) ++j;
    if (chosen == std::string::npos || (first.substr(i, j - i) == "1" && first.substr(chosen, chosen_end - chosen) != "1")) {
      chosen = i;
      chosen_end = j;
    }
    i = j;
  }
  if (chosen == std::string::npos) {
    pat.prefix = std::string(first);
    pat.numbered = false;
  } else {
    pat.prefix = std::string(first.substr(0, chosen));
    pat.suffix = std::string(first.substr(chosen_end));
  }
  return pat;
}

// Builds what depends on a class's complete field list: the name index and the
// repeated-group patterns. Runs when the next class starts (or the text ends), since
// attributes may follow a class's closing ';'; its records are then still in cache.
Status finalize_class(ClassDef& cls, const LowerFn& lower) {
  cls.base_field_index_map.reserve(cls.fields.size());
  cls.registering_end = 0;
  for (size_t i = 0; i < cls.fields.size(); ++i) {
    if (cls.fields[i].required) cls.required_fields.push_back(static_cast<int>(i));
    if (cls.fields[i].registers()) cls.registering_end = i + 1;
    const std::string_view name = cls.fields[i].name;  // the first field of a name wins
    if (is_ascii(name)) {
      cls.base_field_index_map.add_ascii(cls.fields, static_cast<int>(i));  // read in place
      continue;
    }
    std::string lowered;
    if (!lower_name(name, lower, lowered)) return Status::of(Fault::kPythonError);
    cls.base_field_index_map.add_other(static_cast<int>(i), std::move(lowered));
  }
  ExtensibleDef& ext = cls.extensible;
  if (ext.size <= 0) return Status();

  const int count = static_cast<int>(cls.fields.size());
  int begin = -1;
  for (int i = 0; i < count; ++i) {
    if (cls.fields[static_cast<size_t>(i)].begin_extensible) {
      begin = i;
      break;
    }
  }
  if (begin < 0) begin = count - ext.size;
  if (begin < 0 || count - begin < ext.size) {
    return Status::of(Fault::kSchemaText, cls.line, 0,
                      messages::fill(messages::kIddShortGroup, {cls.name, std::to_string(ext.size),
                                                                std::to_string(count - (begin < 0 ? 0 : begin))}));
  }
  ext.is_extensible = true;
  ext.begin_index = begin;
  for (int j = 0; j < ext.size; ++j) {
    if (cls.fields[static_cast<size_t>(begin + j)].registers()) cls.registering_end = SIZE_MAX;
  }
  for (int j = 0; j < ext.size; ++j) {
    const size_t first = static_cast<size_t>(begin + j);
    const size_t second = first + static_cast<size_t>(ext.size);
    ExtPattern pat = make_pattern(cls.fields[first].name, second < cls.fields.size() ? &cls.fields[second].name : nullptr);
    if (!lower_name(pat.prefix, lower, pat.search_prefix) || !lower_name(pat.suffix, lower, pat.search_suffix)) {
      return Status::of(Fault::kPythonError);
    }
    ext.patterns.push_back(std::move(pat));
  }
  return Status();
}

class Parser {
 public:
  Parser(Status& status, const LowerFn& lower) : status_(status), lower_(lower) {}

  bool run(std::string_view text, c_IDD& out);

 private:
  bool fail(std::string message) {
    status_ = Status::of(Fault::kSchemaText, line_, 0, std::move(message));
    return false;
  }
  ClassDef* current_class() { return class_idx_ < 0 ? nullptr : &idd_.ordered_classes[static_cast<size_t>(class_idx_)]; }
  FieldDef* current_field() {
    ClassDef* cls = current_class();
    return (cls && !cls->fields.empty()) ? &cls->fields.back() : nullptr;
  }

  bool split_line(std::string_view& line);
  size_t count_field_codes();
  bool handle_line(std::string_view line);
  bool handle_definitions(std::string_view defs);
  bool handle_attribute(std::string_view attr);
  bool start_class(std::string_view name);
  bool add_field(std::string_view code);
  bool finish_class();
  bool finish_fields();

  Status& status_;
  const LowerFn& lower_;
  c_IDD idd_;
  // The text being read, where its next line starts, and whether it has a CR at all
  // (lines are looked into for one only then).
  std::string_view text_;
  // Every line, and every part of one, views text_: scans may read on to its end.
  const char* text_end() const { return text_.data() + text_.size(); }
  size_t pos_ = 0;
  bool has_cr_ = false;
  // Lines after a class's name, split and left-trimmed while its fields were counted, not
  // yet handled: they are read from here rather than split again.
  std::vector<std::string_view> ahead_;
  size_t ahead_next_ = 0;
  std::string group_;
  int64_t line_ = 0;
  int class_idx_ = -1;
  bool class_open_ = false;
};

bool Parser::run(std::string_view text, c_IDD& out) {
  text_ = text;
  has_cr_ = !text.empty() && std::memchr(text.data(), '\r', text.size()) != nullptr;
  for (std::string_view line;;) {
    if (ahead_next_ < ahead_.size()) {
      line = ahead_[ahead_next_++];
    } else if (!split_line(line)) {
      break;
    }
    ++line_;
    if (!handle_line(line)) return false;
  }
  if (class_open_) {
    const ClassDef* cls = current_class();
    return fail(messages::fill(messages::kIddUnclosedClass, {cls->name, std::to_string(cls->line)}));
  }
  if (!finish_fields()) return false;
  out = std::move(idd_);
  return true;
}

// The next line of the text, or false at its end. A line ends at LF, CR LF or a lone CR;
// memchr finds each far faster than a byte loop.
bool Parser::split_line(std::string_view& line) {
  const size_t size = text_.size();
  if (pos_ >= size) return false;
  const char* const begin = text_.data();
  const void* lf = std::memchr(begin + pos_, '\n', size - pos_);
  size_t end = lf ? static_cast<size_t>(static_cast<const char*>(lf) - begin) : size;
  if (const void* cr = has_cr_ ? std::memchr(begin + pos_, '\r', end - pos_) : nullptr) {
    end = static_cast<size_t>(static_cast<const char*>(cr) - begin);
  }
  line = text_.substr(pos_, end - pos_);
  pos_ = end + ((end + 1 < size && begin[end] == '\r' && begin[end + 1] == '\n') ? 2 : 1);
  return true;
}

// How many field codes (A1, N12) a left-trimmed line lists, or -1 when the line is
// neither codes, an attribute, a comment nor blank: the next class's name.
// `readable`: the end of the text the line lies in (see byte_scan.hpp).
long codes_in(std::string_view line, const char* readable) {
  if (line.size() > 1 && (line[0] == 'A' || line[0] == 'N' || line[0] == 'a' || line[0] == 'n') && is_digit(line[1])) {
    // Each code is followed by ',' or ';', before any attribute or comment.
    const char* p = line.data();
    const size_t defs_end = byte_scan::find_either(p, 0, line.size(), readable, '\\', '!');
    return static_cast<long>(byte_scan::count_either(p, defs_end, readable, ',', ';'));
  }
  return line.empty() || line[0] == '\\' || line[0] == '!' ? 0 : -1;
}

// How many field codes the lines after a class's name list up to the next class: the
// room to reserve for its fields, so that a class of thousands of fields is not moved
// at each doubling of its vector and none holds more memory than it needs. The lines it
// splits are kept in `ahead_` for the parse; lines split before and not yet handled (a
// class named after another's closing ';' on one line) are its first.
size_t Parser::count_field_codes() {
  ahead_.erase(ahead_.begin(), ahead_.begin() + static_cast<std::ptrdiff_t>(ahead_next_));
  ahead_next_ = 0;
  size_t count = 0;
  for (const std::string_view line : ahead_) count += static_cast<size_t>(codes_in(line, text_end()));
  for (std::string_view line;;) {
    const size_t before = pos_;
    if (!split_line(line)) break;
    line.remove_prefix(leading_blanks(line));
    const long codes = codes_in(line, text_end());
    if (codes < 0) {
      pos_ = before;  // the next class's name: split again by the parse as it comes
      break;
    }
    count += static_cast<size_t>(codes);
    ahead_.push_back(line);
  }
  return count;
}

bool Parser::handle_line(std::string_view line) {
  std::string_view t = trim_blanks(line);
  if (t.empty()) return true;
  if (t[0] == '!') {
    if (starts_with_ci(t, "!IDD_Version")) idd_.version = std::string(trim_blanks(t.substr(12)));
    return true;
  }
  // Definitions run to the first backslash or '!'; an attribute after a backslash runs
  // to the next '!'.
  const size_t cut = byte_scan::find_either(t.data(), 0, t.size(), text_end(), '\\', '!');
  const std::string_view defs = trim_blanks(t.substr(0, cut));
  if (!defs.empty() && !handle_definitions(defs)) return false;
  if (cut == t.size() || t[cut] == '!') return true;
  std::string_view attr = t.substr(cut + 1);
  if (const size_t bang = attr.find('!'); bang != std::string_view::npos) attr = attr.substr(0, bang);
  return handle_attribute(attr);
}

// A class name and/or field codes, each followed by ',' or ';'.
bool Parser::handle_definitions(std::string_view defs) {
  while (!defs.empty()) {
    size_t delim_at = byte_scan::find_either(defs.data(), 0, defs.size(), text_end(), ',', ';');
    if (delim_at == defs.size()) delim_at = std::string_view::npos;
    const std::string_view piece = trim_blanks(defs.substr(0, delim_at));
    const char delim = delim_at == std::string_view::npos ? '\0' : defs[delim_at];
    defs = delim_at == std::string_view::npos ? std::string_view() : trim_blanks(defs.substr(delim_at + 1));

    if (!class_open_) {
      if (is_field_code(piece)) return fail(messages::fill(messages::kIddFieldOutsideClass, {piece}));
      if (piece.empty()) return fail(messages::fill(messages::kIddMissingClassName, {std::string_view(&delim, 1)}));
      if (delim == '\0') return fail(messages::fill(messages::kIddClassNameDelimiter, {piece}));
      if (!start_class(piece)) return false;
      if (delim == ';' && !finish_class()) return false;
      continue;
    }
    if (!is_field_code(piece)) {
      const ClassDef* cls = current_class();
      if (piece.empty()) {
        return fail(messages::fill(messages::kIddMissingFieldCode, {std::string_view(&delim, 1), cls->name}));
      }
      return fail(messages::fill(messages::kIddUnclosedClass, {cls->name, std::to_string(cls->line)}));
    }
    if (delim == '\0') return fail(messages::fill(messages::kIddFieldDelimiter, {piece}));
    if (!add_field(piece)) return false;
    if (delim == ';' && !finish_class()) return false;
  }
  return true;
}

bool Parser::start_class(std::string_view name) {
  std::string key = to_upper(name);
  if (const auto it = idd_.class_map.find(key); it != idd_.class_map.end()) {
    return fail(messages::fill(messages::kIddDuplicateClass,
                               {name, std::to_string(idd_.ordered_classes[it->second].line)}));
  }
  if (!finish_fields()) return false;
  idd_.class_map.emplace(std::move(key), idd_.ordered_classes.size());
  ClassDef& cls = idd_.ordered_classes.emplace_back();
  cls.fields.reserve(count_field_codes());
  cls.name = std::string(name);
  cls.group = group_;
  cls.line = line_;
  class_idx_ = static_cast<int>(idd_.ordered_classes.size() - 1);
  class_open_ = true;
  return true;
}

bool Parser::add_field(std::string_view code) {
  FieldDef& field = current_class()->fields.emplace_back();
  if (code[0] == 'a' || code[0] == 'n') {
    std::string upper(code);
    upper[0] = ascii_upper(upper[0]);
    code = idd_.owned_texts.keep(upper);
  }
  field.code = code;
  field.name = code;
  field.field_type = code[0] == 'N' ? FIELDTYPE_REAL : FIELDTYPE_ALPHA;
  return true;
}

bool Parser::finish_class() {
  class_open_ = false;
  return true;
}

// Builds what depends on the current class's fields, once it has them all.
bool Parser::finish_fields() {
  ClassDef* cls = current_class();
  if (!cls) return true;
  if (status_ = finalize_class(*cls, lower_); !status_.ok()) return false;
  for (const FieldDef& f : cls->fields) {
    for (const std::string_view list : f.reference_class_names()) idd_.class_name_lists[list].try_emplace_upper(cls->name);
  }
  return true;
}

enum class Attr {
  kUnknown, kGroup, kMemo, kUniqueObject, kRequiredObject, kObsolete, kFormat, kMinFields, kExtensible, kField,
  kRequiredField, kBeginExtensible, kUnits, kIpUnits, kUnitsBasedOnField, kMinimum, kMinimumExclusive, kMaximum,
  kMaximumExclusive, kDefault, kDeprecated, kAutosizable, kAutocalculatable, kRetaincase, kType, kKey, kObjectList,
  kExternalList, kReference, kReferenceClassName, kNote,
};

// Whether `keyword` is `word`: a comparison of a length known when compiling, which
// the compiler makes inline rather than a library call per attribute line.
template <size_t N>
bool is_word(std::string_view keyword, const char (&word)[N]) {
  return std::memcmp(keyword.data(), word, N - 1) == 0;
}

// The attribute a lower-cased keyword names, found by its length first.
Attr attribute_named(std::string_view k) {
  switch (k.size()) {
    case 3:
      if (is_word(k, "key")) return Attr::kKey;
      break;
    case 4:
      if (is_word(k, "note")) return Attr::kNote;
      if (is_word(k, "type")) return Attr::kType;
      if (is_word(k, "memo")) return Attr::kMemo;
      break;
    case 5:
      if (is_word(k, "field")) return Attr::kField;
      if (is_word(k, "units")) return Attr::kUnits;
      if (is_word(k, "group")) return Attr::kGroup;
      break;
    case 6:
      if (is_word(k, "format")) return Attr::kFormat;
      break;
    case 7:
      if (is_word(k, "default")) return Attr::kDefault;
      if (is_word(k, "minimum")) return Attr::kMinimum;
      if (is_word(k, "maximum")) return Attr::kMaximum;
      break;
    case 8:
      if (is_word(k, "minimum>")) return Attr::kMinimumExclusive;
      if (is_word(k, "maximum<")) return Attr::kMaximumExclusive;
      if (is_word(k, "ip-units")) return Attr::kIpUnits;
      if (is_word(k, "obsolete")) return Attr::kObsolete;
      break;
    case 9:
      if (is_word(k, "reference")) return Attr::kReference;
      break;
    case 10:
      if (is_word(k, "retaincase")) return Attr::kRetaincase;
      if (is_word(k, "min-fields")) return Attr::kMinFields;
      if (is_word(k, "extensible")) return Attr::kExtensible;
      if (is_word(k, "deprecated")) return Attr::kDeprecated;
      break;
    case 11:
      if (is_word(k, "object-list")) return Attr::kObjectList;
      if (is_word(k, "autosizable")) return Attr::kAutosizable;
      break;
    case 13:
      if (is_word(k, "unique-object")) return Attr::kUniqueObject;
      if (is_word(k, "external-list")) return Attr::kExternalList;
      break;
    case 14:
      if (is_word(k, "required-field")) return Attr::kRequiredField;
      break;
    case 15:
      if (is_word(k, "required-object")) return Attr::kRequiredObject;
      break;
    case 16:
      if (is_word(k, "autocalculatable")) return Attr::kAutocalculatable;
      if (is_word(k, "begin-extensible")) return Attr::kBeginExtensible;
      break;
    case 17:
      if (is_word(k, "unitsbasedonfield")) return Attr::kUnitsBasedOnField;
      break;
    case 20:
      if (is_word(k, "reference-class-name")) return Attr::kReferenceClassName;
      break;
    default:
      break;
  }
  return Attr::kUnknown;
}

// The keyword that starts an attribute's text and the attribute it names (any letter
// case). The keyword runs to the first blank or ':'; a '<' or '>' belongs to it and ends
// it, so that "\minimum>0" reads as "\minimum> 0". It is lowered as it is read, so that
// the names compare as plain bytes: every line after a field's code is an attribute.
struct Keyword {
  Attr attr;
  size_t length;
};

Keyword read_keyword(std::string_view attr) {
  char lowered[24];  // longer than any keyword
  size_t k = 0;
  while (k < attr.size()) {
    const char c = attr[k];
    if (is_blank(c) || c == ':') break;
    if (k < sizeof lowered) lowered[k] = ascii_lower(c);
    ++k;
    if (c == '<' || c == '>') break;
  }
  return {k <= sizeof lowered ? attribute_named(std::string_view(lowered, k)) : Attr::kUnknown, k};
}

bool Parser::handle_attribute(std::string_view attr) {
  const auto [keyword, length] = read_keyword(attr);
  if (keyword == Attr::kNote || keyword == Attr::kUnknown) return true;  // carry nothing the schema keeps
  const std::string_view value = trim_blanks(attr.substr(length));

  if (keyword == Attr::kGroup) {
    group_ = std::string(value);
    return true;
  }
  ClassDef* cls = current_class();
  if (!cls) return true;  // attributes before the first class have nothing to describe

  switch (keyword) {
    case Attr::kMemo:
      if (!cls->memo.empty()) cls->memo += '\n';
      cls->memo += value;
      return true;
    case Attr::kUniqueObject:
      cls->unique_object = true;
      return true;
    case Attr::kRequiredObject:
      cls->required_object = true;
      return true;
    case Attr::kObsolete:
      cls->obsolete = true;
      return true;
    case Attr::kFormat:
      cls->format = std::string(value);
      return true;
    case Attr::kMinFields:
      if (!parse_int(value, cls->min_fields)) {
        return fail(messages::fill(messages::kIddMinFields, {value}));
      }
      return true;
    case Attr::kExtensible: {
      std::string_view count = value;
      if (!count.empty() && count[0] == ':') count = trim_blanks(count.substr(1));
      size_t digits = 0;
      while (digits < count.size() && is_digit(count[digits])) ++digits;
      if (!parse_int(count.substr(0, digits), cls->extensible.size) || cls->extensible.size <= 0) {
        return fail(messages::fill(messages::kIddExtensible, {value}));
      }
      return true;
    }
    default:
      break;
  }
  FieldDef* field = current_field();
  if (!field) return true;
  switch (keyword) {
    case Attr::kField:
      field->name = value;
      break;
    case Attr::kRequiredField:
      field->required = true;
      break;
    case Attr::kBeginExtensible:
      field->begin_extensible = true;
      break;
    case Attr::kUnits:
      field->units = value;
      break;
    case Attr::kIpUnits:
      field->ip_units = value;
      break;
    case Attr::kUnitsBasedOnField:
      field->units_based_on_field = true;
      break;
    case Attr::kMinimum:
    case Attr::kMinimumExclusive: {
      double v;
      if (parse_number(value, v)) {
        field->minimum = v;
        field->has_minimum = true;
        field->minimum_exclusive = keyword == Attr::kMinimumExclusive;
      }
      break;
    }
    case Attr::kMaximum:
    case Attr::kMaximumExclusive: {
      double v;
      if (parse_number(value, v)) {
        field->maximum = v;
        field->has_maximum = true;
        field->maximum_exclusive = keyword == Attr::kMaximumExclusive;
      }
      break;
    }
    case Attr::kDefault:
      field->default_val = value;
      if (!field->has_default) {
        field->has_default = true;
        cls->field_idx_with_default.push_back(static_cast<int>(cls->fields.size() - 1));
      }
      break;
    case Attr::kDeprecated:
      field->deprecated = true;
      break;
    case Attr::kAutosizable:
      field->autosizable = true;
      break;
    case Attr::kAutocalculatable:
      field->autocalculatable = true;
      break;
    case Attr::kRetaincase:
      field->retaincase = true;
      break;
    case Attr::kType:
      field->field_type = field_type_of(value);
      break;
    case Attr::kKey:
      field->lists.add(FieldLists::kChoices, value);
      break;
    case Attr::kObjectList:
      field->lists.add(FieldLists::kObjectLists, value);
      break;
    case Attr::kExternalList:
      field->lists.add(FieldLists::kExternalLists, value);
      break;
    case Attr::kReference:
      field->lists.add(FieldLists::kReferences, value);
      break;
    case Attr::kReferenceClassName:
      field->lists.add(FieldLists::kReferenceClassNames, value);
      break;
    default:
      break;
  }
  return true;
}

}  // namespace

bool lower_name(std::string_view s, const LowerFn& lower, std::string& out) {
  // Lowered and checked for ASCII in one pass; the rare name that is not ASCII is
  // lowered again by `lower`.
  out.resize(s.size());
  unsigned char high = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    high |= static_cast<unsigned char>(s[i]);
    out[i] = ascii_lower(s[i]);
  }
  return high < 0x80 || lower(s, out);
}

Status parse_idd(std::string_view text, const LowerFn& lower, c_IDD& out) {
  Status status;
  Parser parser(status, lower);
  c_IDD parsed;
  if (!parser.run(text, parsed)) return status;
  out = std::move(parsed);
  return Status();
}

}  // namespace quarvel::idd
