// libFuzzer harness for the dictionary parser and the field lookups, without an
// interpreter: any text gives a schema or an error with a line number, and every
// lookup on a schema it gives stays within it.
#include "../src/quarvel/idd/idd_parser.hpp"
#include "../src/quarvel/idd/schema.hpp"

#include <cstdlib>

namespace {

using namespace quarvel;

void check(bool ok) {
  if (!ok) std::abort();
}

bool lower_ascii_only(std::string_view s, std::string& out) {
  out = ascii_lowered(s);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  c_IDD schema;
  const Status status = idd::parse_idd(text, lower_ascii_only, schema);
  if (!status.ok()) {
    check(status.fault == Fault::kSchemaText && status.line >= 1 && !status.detail.empty());
    return 0;
  }
  check(schema.class_map.size() == schema.ordered_classes.size());
  for (size_t c = 0; c < schema.ordered_classes.size(); ++c) {
    const ClassDef& cls = schema.ordered_classes[c];
    check(schema.class_map.at(to_upper(std::string_view(cls.name))) == c);
    const int count = static_cast<int>(cls.fields.size());
    const int span = count + (cls.extensible.is_extensible ? 3 * cls.extensible.size : 2);
    for (int i = 0; i < span; ++i) {
      const std::string name = idd::get_field_name(cls, i, false);
      const FieldDef* def = idd::get_field_def(cls, i);
      check(i < count || cls.extensible.is_extensible ? def != nullptr : def == nullptr);
      const int found = idd::find_field_index(cls, name);
      // a listed name finds its first occurrence; any name found lies within reach
      if (i < count) check(found >= 0 && found <= i);
      check(found < 0 || found < count || cls.extensible.is_extensible);
    }
    for (int idx : cls.field_idx_with_default) check(idx >= 0 && idx < count);
  }
  return 0;
}
