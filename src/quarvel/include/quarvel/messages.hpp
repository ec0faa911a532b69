// Every message the native modules raise, in one place: first the wordings that callers
// and stored tests rely on word for word (the format of the library's contract), then
// the library's own. Format strings follow PyUnicode_FromFormat / PyErr_Format.
#pragma once
#include <initializer_list>
#include <string>
#include <string_view>

namespace quarvel::messages {

// A message of the plain C++ layer (which makes no Python object): `tmpl` with each "{}"
// replaced by the next of `parts`.
inline std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> parts) {
  std::string out;
  auto part = parts.begin();
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}' && part != parts.end()) {
      out += *part++;
      ++i;
    } else {
      out += tmpl[i];
    }
  }
  return out;
}

// ---- wordings of the contract ------------------------------------------------------------

// IDF text that does not parse (%lld: the line).
inline constexpr char kUnterminated[] = "IDF parsing error (Line %lld): unterminated object before EOF; missing ';'.";
inline constexpr char kTokenError[] = "IDF parsing error (Line %lld): %R";
inline constexpr char kMissingDelimiter[] = "IDF parsing error (Line %lld): missing delimiter before '%U'.";
inline constexpr char kUnknownToken[] = "IDF parsing error (Line %lld): unrecognized token type '%d'.";
inline constexpr char kUnknownClassInText[] = "IDF parsing error: Unknown class: '%s'";
inline constexpr char kUnknownClass[] = "Unknown class: '%U'";
inline constexpr char kClassIndexOutOfBounds[] = "Class index out of bounds: %zu";
inline constexpr char kInitRefused[] = "IDF cannot be instantiated directly. Use IDF.from_file() or IDF.from_string().";
inline constexpr char kNotMember[] = "Error: The object belongs to a different IDF model or is detached.";
inline constexpr char kNoDeletion[] = "Subscript %.10s not supported by %.200s";
inline constexpr char kInvalidValuesType[] = "Invalid values type: %U. Expected list or dict";
inline constexpr char kArgumentType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
inline constexpr char kNoneHasNoAttribute[] = "'NoneType' object has no attribute '%.30s'";
inline constexpr char kArgumentCount[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%U'";
inline constexpr char kMultipleValues[] = "%s() got multiple values for keyword argument '%U'";
inline constexpr char kNoKeywords[] = "%s() takes no keyword arguments";
inline constexpr char kUnknownField[] = "Unknown field %R for class '%s'";

// Schema (IDD) text that does not parse: "IDD parsing error (Line %lld): %s", the second
// part one of the texts below ({} filled by fill()).
inline constexpr char kIddParseError[] = "IDD parsing error (Line %lld): %s";
inline constexpr char kIddUnclosedClass[] = "class '{}' (line {}) is missing its closing ';'";
inline constexpr char kIddFieldOutsideClass[] = "field {} outside a class";
inline constexpr char kIddMissingClassName[] = "missing class name before '{}'";
inline constexpr char kIddClassNameDelimiter[] = "class name '{}' must be followed by ',' or ';'";
inline constexpr char kIddMissingFieldCode[] = "missing field code before '{}' in class '{}'";
inline constexpr char kIddFieldDelimiter[] = "field {} must be followed by ',' or ';'";
inline constexpr char kIddDuplicateClass[] = "duplicate class '{}' (first defined on line {})";
inline constexpr char kIddMinFields[] = "\\min-fields needs a whole number, got '{}'";
inline constexpr char kIddExtensible[] = "\\extensible needs a positive whole number, got '{}'";
inline constexpr char kIddShortGroup[] = "class '{}' declares \\extensible:{} but lists only {} repeatable fields";

inline constexpr char kNoneHasNoLen[] = "object of type 'NoneType' has no len()";
inline constexpr char kNoneNotSubscriptable[] = "'NoneType' object is not subscriptable";
inline constexpr char kInitUnexpectedKeyword[] = "__init__() got an unexpected keyword argument '%S'";
inline constexpr char kNotSubscriptable[] = "'%.200s' object is not subscriptable";
inline constexpr char kCannotConvert[] = "Cannot convert %.200s to %.200s";
inline constexpr char kExpectedBytes[] = "expected bytes, %.200s found";
inline constexpr char kNegativeToUnsigned[] = "can't convert negative value to %.200s";
inline constexpr char kValueTooLarge[] = "value too large to convert to %.200s";
inline constexpr char kExpectedGot[] = "Expected %.42s, got %.200s";
inline constexpr char kNoSuchAttribute[] = "'%U' object has no attribute '%S'";
inline constexpr char kIntNotInt[] = "__int__ returned non-int (type %.200s)";
inline constexpr char kIntegerRequired[] = "an integer is required";
inline constexpr char kNewidfobjectMultipleValues[] = "newidfobject() got multiple values for keyword argument '%U'";
inline constexpr char kCompatStateSize[] =
    "%s state needs %zd field%s (and an optional instance dictionary), got %zd";
inline constexpr char kNoneNotAllowed[] = "cannot pass None into a C function argument that is declared 'not None'";
inline constexpr char kNoGetObjectsRaw[] = "'%.200s' object has no attribute 'get_objects_raw'";

// ---- the library's own -------------------------------------------------------------------

inline constexpr char kSchemaNeeded[] = "Argument 'idd' is None, but a schema (IDD) is needed to load objects";
inline constexpr char kNoSuchFault[] = "a failure of no known kind";
inline constexpr char kCannotHold[] = "%s field '%s' cannot hold %R: IDF text has no way to write it";
inline constexpr char kBlankAtEnd[] =
    "%s field '%s' cannot begin or end with a blank or a tab: IDF text drops them when it is read";
inline constexpr char kNewReturnedLoaded[] =
    "%.200s.__new__() returned a model that is already loaded; it must return a new one";
inline constexpr char kNewReturnedOther[] = "%.200s.__new__() returned %.200s, not an IDF";
inline constexpr char kModelNotLoaded[] =
    "IDF model is not loaded: it has no schema or no object list; use IDF.from_file() or IDF.from_string()";
inline constexpr char kModelBeingRead[] =
    "the model is being validated in another thread; change it when that is done";

inline constexpr char kCommentNotStr[] = "a comment must be a str, not %.200s";
inline constexpr char kCommentOneLine[] = "a comment is one line: it cannot hold a line break or a NUL";
inline constexpr char kCommentsNotDeleted[] = "comments cannot be deleted; set an empty list";
inline constexpr char kBadRelTol[] = "rel_tol must be a finite number at least 0, got %R";
inline constexpr char kDiffNeedsModel[] = "diff() compares two IDF models, not %.200s";
inline constexpr char kPlanSpellings[] = "an epJSON plan's %s are a dict or None";
inline constexpr char kPlanSpellingTypes[] = "an epJSON plan's %s map text to text";
inline constexpr char kPlanTuples[] = "an epJSON plan's names, kinds, words and keys are tuples";
inline constexpr char kPlanLengths[] = "an epJSON plan's names, kinds, words and keys differ in length";
inline constexpr char kPlanNames[] = "an epJSON plan's property names are str";
inline constexpr char kPlanExtension[] = "an epJSON plan's extension is a str or None";
inline constexpr char kPlanError[] = "an epJSON plan's error is an exception type";
inline constexpr char kPlanNeeded[] = "an _EpJSONPlan is needed";
inline constexpr char kMembersUsage[] = "_epjson_members(plan, objects)";
inline constexpr char kBranchScanUsage[] =
    "_branch_scan(model, loop_classes): loop_classes is a tuple of (class name, 8 field indexes)";
inline constexpr char kConnectionScanUsage[] =
    "_connection_scan(model, zone_fields, parent_rules): zone_fields is 5 field indexes; each parent rule is "
    "(class name, list class, list field, ((class field, name field), ...), both filled)";
inline constexpr char kBranchScanSchema[] = "the HVAC scans need a model with a schema";
inline constexpr char kMembersObjects[] = "_epjson_members() converts IDFObjects";
inline constexpr char kLineUsage[] = "_epjson_line(plan, key, body, where)";
inline constexpr char kRenameTaken[] = "cannot rename %s '%s' to %R: %s '%s' has that name";
inline constexpr char kRenameTakenByAnother[] = "cannot rename %s '%s' to %R: another %s has that name";
inline constexpr char kRenameUnnamed[] = "%s objects have no name to rename";
inline constexpr char kRenameBlank[] = "a new name cannot be blank";
inline constexpr char kClosestNamesArguments[] = "_closest_names(word: str, candidates: Iterable[str], /)";
inline constexpr char kCandidatesNotStr[] = "candidates must be an iterable of str";
inline constexpr char kRuleNamesNotStr[] = "%s must hold rule names or codes (str), not %.200s";
inline constexpr char kNoSuchRule[] = "%s names no validation rule: %R";
inline constexpr char kMixedSchemas[] = "an object of the model has another schema than the model";
inline constexpr char kNewNotIDD[] = "%.200s.__new__ did not return an IDD";
inline constexpr char kNoFieldDefinition[] = "Field %d of class '%s' has no definition";
inline constexpr char kUnpickleIddType[] = "unpickle_IDD() needs a subclass of IDD, not %.200s";
inline constexpr char kUnpickleIddArguments[] = "unpickle_IDD() needs a str digest and bytes";
inline constexpr char kUnpickleIddNotBytes[] = "unpickle_IDD(): decompressed schema is not bytes";
inline constexpr char kUnpickleIddDigest[] = "unpickle_IDD(): the schema text does not match its digest";
inline constexpr char kFieldIndexRepeating[] =
    "Field index %R is out of range for class '%s', which repeats its fields up to index %d";
inline constexpr char kFieldIndexOutOfRange[] = "Field index %R is out of range for class '%s', which has %lld fields";
inline constexpr char kFieldKeyType[] = "Field key must be int or str, not %.200s";
inline constexpr char kItemsNotPairs[] = "items() must give (key, value) pairs";
inline constexpr char kInitMember[] =
    "IDFObject.__init__() cannot re-initialize an object that belongs to a model; remove it from the model first";
inline constexpr char kAddWithoutSchema[] = "this model has no schema (IDD), so objects cannot be added to it";
inline constexpr char kBeyondIteration[] = "Field index %zd is beyond the fields of this %s object";
inline constexpr char kBuildWithoutSchema[] =
    "objects can only be built into a model with a schema and an object list";
inline constexpr char kPositionBeyondList[] = "object position %zu is beyond the model's object list";
inline constexpr char kObjectWithoutSchema[] =
    "IDFObject has no schema: create it with IDFObject(idd, class_name) or get it from a loaded model";
inline constexpr char kMemberUnset[] = "an object's member is unset";
inline constexpr char kCommentLinesNotStr[] = "comment lines must be str";
inline constexpr char kNegativeCommentField[] = "a field comment names a negative field";
inline constexpr char kItemsNotPairsState[] = "items() must yield (key, value) pairs";
inline constexpr char kLocationNotPair[] = "a reference location must be a (position, field) pair";
inline constexpr char kNegativeFieldIndex[] = "IDF state holds a negative field index %d";
inline constexpr char kStateSize[] =
    "%s state needs %zd members (and an optional instance dictionary), got %zd";
inline constexpr char kSetstateMember[] =
    "IDFObject.__setstate__() cannot restore an object that belongs to a model";
inline constexpr char kUnknownLayout[] = "layout must be 'library' or 'original', not %R";
inline constexpr char kNegativeSize[] = "%s must not be negative, got %ld";
inline constexpr char kCapiVersion[] = "%s has version %u and size %u, expected version %u and size %zu";
inline constexpr char kInternalError[] = "unexpected internal error";
inline constexpr char kReconstructorType[] = "%s() needs a subtype of %.200s as its first argument";
inline constexpr char kFieldKeyTable[] = "field_key_to_name must be a dict, not %.200s";
inline constexpr char kModuleVariableMissing[] = "module variable '%s' is missing";
inline constexpr char kWrapsNothing[] = "this IDFObject wraps no object (it was not made by a model)";
inline constexpr char kProxyServesNothing[] =
    "this IDFObjectsProxy serves no model (it was not made by one)";
inline constexpr char kReadNotText[] = "read() gave %.200s, not bytes or str";
inline constexpr char kEncodingType[] = "encoding must be str or None, not %.200s";

}  // namespace quarvel::messages
