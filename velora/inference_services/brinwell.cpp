// SQL query builders for the records an inference service keeps in a
// database table: a dialect-neutral base, five dialects and a factory.
//
// Filter values reach the SQL only as named parameters; identifiers are
// written into the text, so a quote character inside one is doubled, and the
// dialects that write identifiers bare accept only plain names.
//
// build_select_query calls quote_identifier, get_operator and add_pagination
// through the object, so an override in a Python subclass (or on one
// instance) takes effect. When the object's attribute is one of the methods
// defined here, the text is written directly instead of through calls.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "velora_native/classes.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/objects.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::interned;
using native::Kind;
using native::kNone;
using namespace std::string_view_literals;

namespace {

// The operator table, in the order get_operator builds it.
constexpr std::size_t kOperators = 7;
constexpr std::array<const char*, kOperators> kMatchTypeNames = {"eq", "ne", "gt", "lt", "gte", "lte", "like"};
constexpr std::array<std::string_view, kOperators> kOperatorTexts = {"=", "!=", ">", "<", ">=", "<=", "LIKE"};
constexpr std::size_t kLike = 6;
constexpr std::size_t kNotAMember = kOperators;

// Parameter names made once; a query with more filters makes the rest.
constexpr std::size_t kPreparedNames = 32;

// What the module looks up once at load and never changes: the classes it
// defines (for the super() calls of their methods), the method objects whose
// presence on a builder selects the direct path, the match-type members as
// loaded, and constant texts.
struct State {
  py::object object_getattribute;  // object.__getattribute__
  py::object enum_value;           // enum.Enum.value, a property reading _value_
  py::object match_types;
  std::array<py::object, kOperators> members;
  std::array<py::object, kOperators> operator_texts;
  std::array<py::object, kPreparedNames> parameter_names;

  py::object quote_method;
  py::object bracket_quote_method;
  py::object operator_method;
  py::object pagination_method;
  py::object offset_fetch_pagination_method;
  py::object rownum_pagination_method;

  py::object postgresql_class;
  py::object mysql_class;
  py::object mssql_class;
  py::object oracle_class;
};

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<State> state_storage;

const State& state() { return state_storage.get_stored(); }

using native::truthy;

// ---------------------------------------------------------------- texts

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

// str(value), as an f-string field shows a plain value.
py::object text_of(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return native::borrowed(value);
  return native::owned(PyObject_Str(value.ptr()));
}

// UTF-8 text being written. The first bytes live in the object, so a query
// rarely touches the heap, and appends stay inline (std::string's are calls
// into the library).
class SqlText {
 public:
  SqlText() = default;
  explicit SqlText(std::string_view text) { *this += text; }
  SqlText(const SqlText&) = delete;
  SqlText& operator=(const SqlText&) = delete;

  // Inline, so that appending a literal copies a known number of bytes.
  [[gnu::always_inline]] SqlText& operator+=(std::string_view text) {
    if (text.size() > capacity_ - size_) grow(text.size());
    std::memcpy(data_ + size_, text.data(), text.size());
    size_ += text.size();
    return *this;
  }
  [[gnu::always_inline]] SqlText& operator+=(char character) {
    if (size_ == capacity_) grow(1);
    data_[size_++] = character;
    return *this;
  }

  std::string_view view() const { return {data_, size_}; }
  py::object str() const {
    const auto length = static_cast<Py_ssize_t>(size_);
    if (!is_ascii()) return native::owned(PyUnicode_DecodeUTF8(data_, length, nullptr));
    py::object text = native::owned(PyUnicode_New(length, 127));
    std::memcpy(PyUnicode_DATA(text.ptr()), data_, size_);
    return text;
  }

 private:
  [[gnu::noinline]] void grow(std::size_t more) {
    const bool local = data_ == local_.data();
    heap_.resize(std::max(capacity_ * 2, size_ + more));
    if (local) std::memcpy(heap_.data(), local_.data(), size_);
    data_ = heap_.data();
    capacity_ = heap_.size();
  }

  // Without an early exit, so that the loop vectorises.
  bool is_ascii() const {
    unsigned char bits = 0;
    for (std::size_t i = 0; i < size_; ++i) bits |= static_cast<unsigned char>(data_[i]);
    return bits < 0x80;
  }

  std::array<char, 384> local_;
  std::string heap_;
  char* data_ = local_.data();
  std::size_t size_ = 0;
  std::size_t capacity_ = local_.size();
};

template <typename Integer>
void append_digits(SqlText& out, Integer value) {
  std::array<char, 24> digits;
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out += std::string_view(digits.data(), static_cast<std::size_t>(written.ptr - digits.data()));
}

// The decimal text of an int of any size.
void append_decimal(SqlText& out, py::handle integer) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) {
    out += utf8(text_of(integer));
  } else {
    append_digits(out, value);
  }
}

// Appends `text` with every occurrence of `quote` (not empty) doubled. UTF-8
// substrings match exactly where the code-point strings do.
void append_doubling(SqlText& out, std::string_view text, std::string_view quote) {
  const auto find = [quote](std::string_view in) { return quote.size() == 1 ? in.find(quote[0]) : in.find(quote); };
  for (std::size_t at = find(text); at != std::string_view::npos; at = find(text)) {
    const std::size_t end = at + quote.size();
    out += text.substr(0, end);
    out += quote;
    text.remove_prefix(end);
  }
  out += text;
}

// "%", str(value), "%": a substring match's parameter.
py::object substring_pattern(py::handle value) {
  SqlText pattern;
  pattern += '%';
  pattern += utf8(text_of(value));
  pattern += '%';
  return pattern.str();
}

// ---------------------------------------------------------------- attributes

// Whether `record.<name>` may take the generic lookup directly. Records
// (pydantic models) define __getattr__ for names that are missing, which puts
// a hook in front of every lookup; while the type keeps object's own
// __getattribute__, the generic lookup gives the same answer for a name that
// it finds, and the hook runs only for one it does not.
bool has_plain_lookup(PyTypeObject* type) {
  return _PyType_Lookup(type, interned<"__getattribute__">()) == state().object_getattribute.ptr();
}

// `record.<name>`; `plain` is the last type has_plain_lookup accepted.
template <native::Literal L>
py::object field(py::handle record, PyTypeObject*& plain) {
  PyTypeObject* type = Py_TYPE(record.ptr());
  if (type->tp_getattro != PyObject_GenericGetAttr && (type == plain || has_plain_lookup(type))) {
    plain = type;
    if (PyObject* value = PyObject_GenericGetAttr(record.ptr(), interned<L>())) return native::owned(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
  }
  return native::attr<L>(record);
}

// `member.value`. Enum's own `value` property returns `_value_`, but through
// a Python-level __get__; that is read directly when nothing overrides it.
py::object enum_value(py::handle member) {
  PyTypeObject* type = Py_TYPE(member.ptr());
  if (type->tp_getattro == PyObject_GenericGetAttr &&
      _PyType_Lookup(type, interned<"value">()) == state().enum_value.ptr()) {
    return native::attr<"_value_">(member);
  }
  return native::attr<"value">(member);
}

// ---------------------------------------------------------------- identifiers

// ASCII answered inline; other code points by the Unicode database.
bool is_letter(Py_UCS4 character) {
  if (character < 0x80) return (character | 0x20) >= 'a' && (character | 0x20) <= 'z';
  return Py_UNICODE_ISALPHA(character);
}

bool is_identifier_character(Py_UCS4 character) {
  if (character < 0x80) {
    return is_letter(character) || (character >= '0' && character <= '9') || character == '_' || character == '$' ||
           character == '#';
  }
  return Py_UNICODE_ISALNUM(character);
}

// A name that is safe to write unquoted: dot-separated parts, each a letter
// followed by letters, digits, "_", "$" and "#".
bool is_plain_identifier(py::handle identifier) {
  PyObject* text = identifier.ptr();
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  bool part_start = true;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 character = PyUnicode_READ(kind, data, i);
    if (character == '.') {
      if (part_start) return false;
      part_start = true;
    } else if (part_start) {
      if (!is_letter(character)) return false;
      part_start = false;
    } else if (!is_identifier_character(character)) {
      return false;
    }
  }
  return !part_start;
}

// What a dialect can hold as one name. A name beyond these limits would be
// refused by the server, or, in PostgreSQL, which cuts a long name to its
// first 63 bytes, address another table; so it is refused before any text
// is written. No dialect takes an empty name or a NUL character in one.
enum class Measure : unsigned char { Bytes, Characters, Utf16Units };

struct NameLimits {
  const char* dialect;
  std::size_t longest;
  Measure measure;
  bool bmp_only;           // no character beyond U+FFFF
  bool no_trailing_space;  // no space, tab, line feed, vertical tab, form feed or carriage return at the end
};

constexpr NameLimits kPostgreSQLNames{"PostgreSQL", 63, Measure::Bytes, false, false};
constexpr NameLimits kMySQLNames{"MySQL", 64, Measure::Characters, true, true};
constexpr NameLimits kSQLServerNames{"SQL Server", 128, Measure::Utf16Units, false, false};
// Oracle's limit holds for each dot-separated part of a bare name.
constexpr NameLimits kOracleNames{"Oracle", 128, Measure::Bytes, false, false};

// The dialect whose quote `quote` is; another quote gets the common rules only.
const NameLimits* limits_of_quote(std::string_view quote) {
  if (quote == "\""sv) return &kPostgreSQLNames;
  if (quote == "`"sv) return &kMySQLNames;
  return nullptr;
}

const char* unit_name(Measure measure) {
  switch (measure) {
    case Measure::Bytes:
      return "bytes";
    case Measure::Characters:
      return "characters";
    case Measure::Utf16Units:
      return "UTF-16 code units";
  }
  return "";
}

[[noreturn]] void refuse_identifier(const char* problem, py::handle identifier) {
  native::raise(PyExc_ValueError, "Identifier %s: identifier=%R", problem, identifier.ptr());
}

// `subject` is what is too long: the identifier, or one part of a dotted name.
void refuse_if_longer(std::size_t size, const NameLimits& limits, py::handle identifier,
                      const char* subject = "Identifier is") {
  if (size <= limits.longest) return;
  native::raise(PyExc_ValueError, "%s longer than the %zu %s %s takes: identifier=%R", subject, limits.longest,
                unit_name(limits.measure), limits.dialect, identifier.ptr());
}

// How many characters of `text` lie beyond U+FFFF; a NUL is refused on the way.
std::size_t count_wide_refusing_nul(py::handle text) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  const int kind = PyUnicode_KIND(text.ptr());
  const void* data = PyUnicode_DATA(text.ptr());
  if (kind == PyUnicode_1BYTE_KIND) {
    if (std::memchr(data, 0, static_cast<std::size_t>(length)) != nullptr) {
      refuse_identifier("must not contain NUL characters", text);
    }
    return 0;
  }
  std::size_t wide = 0;
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 character = PyUnicode_READ(kind, data, i);
    if (character == 0) refuse_identifier("must not contain NUL characters", text);
    if (character > 0xFFFF) ++wide;
  }
  return wide;
}

// The characters MySQL counts as space at the end of a name.
bool is_ascii_space(Py_UCS4 character) { return character == ' ' || (character >= '\t' && character <= '\r'); }

// A name to be written between quotes: not empty, no NUL, within `limits` when given.
void check_quoted_name(py::handle identifier, std::size_t utf8_size, const NameLimits* limits) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(identifier.ptr());
  if (length == 0) refuse_identifier("must not be empty", identifier);
  const std::size_t wide = count_wide_refusing_nul(identifier);
  if (limits == nullptr) return;
  if (limits->bmp_only && wide > 0) {
    native::raise(PyExc_ValueError,
                  "Identifier has a character beyond U+FFFF, which %s does not take in names: "
                  "identifier=%R",
                  limits->dialect, identifier.ptr());
  }
  if (limits->no_trailing_space && is_ascii_space(PyUnicode_READ_CHAR(identifier.ptr(), length - 1))) {
    native::raise(PyExc_ValueError,
                  "Identifier ends with a space character, which %s does not take in names: identifier=%R",
                  limits->dialect, identifier.ptr());
  }
  const auto characters = static_cast<std::size_t>(length);
  const std::size_t size = limits->measure == Measure::Bytes        ? utf8_size
                           : limits->measure == Measure::Characters ? characters
                                                                    : characters + wide;
  refuse_if_longer(size, *limits, identifier);
}

// Oracle's reserved words, in order. Written bare, one would be read as the
// keyword, pseudo-column or function it names (`WHERE user = ...` compares
// the session's user; `FROM select` does not parse), so none is a bare name.
constexpr auto kOracleReservedWords = std::to_array<std::string_view>({
    "ACCESS",     "ADD",        "ALL",        "ALTER",   "AND",        "ANY",        "AS",        "ASC",
    "AUDIT",      "BETWEEN",    "BY",         "CHAR",    "CHECK",      "CLUSTER",    "COLUMN",    "COMMENT",
    "COMPRESS",   "CONNECT",    "CREATE",     "CURRENT", "DATE",       "DECIMAL",    "DEFAULT",   "DELETE",
    "DESC",       "DISTINCT",   "DROP",       "ELSE",    "EXCLUSIVE",  "EXISTS",     "FILE",      "FLOAT",
    "FOR",        "FROM",       "GRANT",      "GROUP",   "HAVING",     "IDENTIFIED", "IMMEDIATE", "IN",
    "INCREMENT",  "INDEX",      "INITIAL",    "INSERT",  "INTEGER",    "INTERSECT",  "INTO",      "IS",
    "LEVEL",      "LIKE",       "LOCK",       "LONG",    "MAXEXTENTS", "MINUS",      "MLSLABEL",  "MODE",
    "MODIFY",     "NOAUDIT",    "NOCOMPRESS", "NOT",     "NOWAIT",     "NULL",       "NUMBER",    "OF",
    "OFFLINE",    "ON",         "ONLINE",     "OPTION",  "OR",         "ORDER",      "PCTFREE",   "PRIOR",
    "PRIVILEGES", "PUBLIC",     "RAW",        "RENAME",  "RESOURCE",   "REVOKE",     "ROW",       "ROWID",
    "ROWNUM",     "ROWS",       "SELECT",     "SESSION", "SET",        "SHARE",      "SIZE",      "SMALLINT",
    "START",      "SUCCESSFUL", "SYNONYM",    "SYSDATE", "TABLE",      "THEN",       "TO",        "TRIGGER",
    "UID",        "UNION",      "UNIQUE",     "UPDATE",  "USER",       "VALIDATE",   "VALUES",    "VARCHAR",
    "VARCHAR2",   "VIEW",       "WHENEVER",   "WHERE",   "WITH",
});
static_assert(std::is_sorted(kOracleReservedWords.begin(), kOracleReservedWords.end()));

// `part` (letters, digits, _, $, #) in upper case equals a reserved word.
bool is_reserved_word(std::string_view part) {
  constexpr std::size_t kLongestWord = 10;
  if (part.size() > kLongestWord) return false;
  std::array<char, kLongestWord> upper{};
  std::transform(part.begin(), part.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  return std::binary_search(kOracleReservedWords.begin(), kOracleReservedWords.end(),
                            std::string_view(upper.data(), part.size()));
}

void refuse_if_reserved(std::string_view part, py::handle identifier) {
  if (!is_reserved_word(part)) return;
  native::raise(PyExc_ValueError,
                "Identifier cannot be written unquoted: %s is a reserved word, which Oracle reads as SQL: "
                "identifier=%R",
                std::string(part).c_str(), identifier.ptr());
}

// identifier_quote, the identifier with that quote doubled, identifier_quote;
// an empty quote writes a plain identifier bare and refuses anything else.
void write_quoted(SqlText& out, py::handle identifier, std::string_view quote) {
  const std::string_view text = utf8(identifier);
  if (quote.empty()) {
    if (!is_plain_identifier(identifier)) {
      native::raise(PyExc_ValueError,
                    "Identifier cannot be written unquoted: it must be dot-separated names of letters, digits, "
                    "_, $ and #, each starting with a letter: identifier=%R",
                    identifier.ptr());
    }
    for (std::string_view rest = text; !rest.empty();) {
      const std::size_t dot = std::min(rest.find('.'), rest.size());
      refuse_if_longer(dot, kOracleNames, identifier, "Identifier has a part");
      refuse_if_reserved(rest.substr(0, dot), identifier);
      rest.remove_prefix(std::min(dot + 1, rest.size()));
    }
    out += text;
    return;
  }
  check_quoted_name(identifier, text.size(), limits_of_quote(quote));
  const auto write_quote = [&out, quote] { quote.size() == 1 ? out += quote[0] : out += quote; };
  write_quote();
  append_doubling(out, text, quote);
  write_quote();
}

void write_bracketed(SqlText& out, py::handle identifier) {
  const std::string_view text = utf8(identifier);
  check_quoted_name(identifier, text.size(), &kSQLServerNames);
  out += '[';
  append_doubling(out, text, "]"sv);
  out += ']';
}

void expect_identifier(py::handle identifier) {
  if (!PyUnicode_CheckExact(identifier.ptr())) native::raise_argument_type("identifier", &PyUnicode_Type, identifier);
}

// ---------------------------------------------------------------- signatures

constexpr native::Signature kInit{"__init__", {{"self"}}};
constexpr native::Signature kValidate{"validate_custom_query",
                                      {{"self"}, {"query", Kind::Str}},
                                      "Whether the identifier quotes of a hand-written query are balanced."};
constexpr native::Signature kSchema{"build_schema_query",
                                    {{"self"}, {"table_name", Kind::Str}},
                                    "The query listing the columns of `table_name` in order: column_name, data_type "
                                    "and is_nullable."};
constexpr native::Signature kQuote{
    "quote_identifier", {{"self"}, {"identifier", Kind::Str}}, "`identifier` as the dialect writes it into SQL."};
constexpr native::Signature kPaginate{
    "add_pagination",
    {{"self"}, {"query", Kind::Str}, {"limit", Kind::OptInt}, {"offset", Kind::OptInt}},
    "`query` limited to `limit` rows after skipping `offset` (None: no bound)."};

constexpr native::Signature kSelect{
    "build_select_query",
    {{"self"},
     {"table", Kind::Str},
     {"filters", Kind::OptList, kNone},
     {"sorting", Kind::Any, kNone},
     {"limit", Kind::OptInt, kNone},
     {"offset", Kind::OptInt, kNone}},
    "SELECT every column of `table` with the filters (values as :filter_value_N parameters), the sort "
    "order and the page; returns the SQL text and the parameters."};
constexpr native::Signature kOperator{
    "get_operator", {{"self"}, {"match_type"}}, "The SQL comparison operator of a match type."};
constexpr native::Signature kGetBuilder{
    "get_builder", {{"cls"}, {"db_type"}}, "A new query builder for `db_type`; ValueError when none exists for it."};

// ---------------------------------------------------------------- operators

// get_operator's table, built afresh from the enumeration read now.
std::size_t operator_from_table(py::handle match_types, py::handle match_type) {
  py::dict table;
  for (std::size_t i = 0; i < kOperators; ++i) {
    table[match_types.attr(kMatchTypeNames[i])] = py::int_(i);
  }
  return native::owned(PyObject_GetItem(table.ptr(), match_type.ptr())).cast<std::size_t>();
}

// The match-type enumeration as build_select_query and get_operator read it
// at call time. While it is the one loaded, its members are recognised by
// identity; anything else goes through the table as get_operator builds it.
class MatchTypes {
 public:
  explicit MatchTypes(const native::Frame& call)
      : enumeration_(call.global<"InferenceDatabaseRecordsMatchType">()),
        loaded_(enumeration_.is(state().match_types)) {}

  // The position of `match_type` among the loaded members, or kNotAMember.
  std::size_t member_index(py::handle match_type) const {
    if (!loaded_) return kNotAMember;
    const auto& members = state().members;
    for (std::size_t i = 0; i < kOperators; ++i) {
      if (match_type.is(members[i])) return i;
    }
    return kNotAMember;
  }

  // match_type == InferenceDatabaseRecordsMatchType.like
  bool is_like(py::handle match_type) {
    const std::size_t index = member_index(match_type);
    if (index != kNotAMember) return index == kLike;
    if (!like_) like_ = loaded_ ? state().members[kLike] : py::object(enumeration_.attr("like"));
    const int equal = PyObject_RichCompareBool(match_type.ptr(), like_.ptr(), Py_EQ);
    if (equal < 0) throw py::error_already_set();
    return equal == 1;
  }

  std::size_t operator_index(py::handle match_type) const {
    const std::size_t index = member_index(match_type);
    return index != kNotAMember ? index : operator_from_table(enumeration_, match_type);
  }

 private:
  py::object enumeration_;
  py::object like_;
  bool loaded_;
};

// ---------------------------------------------------------------- pagination

void append_limit_offset(SqlText& out, py::handle limit, py::handle offset) {
  if (!limit.is_none()) {
    out += " LIMIT "sv;
    append_decimal(out, limit);
  }
  if (!offset.is_none()) {
    out += " OFFSET "sv;
    append_decimal(out, offset);
  }
}

void append_offset_fetch(SqlText& out, py::handle limit, py::handle offset) {
  if (!offset.is_none()) {
    out += " OFFSET "sv;
    append_decimal(out, offset);
    out += " ROWS"sv;
  }
  if (!limit.is_none()) {
    out += " FETCH NEXT "sv;
    append_decimal(out, limit);
    out += " ROWS ONLY"sv;
  }
}

// The query inside a ROWNUM window; only with both a limit and an offset.
py::object rownum_window(std::string_view query, py::handle limit, py::handle offset) {
  SqlText out;
  out += "\n                SELECT * FROM (\n                    SELECT a.*, ROWNUM rnum FROM (\n"sv;
  out += "                        "sv;
  out += query;
  out += "\n                    ) a WHERE ROWNUM <= "sv;
  append_decimal(out, native::owned(PyNumber_Add(offset.ptr(), limit.ptr())));
  out += "\n                ) WHERE rnum > "sv;
  append_decimal(out, offset);
  out += "\n            "sv;
  return out.str();
}

bool pages_by_limit_offset(py::handle builder) { return truthy(native::attr<"supports_limit_offset">(builder)); }

// ---------------------------------------------------------------- calls through the object

template <typename... Args>
py::object call_method(py::handle self, PyObject* name, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self.ptr(), py::handle(args).ptr()...};
  return native::owned(PyObject_VectorcallMethod(name, argv.data(), argv.size(), nullptr));
}

// super(cls, self).<name>(*args): how a dialect's method reaches its base.
// super() reads a None `self` as no object at all, and the unbound super it
// makes would answer the attribute with its own method, so None is refused as
// super refuses any other object that is no instance of `cls`.
template <typename... Args>
py::object call_super(py::handle cls, py::handle self, PyObject* name, Args... args) {
  if (self.is_none()) native::raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
  const py::object bound = native::owned(
      PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type), cls.ptr(), self.ptr(), nullptr));
  return native::owned(PyObject_GetAttr(bound.ptr(), name))(args...);
}

// The methods build_select_query reaches through the object, as bits.
constexpr unsigned kQuoteIdentifier = 1;
constexpr unsigned kGetOperator = 2;
constexpr unsigned kAddPagination = 4;

// Which of those names the instance's own __dict__ holds: an entry there
// hides the class's method. A small dict is scanned once instead of probed
// three times; setattr interns attribute names, so identity finds them, and
// any other str key is compared by value.
unsigned shadowed_methods(py::handle self) {
  if (Py_TYPE(self.ptr())->tp_dictoffset == 0) return 0;
  const py::object dict = native::owned(PyObject_GenericGetDict(self.ptr(), nullptr));
  const std::array<PyObject*, 3> names = {interned<"quote_identifier">(), interned<"get_operator">(),
                                          interned<"add_pagination">()};
  unsigned shadowed = 0;
  if (PyDict_GET_SIZE(dict.ptr()) > 8) {
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (PyDict_GetItemWithError(dict.ptr(), names[i]) != nullptr) shadowed |= 1U << i;
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    return shadowed;
  }
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
    const bool compare_text = PyUnicode_Check(key) && !(PyUnicode_CheckExact(key) && PyUnicode_CHECK_INTERNED(key));
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (key == names[i] || (compare_text && PyUnicode_Compare(key, names[i]) == 0)) shadowed |= 1U << i;
    }
  }
  return shadowed;
}

// The class attribute that `self.<name>` resolves to, nullptr when the
// instance's own entry answers instead.
PyObject* class_attribute(py::handle self, unsigned shadowed, unsigned method, PyObject* name) {
  return (shadowed & method) != 0 ? nullptr : _PyType_Lookup(Py_TYPE(self.ptr()), name);
}

// ---------------------------------------------------------------- SELECT

// Writes one SELECT statement, reaching the builder's three overridable
// methods directly when they are the ones defined here.
class SelectWriter {
 public:
  SelectWriter(const native::Frame& call, py::handle self) : call_(call), self_(self) { resolve_methods(); }

  void from(py::handle table) {
    sql_ += "SELECT * FROM "sv;
    identifier(table);
  }

  void where(py::handle filters, const py::dict& parameters) {
    if (PyList_GET_SIZE(filters.ptr()) == 0) return;
    MatchTypes match_types(call_);
    sql_ += " WHERE "sv;
    // Indexed, as a list iterator does, in case an override changes the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(filters.ptr()); ++i) {
      const py::object filter = native::borrowed(PyList_GET_ITEM(filters.ptr(), i));
      if (i > 0) sql_ += " AND "sv;
      condition(filter, parameters, match_types);
    }
  }

  void order_by(py::handle sorting) {
    if (sorting.is_none()) return;
    // A built-in list or tuple is never a sorting record: skip isinstance,
    // which goes through the records' ABCMeta.
    if (!PyList_CheckExact(sorting.ptr()) && !PyTuple_CheckExact(sorting.ptr())) {
      const int single = PyObject_IsInstance(sorting.ptr(), call_.global<"InferenceDatabaseRecordsSorting">().ptr());
      if (single < 0) throw py::error_already_set();
      if (single == 1) {
        sort_clause(sorting, true);
        return;
      }
    }
    if (!truthy(sorting)) return;
    bool first = true;
    for (const py::handle sort : sorting) {
      sort_clause(sort, first);
      first = false;
    }
  }

  py::object paginate(py::handle limit, py::handle offset) {
    switch (paging_) {
      case Paging::LimitOffset:
        if (pages_by_limit_offset(self_)) append_limit_offset(sql_, limit, offset);
        return sql_.str();
      case Paging::OffsetFetch:
        append_offset_fetch(sql_, limit, offset);
        return sql_.str();
      case Paging::RowNum:
        if (limit.is_none() || offset.is_none()) return sql_.str();
        return rownum_window(sql_.view(), limit, offset);
      case Paging::Through:
        break;
    }
    return call_method(self_, interned<"add_pagination">(), sql_.str(), limit, offset);
  }

 private:
  enum class Quoting : unsigned char { Through, Quoted, Bracketed };
  enum class Paging : unsigned char { Through, LimitOffset, OffsetFetch, RowNum };

  void resolve_methods() {
    // A class with its own attribute lookup answers everything itself.
    if (Py_TYPE(self_.ptr())->tp_getattro != PyObject_GenericGetAttr) return;
    const State& s = state();
    const unsigned shadowed = shadowed_methods(self_);
    PyObject* quoting = class_attribute(self_, shadowed, kQuoteIdentifier, interned<"quote_identifier">());
    if (quoting == s.quote_method.ptr()) {
      quoting_ = Quoting::Quoted;
      quote_ = text_of(native::attr<"identifier_quote">(self_));
      quote_text_ = utf8(quote_);
    } else if (quoting == s.bracket_quote_method.ptr()) {
      quoting_ = Quoting::Bracketed;
    }
    direct_operator_ =
        class_attribute(self_, shadowed, kGetOperator, interned<"get_operator">()) == s.operator_method.ptr();
    PyObject* paging = class_attribute(self_, shadowed, kAddPagination, interned<"add_pagination">());
    if (paging == s.pagination_method.ptr()) {
      paging_ = Paging::LimitOffset;
    } else if (paging == s.offset_fetch_pagination_method.ptr()) {
      paging_ = Paging::OffsetFetch;
    } else if (paging == s.rownum_pagination_method.ptr()) {
      paging_ = Paging::RowNum;
    }
  }

  void identifier(py::handle name) {
    switch (quoting_) {
      case Quoting::Quoted:
        expect_identifier(name);
        write_quoted(sql_, name, quote_text_);
        return;
      case Quoting::Bracketed:
        expect_identifier(name);
        write_bracketed(sql_, name);
        return;
      case Quoting::Through:
        sql_ += utf8(text_of(call_method(self_, interned<"quote_identifier">(), name)));
        return;
    }
  }

  // The comparison of a filter that is not a substring match; `held` keeps
  // an override's answer alive while the view is in use.
  std::string_view comparison(py::handle match_type, const MatchTypes& match_types, py::object& held) {
    if (direct_operator_) return kOperatorTexts[match_types.operator_index(match_type)];
    held = text_of(call_method(self_, interned<"get_operator">(), match_type));
    return utf8(held);
  }

  void condition(py::handle filter, const py::dict& parameters, MatchTypes& match_types) {
    const std::size_t number = PyDict_GET_SIZE(parameters.ptr());
    const py::object name = parameter_name(number);
    const py::object value = field<"match_value">(filter, plain_record_);
    const py::object match_type = field<"match_type">(filter, plain_record_);
    // The value is stored once, as its pattern for a substring match; the
    // operator is settled before the column is read and quoted.
    std::string_view operator_text;
    py::object held;
    if (match_types.is_like(match_type)) {
      set_parameter(parameters, name, substring_pattern(value));
      operator_text = use_ilike() ? "ILIKE"sv : "LIKE"sv;
    } else {
      set_parameter(parameters, name, value);
      operator_text = comparison(match_type, match_types, held);
    }
    identifier(field<"column_name">(filter, plain_record_));
    sql_ += ' ';
    sql_ += operator_text;
    sql_ += " :filter_value_"sv;
    append_digits(sql_, number);
  }

  void sort_clause(py::handle sort, bool first) {
    sql_ += first ? " ORDER BY "sv : ", "sv;
    identifier(field<"column_name">(sort, plain_record_));
    const py::object direction = enum_value(field<"order_type">(sort, plain_record_));
    const py::object text = text_of(direction);
    const std::string_view written = utf8(text);
    if (!is_sort_direction(written)) {
      native::raise(PyExc_ValueError, "Sort direction must be ASC or DESC: order_type.value=%R", direction.ptr());
    }
    sql_ += ' ';
    sql_ += written;
  }

  // ASC or DESC in any letter case.
  static bool is_sort_direction(std::string_view text) {
    const auto is_keyword = [text](std::string_view keyword) {
      return std::equal(text.begin(), text.end(), keyword.begin(), keyword.end(),
                        [](char a, char b) { return (a >= 'a' && a <= 'z' ? a - 'a' + 'A' : a) == b; });
    };
    return is_keyword("ASC"sv) || is_keyword("DESC"sv);
  }

  bool use_ilike() {
    if (!use_ilike_) use_ilike_ = truthy(native::attr<"use_ilike">(self_));
    return *use_ilike_;
  }

  static py::object parameter_name(std::size_t number) {
    if (number < kPreparedNames) return state().parameter_names[number];
    return native::owned(PyUnicode_FromFormat("filter_value_%zu", number));
  }

  static void set_parameter(const py::dict& parameters, py::handle name, py::handle value) {
    if (PyDict_SetItem(parameters.ptr(), name.ptr(), value.ptr()) < 0) throw py::error_already_set();
  }

  const native::Frame& call_;
  py::handle self_;
  SqlText sql_;
  Quoting quoting_ = Quoting::Through;
  Paging paging_ = Paging::Through;
  bool direct_operator_ = false;
  py::object quote_;
  std::string_view quote_text_;
  std::optional<bool> use_ilike_;
  PyTypeObject* plain_record_ = nullptr;
};

py::object build_select_query(const native::Call<kSelect>& call) {
  SelectWriter writer(call, call.arg<"self">());
  writer.from(call.arg<"table">());
  py::dict parameters;
  if (!call.arg<"filters">().is_none()) writer.where(call.arg<"filters">(), parameters);
  writer.order_by(call.arg<"sorting">());
  py::object text = writer.paginate(call.arg<"limit">(), call.arg<"offset">());
  return py::make_tuple(std::move(text), std::move(parameters));
}

// ---------------------------------------------------------------- base methods

void set_field(py::handle builder, PyObject* name, PyObject* value) {
  if (PyObject_SetAttr(builder.ptr(), name, value) < 0) throw py::error_already_set();
}

py::object init_base(const native::Call<kInit>& call) {
  set_field(call.arg<"self">(), interned<"identifier_quote">(), interned<"\"">());
  set_field(call.arg<"self">(), interned<"supports_limit_offset">(), Py_True);
  set_field(call.arg<"self">(), interned<"use_ilike">(), Py_False);
  return py::none();
}

py::object validate_base(const native::Call<kValidate>& call) {
  const py::object quote = native::attr<"identifier_quote">(call.arg<"self">());
  if (!truthy(quote)) return py::bool_(true);
  const Py_ssize_t count = PyUnicode_Count(call.arg<"query">().ptr(), quote.ptr(), 0, PY_SSIZE_T_MAX);
  if (count < 0) throw py::error_already_set();
  return py::bool_(count % 2 == 0);
}

py::object schema_base(const native::Call<kSchema>&) {
  native::raise(PyExc_NotImplementedError, "Subclass must implement build_schema_query");
}

py::object quote_base(const native::Call<kQuote>& call) {
  const py::object quote = text_of(native::attr<"identifier_quote">(call.arg<"self">()));
  SqlText out;
  write_quoted(out, call.arg<"identifier">(), utf8(quote));
  return out.str();
}

py::object operator_base(const native::Call<kOperator>& call) {
  const MatchTypes match_types(call);
  return state().operator_texts[match_types.operator_index(call.arg<"match_type">())];
}

py::object paginate_base(const native::Call<kPaginate>& call) {
  if (!pages_by_limit_offset(call.arg<"self">()) || (call.arg<"limit">().is_none() && call.arg<"offset">().is_none()))
    return native::borrowed(call.arg<"query">());
  SqlText out(utf8(call.arg<"query">()));
  append_limit_offset(out, call.arg<"limit">(), call.arg<"offset">());
  return out.str();
}

// ---------------------------------------------------------------- dialects

std::size_t count_of(py::handle query, char character) {
  const std::string_view text = utf8(query);
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), character));
}

bool base_accepts(py::handle cls, const native::Call<kValidate>& call) {
  return truthy(call_super(cls, call.arg<"self">(), interned<"validate_custom_query">(), call.arg<"query">()));
}

struct FieldValue {
  PyObject* name;
  PyObject* value;
};

// A dialect's constructor: the base's first, then the fields that differ.
py::object init_dialect(py::handle cls, const native::Call<kInit>& call, std::initializer_list<FieldValue> fields) {
  call_super(cls, call.arg<"self">(), interned<"__init__">());
  for (const FieldValue& field : fields) set_field(call.arg<"self">(), field.name, field.value);
  return py::none();
}

// A dialect's custom-query check: the base's first, then `passes(query)`.
template <typename Check>
py::object validate_dialect(py::handle cls, const native::Call<kValidate>& call, Check passes) {
  return py::bool_(base_accepts(cls, call) && passes(call.arg<"query">()));
}

// Appends `text` with each of the characters in `doubled` written twice.
void append_doubling_each(SqlText& out, std::string_view text, std::string_view doubled) {
  for (std::size_t at = text.find_first_of(doubled); at != std::string_view::npos; at = text.find_first_of(doubled)) {
    out += text.substr(0, at + 1);
    out += text[at];
    text.remove_prefix(at + 1);
  }
  out += text;
}

// The column listing: `head`, the table name as a literal's content, `tail`.
// In the literal each character of `doubled` is written twice: the single
// quote, and for MySQL the backslash, which its literals read as an escape.
// With `limits`, a name the dialect cannot hold is refused as in a select: the
// catalogs would otherwise match another table (PostgreSQL cuts the literal to
// 63 bytes as a name; MySQL's comparison ignores trailing spaces).
py::object columns_query(std::string_view head, py::handle table_name, std::string_view tail, const NameLimits* limits,
                         std::string_view doubled = "'"sv) {
  const std::string_view text = utf8(table_name);
  if (limits != nullptr) {
    check_quoted_name(table_name, text.size(), limits);
  } else {
    count_wide_refusing_nul(table_name);
  }
  SqlText out(head);
  append_doubling_each(out, text, doubled);
  out += tail;
  return out.str();
}

constexpr std::string_view kInformationSchemaTail =
    "'\n"
    "            ORDER BY ordinal_position\n"
    "        ";

py::object init_postgresql(const native::Call<kInit>& call) {
  return init_dialect(state().postgresql_class, call, {{interned<"use_ilike">(), Py_True}});
}

py::object validate_postgresql(const native::Call<kValidate>& call) {
  return validate_dialect(state().postgresql_class, call,
                          [](py::handle query) { return count_of(query, '"') % 2 == 0; });
}

py::object schema_postgresql(const native::Call<kSchema>& call) {
  return columns_query(
      "\n"
      "            SELECT column_name, data_type, is_nullable\n"
      "            FROM information_schema.columns\n"
      "            WHERE table_name = '",
      call.arg<"table_name">(), kInformationSchemaTail, &kPostgreSQLNames);
}

py::object init_mysql(const native::Call<kInit>& call) {
  return init_dialect(state().mysql_class, call, {{interned<"identifier_quote">(), interned<"`">()}});
}

py::object validate_mysql(const native::Call<kValidate>& call) {
  return validate_dialect(state().mysql_class, call, [](py::handle query) { return count_of(query, '`') % 2 == 0; });
}

py::object schema_mysql(const native::Call<kSchema>& call) {
  return columns_query(
      "\n"
      "            SELECT column_name, data_type,\n"
      "                   IF(is_nullable = 'YES', 'true', 'false') as is_nullable\n"
      "            FROM information_schema.columns\n"
      "            WHERE table_name = '",
      call.arg<"table_name">(), kInformationSchemaTail, &kMySQLNames, "'\\"sv);
}

py::object init_mssql(const native::Call<kInit>& call) {
  return init_dialect(state().mssql_class, call, {{interned<"identifier_quote">(), interned<"[">()}});
}

py::object validate_mssql(const native::Call<kValidate>& call) {
  return validate_dialect(state().mssql_class, call,
                          [](py::handle query) { return count_of(query, '[') == count_of(query, ']'); });
}

// Upper-case catalog names, so that a database with a case-sensitive
// collation resolves them too; N'' since catalog names are nvarchar.
py::object schema_mssql(const native::Call<kSchema>& call) {
  return columns_query(
      "\n"
      "            SELECT COLUMN_NAME AS column_name, DATA_TYPE AS data_type,\n"
      "                   CASE WHEN IS_NULLABLE = 'YES' THEN 'true' ELSE 'false' END AS is_nullable\n"
      "            FROM INFORMATION_SCHEMA.COLUMNS\n"
      "            WHERE TABLE_NAME = N'",
      call.arg<"table_name">(),
      "'\n"
      "            ORDER BY ORDINAL_POSITION\n"
      "        ",
      &kSQLServerNames);
}

py::object quote_mssql(const native::Call<kQuote>& call) {
  SqlText out;
  write_bracketed(out, call.arg<"identifier">());
  return out.str();
}

py::object paginate_mssql(const native::Call<kPaginate>& call) {
  if (call.arg<"limit">().is_none() && call.arg<"offset">().is_none()) return native::borrowed(call.arg<"query">());
  SqlText out(utf8(call.arg<"query">()));
  append_offset_fetch(out, call.arg<"limit">(), call.arg<"offset">());
  return out.str();
}

py::object init_oracle(const native::Call<kInit>& call) {
  return init_dialect(
      state().oracle_class, call,
      {{interned<"identifier_quote">(), interned<"">()}, {interned<"supports_limit_offset">(), Py_False}});
}

py::object validate_oracle(const native::Call<kValidate>& call) {
  return validate_dialect(state().oracle_class, call, [](py::handle) { return true; });
}

py::object schema_oracle(const native::Call<kSchema>& call) {
  return columns_query(
      "\n"
      "            SELECT\n"
      "                column_name,\n"
      "                data_type,\n"
      "                CASE\n"
      "                    WHEN nullable = 'Y' THEN 'true'\n"
      "                    ELSE 'false'\n"
      "                END as is_nullable\n"
      "            FROM all_tab_columns\n"
      "            WHERE table_name = UPPER('",
      call.arg<"table_name">(),
      "')\n"
      "            ORDER BY column_id\n"
      "        ",
      nullptr);
}

py::object paginate_oracle(const native::Call<kPaginate>& call) {
  if (call.arg<"limit">().is_none() || call.arg<"offset">().is_none()) return native::borrowed(call.arg<"query">());
  return rownum_window(utf8(call.arg<"query">()), call.arg<"limit">(), call.arg<"offset">());
}

// ---------------------------------------------------------------- factory

py::object get_builder(const native::Call<kGetBuilder>& call) {
  const py::object builders = native::attr<"_builders">(call.arg<"cls">());
  const py::handle db_type = call.arg<"db_type">();
  py::object found;
  if (PyDict_CheckExact(builders.ptr())) {
    PyObject* entry = PyDict_GetItemWithError(builders.ptr(), db_type.ptr());
    if (entry == nullptr && PyErr_Occurred()) throw py::error_already_set();
    found = entry != nullptr ? native::borrowed(entry) : py::none();
  } else {
    found = builders.attr("get")(db_type);
  }
  if (found.is_none()) native::raise(PyExc_ValueError, "Unsupported database type: %S", db_type.ptr());
  return found();
}

// ---------------------------------------------------------------- module

void bind_imported_names(py::module_& m) {
  const py::module_ abc = py::module_::import("abc");
  const py::module_ typing = py::module_::import("typing");
  const py::module_ records = py::module_::import("velora.inference_services.schemas");
  const py::module_ common = py::module_::import("velora.common.schemas");
  m.attr("ABC") = abc.attr("ABC");
  m.attr("abstractmethod") = abc.attr("abstractmethod");
  for (const char* name : {"Any", "Dict", "List", "Optional", "Tuple", "Type", "Union"}) {
    m.attr(name) = typing.attr(name);
  }
  for (const char* name :
       {"InferenceDatabaseRecordsFilter", "InferenceDatabaseRecordsMatchType", "InferenceDatabaseRecordsSorting"}) {
    m.attr(name) = records.attr(name);
  }
  m.attr("DatabaseType") = common.attr("DatabaseType");
}

State load_constants(py::module_& m) {
  State s;
  s.object_getattribute = native::type_object(&PyBaseObject_Type).attr("__dict__")["__getattribute__"];
  s.enum_value = py::module_::import("enum").attr("Enum").attr("__dict__")["value"];
  s.match_types = m.attr("InferenceDatabaseRecordsMatchType");
  for (std::size_t i = 0; i < kOperators; ++i) {
    s.members[i] = s.match_types.attr(kMatchTypeNames[i]);
    s.operator_texts[i] = native::owned(PyUnicode_InternFromString(std::string(kOperatorTexts[i]).c_str()));
  }
  for (std::size_t i = 0; i < kPreparedNames; ++i) {
    s.parameter_names[i] = native::owned(PyUnicode_InternFromString(("filter_value_" + std::to_string(i)).c_str()));
  }
  return s;
}

py::object build_base_class(py::module_& m, State& s) {
  s.quote_method = native::instance_method<&quote_base>(m);
  s.operator_method = native::instance_method<&operator_base>(m);
  s.pagination_method = native::instance_method<&paginate_base>(m);
  return native::ClassBuilder(m, "DBQueryBuilder", py::make_tuple(m.attr("ABC")))
      .doc("Abstract base class for database-specific query builders")
      .method<&init_base>()
      .method<&validate_base>()
      .method<&build_select_query>()
      .attr("build_schema_query", native::abstract_instance_method<&schema_base>(m))
      .attr("quote_identifier", s.quote_method)
      .attr("get_operator", s.operator_method)
      .attr("add_pagination", s.pagination_method)
      .build();
}

// A dialect class with its own constructor, custom-query check and column
// listing; the caller adds any further methods and builds it.
template <auto Init, auto Validate, auto Schema>
native::ClassBuilder dialect_class(py::module_& m, const char* name, const py::object& base) {
  native::ClassBuilder builder(m, name, py::make_tuple(base));
  builder.template method<Init>().template method<Validate>().template method<Schema>();
  return builder;
}

void bind_dialect_classes(py::module_& m, State& s, const py::object& base) {
  s.postgresql_class =
      dialect_class<&init_postgresql, &validate_postgresql, &schema_postgresql>(m, "PostgreSQLQueryBuilder", base)
          .build();
  m.attr("PostgreSQLQueryBuilder") = s.postgresql_class;
  s.mysql_class = dialect_class<&init_mysql, &validate_mysql, &schema_mysql>(m, "MySQLQueryBuilder", base).build();
  m.attr("MySQLQueryBuilder") = s.mysql_class;
  s.bracket_quote_method = native::instance_method<&quote_mssql>(m);
  s.offset_fetch_pagination_method = native::instance_method<&paginate_mssql>(m);
  s.mssql_class = dialect_class<&init_mssql, &validate_mssql, &schema_mssql>(m, "MSSQLQueryBuilder", base)
                      .attr("add_pagination", s.offset_fetch_pagination_method)
                      .attr("quote_identifier", s.bracket_quote_method)
                      .build();
  m.attr("MSSQLQueryBuilder") = s.mssql_class;
  s.rownum_pagination_method = native::instance_method<&paginate_oracle>(m);
  s.oracle_class = dialect_class<&init_oracle, &validate_oracle, &schema_oracle>(m, "OracleQueryBuilder", base)
                       .attr("add_pagination", s.rownum_pagination_method)
                       .build();
  m.attr("OracleQueryBuilder") = s.oracle_class;
  m.attr("TiberoQueryBuilder") = native::ClassBuilder(m, "TiberoQueryBuilder", py::make_tuple(s.oracle_class))
                                     .doc("Tibero uses Oracle-compatible syntax")
                                     .build();
}

py::object build_factory_class(py::module_& m) {
  const py::object database_type = m.attr("DatabaseType");
  py::dict builders;
  builders[database_type.attr("postgresql")] = m.attr("PostgreSQLQueryBuilder");
  builders[database_type.attr("mysql")] = m.attr("MySQLQueryBuilder");
  builders[database_type.attr("oracle")] = m.attr("OracleQueryBuilder");
  builders[database_type.attr("mssql")] = m.attr("MSSQLQueryBuilder");
  builders[database_type.attr("tibero")] = m.attr("TiberoQueryBuilder");
  const py::object table_type = m.attr("Dict")[py::make_tuple(database_type, m.attr("BuilderType"))];
  return native::ClassBuilder(m, "DBQueryBuilderFactory", py::tuple())
      .doc("Factory for creating database-specific query builders")
      .field("_builders", table_type, builders)
      .classmethod<&get_builder>()
      .build();
}

}  // namespace

VELORA_MODULE(brinwell, m, "Parameterised SQL query builders for the inference records of five database dialects.") {
  bind_imported_names(m);
  State& s = state_storage.call_once_and_store_result([&m] { return load_constants(m); }).get_stored();

  const py::object base = build_base_class(m, s);
  m.attr("DBQueryBuilder") = base;
  bind_dialect_classes(m, s, base);
  m.attr("ConcreteQueryBuilder") = m.attr("Union")[py::make_tuple(s.postgresql_class, s.mysql_class, s.oracle_class,
                                                                  s.mssql_class, m.attr("TiberoQueryBuilder"))];
  m.attr("BuilderType") = m.attr("Type")[m.attr("ConcreteQueryBuilder")];
  m.attr("DBQueryBuilderFactory") = build_factory_class(m);
}
