// SQL query builders for the records an inference service keeps in a
// database table: a dialect-neutral base, five dialects and a factory.
//
// Filter values reach the SQL only as named parameters; identifiers are
// written into the text, so a quote character inside one is doubled, and the
// dialects that write identifiers bare accept only plain names.
//
// Each dialect is one row of `kDialects`, read by the shared code below; a
// class declares the methods its dialect overrides. build_select_query calls
// quote_identifier, get_operator and add_pagination through the object, so an
// override in a subclass, or on one instance, takes effect.
#include <pybind11/gil_safe_call_once.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
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
using native::truthy;
using namespace std::string_view_literals;

namespace {

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

enum class Measure : unsigned char { Bytes, Characters, Utf16Units };
enum class Paging : unsigned char { LimitOffset, OffsetFetch, RowNum };

// How one dialect differs. A name beyond its limits would be refused by the
// server, or, in PostgreSQL, which cuts a long name to its first 63 bytes,
// address another table; so it is refused before any text is written.
struct Dialect {
  const char* class_name;
  const char* name;              // as messages name the dialect
  std::string_view open_quote;   // identifier_quote; empty: names are written bare
  std::string_view close_quote;  // doubled inside a quoted name
  bool limit_offset;             // supports_limit_offset
  bool ilike;                    // use_ilike: the substring match is ILIKE
  std::size_t longest_name = 0;  // 0: any length; a bare dialect's limit holds for each dotted part
  Measure measure = Measure::Bytes;
  bool bmp_only = false;           // no character beyond U+FFFF
  bool no_trailing_space = false;  // no space, tab, line feed, vertical tab, form feed or carriage return at the end
  std::span<const std::string_view> reserved_words = {};  // never written bare
  Paging paging = Paging::LimitOffset;
  std::string_view max_rows = {};  // the LIMIT written before an OFFSET alone, where OFFSET needs one
  // The column listing: the head, the table name as the content of a string
  // literal with each of `literal_escapes` written twice, the tail. Each
  // keeps to the current schema (database, owner), where a select reads.
  std::string_view schema_head = {};
  std::string_view schema_tail = {};
  std::string_view literal_escapes = "'";
};

constexpr std::size_t kBase = 0;
constexpr auto kDialects = std::to_array<Dialect>({
    {.class_name = "DBQueryBuilder",
     .name = "",
     .open_quote = "\"",
     .close_quote = "\"",
     .limit_offset = true,
     .ilike = false},
    {.class_name = "PostgreSQLQueryBuilder",
     .name = "PostgreSQL",
     .open_quote = "\"",
     .close_quote = "\"",
     .limit_offset = true,
     .ilike = true,
     .longest_name = 63,
     .schema_head = "\n"
                    "            SELECT column_name, data_type, is_nullable\n"
                    "            FROM information_schema.columns\n"
                    "            WHERE table_name = '",
     .schema_tail = "'\n"
                    "            AND table_schema = current_schema()\n"
                    "            ORDER BY ordinal_position\n"
                    "        "},
    // MySQL literals read a backslash as an escape, so it is doubled too.
    {.class_name = "MySQLQueryBuilder",
     .name = "MySQL",
     .open_quote = "`",
     .close_quote = "`",
     .limit_offset = true,
     .ilike = false,
     .longest_name = 64,
     .measure = Measure::Characters,
     .bmp_only = true,
     .no_trailing_space = true,
     .max_rows = "18446744073709551615",
     .schema_head = "\n"
                    "            SELECT column_name, data_type,\n"
                    "                   IF(is_nullable = 'YES', 'true', 'false') as is_nullable\n"
                    "            FROM information_schema.columns\n"
                    "            WHERE table_name = '",
     .schema_tail = "'\n"
                    "            AND table_schema = DATABASE()\n"
                    "            ORDER BY ordinal_position\n"
                    "        ",
     .literal_escapes = "'\\"},
    // Upper-case catalog names, so that a database with a case-sensitive
    // collation resolves them too; N'' since catalog names are nvarchar.
    {.class_name = "MSSQLQueryBuilder",
     .name = "SQL Server",
     .open_quote = "[",
     .close_quote = "]",
     .limit_offset = true,
     .ilike = false,
     .longest_name = 128,
     .measure = Measure::Utf16Units,
     .paging = Paging::OffsetFetch,
     .schema_head = "\n"
                    "            SELECT COLUMN_NAME AS column_name, DATA_TYPE AS data_type,\n"
                    "                   CASE WHEN IS_NULLABLE = 'YES' THEN 'true' ELSE 'false' END AS is_nullable\n"
                    "            FROM INFORMATION_SCHEMA.COLUMNS\n"
                    "            WHERE TABLE_NAME = N'",
     .schema_tail = "'\n"
                    "            AND TABLE_SCHEMA = SCHEMA_NAME()\n"
                    "            ORDER BY ORDINAL_POSITION\n"
                    "        "},
    {.class_name = "OracleQueryBuilder",
     .name = "Oracle",
     .open_quote = "",
     .close_quote = "",
     .limit_offset = false,
     .ilike = false,
     .longest_name = 128,
     .reserved_words = kOracleReservedWords,
     .paging = Paging::RowNum,
     .schema_head = "\n"
                    "            SELECT\n"
                    "                column_name,\n"
                    "                data_type,\n"
                    "                CASE\n"
                    "                    WHEN nullable = 'Y' THEN 'true'\n"
                    "                    ELSE 'false'\n"
                    "                END as is_nullable\n"
                    "            FROM all_tab_columns\n"
                    "            WHERE table_name = UPPER('",
     .schema_tail = "')\n"
                    "            AND owner = SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA')\n"
                    "            ORDER BY column_id\n"
                    "        "},
});

// get_operator's table: match-type member names and their operators.
constexpr auto kOperators = std::to_array<std::pair<const char*, const char*>>(
    {{"eq", "="}, {"ne", "!="}, {"gt", ">"}, {"lt", "<"}, {"gte", ">="}, {"lte", "<="}, {"like", "LIKE"}});
constexpr std::size_t kLike = 6;

// The class of each row, for the super() calls of its methods and for
// finding the row of a builder; the match-type enumeration as loaded, and
// its members in table order.
struct State {
  std::array<py::object, kDialects.size()> classes;
  py::object match_types;
  std::array<py::object, kOperators.size()> members;
  std::array<py::object, kOperators.size()> operator_texts;
};

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<State> state_storage;

const State& state() { return state_storage.get_stored(); }

// The row of the first dialect class in the builder's method resolution order.
const Dialect& dialect_of(py::handle builder) {
  for (const py::handle cls : py::reinterpret_borrow<py::tuple>(Py_TYPE(builder.ptr())->tp_mro)) {
    for (std::size_t d = 0; d < kDialects.size(); ++d) {
      if (cls.is(state().classes[d])) return kDialects[d];
    }
  }
  return kDialects[kBase];
}

// ---------------------------------------------------------------- texts

std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

// str(value); a str is its own text.
py::object text_of(py::handle value) {
  if (PyUnicode_CheckExact(value.ptr())) return native::borrowed(value);
  return native::owned(PyObject_Str(value.ptr()));
}

// Appends `text` with every occurrence of `what` (not empty) written twice.
// UTF-8 substrings match exactly where the code-point strings do.
void append_doubled(std::string& out, std::string_view text, std::string_view what) {
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what)) {
    out.append(text.substr(0, at + what.size())).append(what);
    text.remove_prefix(at + what.size());
  }
  out.append(text);
}

std::size_t occurrences(std::string_view text, std::string_view what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string_view::npos; at = text.find(what, at + what.size())) {
    ++count;
  }
  return count;
}

// self.<Name>(*args), looked up on the object at every call.
template <native::Literal Name, typename... Args>
py::object call_method(py::handle self, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self.ptr(), py::handle(args).ptr()...};
  return native::owned(PyObject_VectorcallMethod(interned<Name>(), argv.data(), argv.size(), nullptr));
}

// super(cls, self).<Name>(*args): how a dialect's method reaches its base.
// super() reads a None `self` as no object at all, and the unbound super it
// makes would answer the attribute with its own method, so None is refused as
// super refuses any other object that is no instance of `cls`.
template <native::Literal Name, typename... Args>
py::object call_super(std::size_t dialect, py::handle self, Args... args) {
  if (self.is_none()) native::raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
  const py::object bound = native::owned(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(&PySuper_Type), state().classes[dialect].ptr(), self.ptr(), nullptr));
  return native::attr<Name>(bound)(args...);
}

// ---------------------------------------------------------------- identifiers

bool is_letter(Py_UCS4 character) { return Py_UNICODE_ISALPHA(character); }

bool is_identifier_character(Py_UCS4 character) {
  return Py_UNICODE_ISALNUM(character) || character == '_' || character == '$' || character == '#';
}

// A name that is safe to write unquoted: dot-separated parts, each a letter
// followed by letters, digits, "_", "$" and "#".
bool is_plain_identifier(py::handle identifier) {
  bool part_start = true;
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(identifier.ptr()); ++i) {
    const Py_UCS4 character = PyUnicode_READ_CHAR(identifier.ptr(), i);
    if (character == '.') {
      if (part_start) return false;
      part_start = true;
    } else if (!(part_start ? is_letter(character) : is_identifier_character(character))) {
      return false;
    } else {
      part_start = false;
    }
  }
  return !part_start;
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

// The size of UTF-8 `text` in `measure`: a character is a byte that does not
// continue another, and one beyond U+FFFF (a 4-byte lead) is two UTF-16 units.
std::size_t size_in(Measure measure, std::string_view text) {
  const auto count = [text](auto test) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), test));
  };
  const auto characters = [&count] { return count([](unsigned char c) { return (c & 0xC0) != 0x80; }); };
  switch (measure) {
    case Measure::Bytes:
      return text.size();
    case Measure::Characters:
      return characters();
    case Measure::Utf16Units:
      return characters() + count([](unsigned char c) { return c >= 0xF0; });
  }
  return text.size();
}

void refuse_longer(const Dialect& d, std::string_view text, py::handle identifier, const char* subject) {
  if (d.longest_name == 0 || size_in(d.measure, text) <= d.longest_name) return;
  native::raise(PyExc_ValueError, "%s longer than the %zu %s %s takes: identifier=%R", subject, d.longest_name,
                unit_name(d.measure), d.name, identifier.ptr());
}

void refuse_nul(std::string_view text, py::handle identifier) {
  if (text.find('\0') == std::string_view::npos) return;
  native::raise(PyExc_ValueError, "Identifier must not contain NUL characters: identifier=%R", identifier.ptr());
}

// A name to be written between quotes: not empty, no NUL, within the dialect's limits.
void check_quoted_name(const Dialect& d, std::string_view text, py::handle identifier) {
  if (text.empty()) native::raise(PyExc_ValueError, "Identifier must not be empty: identifier=%R", identifier.ptr());
  refuse_nul(text, identifier);
  if (d.bmp_only && std::any_of(text.begin(), text.end(), [](unsigned char c) { return c >= 0xF0; })) {
    native::raise(PyExc_ValueError,
                  "Identifier has a character beyond U+FFFF, which %s does not take in names: identifier=%R", d.name,
                  identifier.ptr());
  }
  if (d.no_trailing_space && " \t\n\v\f\r"sv.find(text.back()) != std::string_view::npos) {
    native::raise(PyExc_ValueError,
                  "Identifier ends with a space character, which %s does not take in names: identifier=%R", d.name,
                  identifier.ptr());
  }
  refuse_longer(d, text, identifier, "Identifier is");
}

// `part` (letters, digits, _, $, #) in upper case is one of the dialect's reserved words.
bool is_reserved(const Dialect& d, std::string_view part) {
  std::string upper(part);
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  return std::binary_search(d.reserved_words.begin(), d.reserved_words.end(), upper);
}

// A name to be written bare: plain, each dotted part within the limits and no reserved word.
void check_bare_name(const Dialect& d, std::string_view text, py::handle identifier) {
  if (!is_plain_identifier(identifier)) {
    native::raise(PyExc_ValueError,
                  "Identifier cannot be written unquoted: it must be dot-separated names of letters, digits, "
                  "_, $ and #, each starting with a letter: identifier=%R",
                  identifier.ptr());
  }
  for (std::string_view rest = text; !rest.empty();) {
    const std::string_view part = rest.substr(0, rest.find('.'));
    refuse_longer(d, part, identifier, "Identifier has a part");
    if (is_reserved(d, part)) {
      native::raise(PyExc_ValueError,
                    "Identifier cannot be written unquoted: %s is a reserved word, which %s reads as SQL: "
                    "identifier=%R",
                    std::string(part).c_str(), d.name, identifier.ptr());
    }
    rest.remove_prefix(std::min(part.size() + 1, rest.size()));
  }
}

// `identifier` as dialect `d` writes it: bare when `open` is empty, else
// between `open` and `close` with `close` doubled inside.
py::object quoted(const Dialect& d, py::handle identifier, std::string_view open, std::string_view close) {
  const std::string_view text = utf8(identifier);
  if (open.empty()) {
    check_bare_name(d, text, identifier);
    return native::borrowed(identifier);
  }
  check_quoted_name(d, text, identifier);
  std::string out(open);
  append_doubled(out, text, close);
  return py::str(out.append(close));
}

// ---------------------------------------------------------------- pagination

// The decimal text of an int of any size.
std::string decimal(py::handle integer) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow == 0 ? std::to_string(value) : std::string(utf8(text_of(integer)));
}

void append_limit_offset(std::string& out, const Dialect& d, py::handle limit, py::handle offset) {
  if (!limit.is_none()) {
    out.append(" LIMIT "sv).append(decimal(limit));
  } else if (!offset.is_none() && !d.max_rows.empty()) {
    out.append(" LIMIT "sv).append(d.max_rows);
  }
  if (!offset.is_none()) out.append(" OFFSET "sv).append(decimal(offset));
}

// FETCH is taken only after an OFFSET.
void append_offset_fetch(std::string& out, py::handle limit, py::handle offset) {
  if (!offset.is_none()) {
    out.append(" OFFSET "sv).append(decimal(offset)).append(" ROWS"sv);
  } else if (!limit.is_none()) {
    out.append(" OFFSET 0 ROWS"sv);
  }
  if (!limit.is_none()) out.append(" FETCH NEXT "sv).append(decimal(limit)).append(" ROWS ONLY"sv);
}

// The query inside a ROWNUM window; only with both a limit and an offset.
std::string rownum_window(std::string_view query, py::handle limit, py::handle offset) {
  if (limit.is_none() || offset.is_none()) return std::string(query);
  return std::string("\n                SELECT * FROM (\n                    SELECT a.*, ROWNUM rnum FROM (\n")
      .append("                        "sv)
      .append(query)
      .append("\n                    ) a WHERE ROWNUM <= "sv)
      .append(decimal(native::owned(PyNumber_Add(offset.ptr(), limit.ptr()))))
      .append("\n                ) WHERE rnum > "sv)
      .append(decimal(offset))
      .append("\n            "sv);
}

template <Paging P>
py::object add_pagination(const native::Call& call) {
  std::string out(utf8(call[1]));
  if constexpr (P == Paging::LimitOffset) {
    if (!truthy(native::attr<"supports_limit_offset">(call[0]))) return native::borrowed(call[1]);
    append_limit_offset(out, dialect_of(call[0]), call[2], call[3]);
  } else if constexpr (P == Paging::OffsetFetch) {
    append_offset_fetch(out, call[2], call[3]);
  } else {
    out = rownum_window(out, call[2], call[3]);
  }
  return py::str(out);
}

// ---------------------------------------------------------------- match types

// The position of `match_type` in get_operator's table as built from
// `match_types` now. Members cannot be reassigned, so while `match_types` is
// the enumeration loaded, its members are known; anything else is looked up
// in the table, built afresh.
std::size_t operator_index(py::handle match_types, py::handle match_type) {
  if (match_types.is(state().match_types)) {
    for (std::size_t i = 0; i < kOperators.size(); ++i) {
      if (match_type.is(state().members[i])) return i;
    }
  }
  py::dict table;
  for (std::size_t i = 0; i < kOperators.size(); ++i) table[match_types.attr(kOperators[i].first)] = i;
  return native::owned(PyObject_GetItem(table.ptr(), match_type.ptr())).cast<std::size_t>();
}

// match_type == match_types.like
bool is_like(py::handle match_types, py::handle match_type) {
  const bool loaded = match_types.is(state().match_types);
  return match_type.equal(loaded ? state().members[kLike] : native::attr<"like">(match_types));
}

// ---------------------------------------------------------------- SELECT

// Appends str(self.quote_identifier(name)).
void append_identifier(std::string& sql, py::handle self, py::handle name) {
  sql.append(utf8(text_of(call_method<"quote_identifier">(self, name))));
}

void append_where(std::string& sql, py::dict& parameters, const native::Call& call) {
  const py::handle self = call[0];
  const py::handle filters = call[2];
  if (filters.is_none() || PyList_GET_SIZE(filters.ptr()) == 0) return;
  const py::object match_types = call.global<"InferenceDatabaseRecordsMatchType">();
  sql.append(" WHERE "sv);
  for (const py::handle filter : filters) {
    if (parameters.size() > 0) sql.append(" AND "sv);
    const std::string name = "filter_value_" + std::to_string(parameters.size());
    const py::object value = native::attr<"match_value">(filter);
    const py::object match_type = native::attr<"match_type">(filter);
    std::string operator_text;
    if (is_like(match_types, match_type)) {
      parameters[py::str(name)] = native::owned(PyUnicode_FromFormat("%%%S%%", value.ptr()));
      operator_text = truthy(native::attr<"use_ilike">(self)) ? "ILIKE" : "LIKE";
    } else {
      parameters[py::str(name)] = value;
      operator_text = utf8(text_of(call_method<"get_operator">(self, match_type)));
    }
    append_identifier(sql, self, native::attr<"column_name">(filter));
    sql.append(" "sv).append(operator_text).append(" :"sv).append(name);
  }
}

// ASC or DESC in any letter case.
bool is_sort_direction(std::string_view text) {
  const auto is = [text](std::string_view keyword) {
    return std::equal(text.begin(), text.end(), keyword.begin(), keyword.end(),
                      [](char a, char b) { return (a >= 'a' && a <= 'z' ? a - 'a' + 'A' : a) == b; });
  };
  return is("ASC") || is("DESC");
}

void append_sort(std::string& sql, py::handle self, py::handle sort) {
  append_identifier(sql, self, native::attr<"column_name">(sort));
  const py::object direction = native::attr<"value">(native::attr<"order_type">(sort));
  const py::object text = text_of(direction);
  if (!is_sort_direction(utf8(text))) {
    native::raise(PyExc_ValueError, "Sort direction must be ASC or DESC: order_type.value=%R", direction.ptr());
  }
  sql.append(" "sv).append(utf8(text));
}

// Whether an ORDER BY clause was written.
bool append_order_by(std::string& sql, const native::Call& call) {
  const py::handle sorting = call[3];
  if (sorting.is_none()) return false;
  const int single = PyObject_IsInstance(sorting.ptr(), call.global<"InferenceDatabaseRecordsSorting">().ptr());
  if (single < 0) throw py::error_already_set();
  if (single == 1) {
    sql.append(" ORDER BY "sv);
    append_sort(sql, call[0], sorting);
    return true;
  }
  if (!truthy(sorting)) return false;
  bool written = false;
  for (const py::handle sort : sorting) {
    sql.append(written ? ", " : " ORDER BY ");
    append_sort(sql, call[0], sort);
    written = true;
  }
  return written;
}

py::object build_select_query(const native::Call& call) {
  const py::handle self = call[0];
  std::string sql;
  sql.reserve(256);
  sql.append("SELECT * FROM "sv);
  append_identifier(sql, self, call[1]);
  py::dict parameters;
  append_where(sql, parameters, call);
  const bool sorted = append_order_by(sql, call);
  // SQL Server takes OFFSET only after ORDER BY.
  const bool paged = !call[4].is_none() || !call[5].is_none();
  if (paged && !sorted && dialect_of(self).paging == Paging::OffsetFetch) sql.append(" ORDER BY (SELECT NULL)"sv);
  py::object text = call_method<"add_pagination">(self, py::str(sql), call[4], call[5]);
  return py::make_tuple(std::move(text), std::move(parameters));
}

// ---------------------------------------------------------------- methods

void set_field(py::handle builder, PyObject* name, py::handle value) {
  if (PyObject_SetAttr(builder.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// The base's constructor sets the three fields; a dialect's runs its base's
// first and then sets the fields that differ.
template <std::size_t D>
py::object init(const native::Call& call) {
  const Dialect& d = kDialects[D];
  const Dialect& base = kDialects[kBase];
  if constexpr (D != kBase) call_super<"__init__">(D, call[0]);
  if (D == kBase || d.open_quote != base.open_quote) {
    set_field(call[0], interned<"identifier_quote">(), py::str(std::string(d.open_quote)));
  }
  if (D == kBase || d.limit_offset != base.limit_offset) {
    set_field(call[0], interned<"supports_limit_offset">(), py::bool_(d.limit_offset));
  }
  if (D == kBase || d.ilike != base.ilike) set_field(call[0], interned<"use_ilike">(), py::bool_(d.ilike));
  return py::none();
}

// The base counts its identifier_quote; a dialect's check runs its base's
// first and then balances its own quotes: as many openings as closings, or
// an even number of one quote character.
template <std::size_t D>
py::object validate_custom_query(const native::Call& call) {
  const std::string_view query = utf8(call[1]);
  if constexpr (D == kBase) {
    const py::object quote = text_of(native::attr<"identifier_quote">(call[0]));
    return py::bool_(utf8(quote).empty() || occurrences(query, utf8(quote)) % 2 == 0);
  } else {
    const Dialect& d = kDialects[D];
    if (!truthy(call_super<"validate_custom_query">(D, call[0], call[1]))) return py::bool_(false);
    if (d.open_quote.empty()) return py::bool_(true);
    if (d.open_quote == d.close_quote) return py::bool_(occurrences(query, d.open_quote) % 2 == 0);
    return py::bool_(occurrences(query, d.open_quote) == occurrences(query, d.close_quote));
  }
}

// A bare dialect's listing takes any text to UPPER(); the others refuse a
// name they cannot hold, as a select does, since the catalog would match
// another table (PostgreSQL compares the literal cut to 63 bytes; MySQL
// ignores trailing spaces).
template <std::size_t D>
py::object build_schema_query(const native::Call& call) {
  if constexpr (D == kBase) native::raise(PyExc_NotImplementedError, "Subclass must implement build_schema_query");
  const Dialect& d = kDialects[D];
  const std::string_view table_name = utf8(call[1]);
  if (d.open_quote.empty()) {
    refuse_nul(table_name, call[1]);
  } else {
    check_quoted_name(d, table_name, call[1]);
  }
  std::string literal(table_name);
  for (const char escape : d.literal_escapes) {
    std::string escaped;
    append_doubled(escaped, literal, std::string_view(&escape, 1));
    literal = escaped;
  }
  return py::str(std::string(d.schema_head).append(literal).append(d.schema_tail));
}

// The base writes identifier_quote on both sides; a dialect with a pair of
// quotes writes its own.
template <std::size_t D>
py::object quote_identifier(const native::Call& call) {
  if constexpr (D == kBase) {
    const py::object quote = text_of(native::attr<"identifier_quote">(call[0]));
    return quoted(dialect_of(call[0]), call[1], utf8(quote), utf8(quote));
  } else {
    return quoted(kDialects[D], call[1], kDialects[D].open_quote, kDialects[D].close_quote);
  }
}

py::object get_operator(const native::Call& call) {
  return state().operator_texts[operator_index(call.global<"InferenceDatabaseRecordsMatchType">(), call[1])];
}

py::object get_builder(const native::Call& call) {
  const py::object found = native::attr<"_builders">(call[0]).attr("get")(call[1]);
  if (found.is_none()) native::raise(PyExc_ValueError, "Unsupported database type: %S", call[1].ptr());
  return found();
}

// ---------------------------------------------------------------- module

void bind_imported_names(py::module_& m) {
  const py::module_ abc = py::module_::import("abc");
  const py::module_ typing = py::module_::import("typing");
  const py::module_ records = py::module_::import("velora.inference_services.schemas");
  m.attr("ABC") = abc.attr("ABC");
  m.attr("abstractmethod") = abc.attr("abstractmethod");
  for (const char* name : {"Any", "Dict", "List", "Optional", "Tuple", "Type", "Union"}) {
    m.attr(name) = typing.attr(name);
  }
  for (const char* name :
       {"InferenceDatabaseRecordsFilter", "InferenceDatabaseRecordsMatchType", "InferenceDatabaseRecordsSorting"}) {
    m.attr(name) = records.attr(name);
  }
  m.attr("DatabaseType") = py::module_::import("velora.common.schemas").attr("DatabaseType");
}

const native::Signature kInit{"__init__", {{"self"}}};
const native::Signature kValidate{"validate_custom_query",
                                  {{"self"}, {"query", Kind::Str}},
                                  "Whether the identifier quotes of a hand-written query are balanced."};
const native::Signature kSchema{"build_schema_query",
                                {{"self"}, {"table_name", Kind::Str}},
                                "The query listing the columns of `table_name` in order: column_name, data_type "
                                "and is_nullable."};
const native::Signature kQuote{
    "quote_identifier", {{"self"}, {"identifier", Kind::Str}}, "`identifier` as the dialect writes it into SQL."};
const native::Signature kPaginate{"add_pagination",
                                  {{"self"}, {"query", Kind::Str}, {"limit", Kind::OptInt}, {"offset", Kind::OptInt}},
                                  "`query` limited to `limit` rows after skipping `offset` (None: no bound)."};

py::object declare_base(py::module_& m) {
  return native::ClassBuilder(m, "DBQueryBuilder", py::make_tuple(m.attr("ABC")))
      .doc("Abstract base class for database-specific query builders")
      .method<&init<kBase>>(kInit)
      .method<&validate_custom_query<kBase>>(kValidate)
      .method<&build_select_query>(
          {"build_select_query",
           {{"self"},
            {"table", Kind::Str},
            {"filters", Kind::OptList, kNone},
            {"sorting", Kind::Any, kNone},
            {"limit", Kind::OptInt, kNone},
            {"offset", Kind::OptInt, kNone}},
           "SELECT every column of `table` with the filters (values as :filter_value_N parameters), the sort "
           "order and the page; returns the SQL text and the parameters."})
      .attr("build_schema_query", native::abstract_instance_method<&build_schema_query<kBase>>(m, kSchema))
      .method<&quote_identifier<kBase>>(kQuote)
      .method<&get_operator>(
          {"get_operator", {{"self"}, {"match_type"}}, "The SQL comparison operator of a match type."})
      .method<&add_pagination<Paging::LimitOffset>>(kPaginate)
      .build();
}

// A dialect's class: its constructor, custom-query check and column listing,
// and its own pagination and quoting where its row differs from the base's.
template <std::size_t D>
py::object declare_dialect(py::module_& m, const py::object& base) {
  constexpr Dialect d = kDialects[D];
  native::ClassBuilder builder(m, d.class_name, py::make_tuple(base));
  builder.template method<&init<D>>(kInit).template method<&validate_custom_query<D>>(kValidate);
  builder.template method<&build_schema_query<D>>(kSchema);
  if constexpr (d.paging != Paging::LimitOffset) builder.template method<&add_pagination<d.paging>>(kPaginate);
  if constexpr (d.open_quote != d.close_quote) builder.template method<&quote_identifier<D>>(kQuote);
  return builder.build();
}

State declare_builders(py::module_& m) {
  State s;
  s.classes[kBase] = declare_base(m);
  s.classes[1] = declare_dialect<1>(m, s.classes[kBase]);
  s.classes[2] = declare_dialect<2>(m, s.classes[kBase]);
  s.classes[3] = declare_dialect<3>(m, s.classes[kBase]);
  s.classes[4] = declare_dialect<4>(m, s.classes[kBase]);
  for (std::size_t d = 0; d < kDialects.size(); ++d) m.attr(kDialects[d].class_name) = s.classes[d];
  m.attr("TiberoQueryBuilder") = native::ClassBuilder(m, "TiberoQueryBuilder", py::make_tuple(s.classes[4]))
                                     .doc("Tibero uses Oracle-compatible syntax")
                                     .build();
  return s;
}

py::object declare_factory(py::module_& m) {
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
      .classmethod<&get_builder>({"get_builder",
                                  {{"cls"}, {"db_type"}},
                                  "A new query builder for `db_type`; ValueError when none exists for it."})
      .build();
}

}  // namespace

PYBIND11_MODULE(brinwell, m) {
  bind_imported_names(m);
  state_storage.call_once_and_store_result([&m] {
    State s = declare_builders(m);
    s.match_types = m.attr("InferenceDatabaseRecordsMatchType");
    for (std::size_t i = 0; i < kOperators.size(); ++i) {
      s.members[i] = s.match_types.attr(kOperators[i].first);
      s.operator_texts[i] = native::owned(PyUnicode_InternFromString(kOperators[i].second));
    }
    return s;
  });
  m.attr("ConcreteQueryBuilder") = m.attr(
      "Union")[py::make_tuple(m.attr("PostgreSQLQueryBuilder"), m.attr("MySQLQueryBuilder"),
                              m.attr("OracleQueryBuilder"), m.attr("MSSQLQueryBuilder"), m.attr("TiberoQueryBuilder"))];
  m.attr("BuilderType") = m.attr("Type")[m.attr("ConcreteQueryBuilder")];
  m.attr("DBQueryBuilderFactory") = declare_factory(m);
}
