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
#include <utility>

#include "velora_native/classes.hpp"
#include "velora_native/errors.hpp"
#include "velora_native/function.hpp"
#include "velora_native/objects.hpp"

namespace native = velora::native;
namespace py = pybind11;
using native::interned;
using native::Kind;
using native::kNone;
using native::truthy;
using native::utf8;
using namespace std::string_view_literals;

namespace {

// Oracle's reserved words. Written bare, one would be read as the keyword,
// pseudo-column or function it names (`WHERE user = ...` compares the
// session's user; `FROM select` does not parse), so none is a bare name.
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
constexpr std::array<const char*, 3> kMeasureNames = {"bytes", "characters", "UTF-16 code units"};
enum class Paging : unsigned char { LimitOffset, OffsetFetch, RowNum };

// How one dialect differs. A name beyond its limits would be refused by the
// server, or, in PostgreSQL, which cuts a long name to its first 63 bytes,
// address another table; so it is refused before any text is written.
struct Dialect {
  const char* class_name;
  const char* name = "";             // as messages name the dialect
  std::string_view quotes = "\"\"";  // opening (identifier_quote) and closing quote; empty: names are written bare
  bool limit_offset = true;          // supports_limit_offset
  bool ilike = false;                // use_ilike: the substring match is ILIKE
  std::size_t longest_name = 0;      // 0: any length; a bare dialect's limit holds for each dotted part
  Measure measure = Measure::Bytes;
  bool bmp_only = false;           // no character beyond U+FFFF
  bool no_trailing_space = false;  // no space, tab, line feed, vertical tab, form feed or carriage return at the end
  std::span<const std::string_view> reserved_words = {};  // never written bare; sorted, upper case
  // What a bare name may hold besides letters and digits. Only Oracle takes "#": MySQL reads it
  // as the start of a comment, PostgreSQL as an operator.
  std::string_view name_symbols = "_$";
  Paging paging = Paging::LimitOffset;
  std::string_view max_rows = {};  // the LIMIT written before an OFFSET alone, which needs one
  // The column listing, "{}" standing for the table name. Each keeps to the
  // current schema (database, owner), where an unqualified select reads.
  std::string_view columns = {};
  std::string_view literal_escapes = "'";  // written twice in the listing's string literal

  constexpr std::string_view open() const { return quotes.substr(0, quotes.size() / 2); }
  constexpr std::string_view close() const { return quotes.substr(quotes.size() / 2); }
};

constexpr std::size_t kBase = 0;
constexpr std::size_t kOracle = 4;
constexpr auto kDialects = std::to_array<Dialect>({
    {.class_name = "DBQueryBuilder"},
    {.class_name = "PostgreSQLQueryBuilder",
     .name = "PostgreSQL",
     .ilike = true,
     .longest_name = 63,
     .columns = "\n            SELECT column_name, data_type, is_nullable\n"
                "            FROM information_schema.columns\n"
                "            WHERE table_name = '{}'\n"
                "            AND table_schema = current_schema()\n"
                "            ORDER BY ordinal_position\n        "},
    // MySQL literals read a backslash as an escape, so it is doubled too.
    {.class_name = "MySQLQueryBuilder",
     .name = "MySQL",
     .quotes = "``",
     .longest_name = 64,
     .measure = Measure::Characters,
     .bmp_only = true,
     .no_trailing_space = true,
     .max_rows = "18446744073709551615",
     .columns = "\n            SELECT column_name, data_type,\n"
                "                   IF(is_nullable = 'YES', 'true', 'false') as is_nullable\n"
                "            FROM information_schema.columns\n"
                "            WHERE table_name = '{}'\n"
                "            AND table_schema = DATABASE()\n"
                "            ORDER BY ordinal_position\n        ",
     .literal_escapes = "'\\"},
    // Upper-case catalog names, so that a database with a case-sensitive
    // collation resolves them too; N'' since catalog names are nvarchar.
    {.class_name = "MSSQLQueryBuilder",
     .name = "SQL Server",
     .quotes = "[]",
     .longest_name = 128,
     .measure = Measure::Utf16Units,
     .paging = Paging::OffsetFetch,
     .columns = "\n            SELECT COLUMN_NAME AS column_name, DATA_TYPE AS data_type,\n"
                "                   CASE WHEN IS_NULLABLE = 'YES' THEN 'true' ELSE 'false' END AS is_nullable\n"
                "            FROM INFORMATION_SCHEMA.COLUMNS\n"
                "            WHERE TABLE_NAME = N'{}'\n"
                "            AND TABLE_SCHEMA = SCHEMA_NAME()\n"
                "            ORDER BY ORDINAL_POSITION\n        "},
    {.class_name = "OracleQueryBuilder",
     .name = "Oracle",
     .quotes = "",
     .limit_offset = false,
     .longest_name = 128,
     .reserved_words = kOracleReservedWords,
     .name_symbols = "_$#",
     .paging = Paging::RowNum,
     .columns = "\n            SELECT\n"
                "                column_name,\n"
                "                data_type,\n"
                "                CASE\n"
                "                    WHEN nullable = 'Y' THEN 'true'\n"
                "                    ELSE 'false'\n"
                "                END as is_nullable\n"
                "            FROM all_tab_columns\n"
                "            WHERE table_name = UPPER('{}')\n"
                "            AND owner = SYS_CONTEXT('USERENV', 'CURRENT_SCHEMA')\n"
                "            ORDER BY column_id\n        "},
});

// get_operator's table: match-type member names and their operators.
constexpr auto kOperators = std::to_array<std::pair<const char*, const char*>>(
    {{"eq", "="}, {"ne", "!="}, {"gt", ">"}, {"lt", "<"}, {"gte", ">="}, {"lte", "<="}, {"like", "LIKE"}});
constexpr std::size_t kLike = 6;

// The class of each row, for the super() calls of its methods and for
// finding the row of a builder; the match-type enumeration as loaded, its
// members in table order and their operators.
struct State {
  std::array<py::object, kDialects.size()> classes;
  py::object match_types;
  std::array<py::object, kOperators.size()> members;
  std::array<py::object, kOperators.size()> operators;
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

constexpr native::Signature kInit{"__init__", {{"self"}}};
constexpr native::Signature kValidate{
    "validate_custom_query", {{"self"}, {"query", Kind::Str}}, "Whether a hand-written query's quotes balance."};
constexpr native::Signature kSelect{"build_select_query",
                                    {{"self"},
                                     {"table", Kind::Str},
                                     {"filters", Kind::OptList, kNone},
                                     {"sorting", Kind::Any, kNone},
                                     {"limit", Kind::OptInt, kNone},
                                     {"offset", Kind::OptInt, kNone}},
                                    "The SQL text and the :filter_value_N parameters of a page of `table`."};
constexpr native::Signature kSchema{
    "build_schema_query", {{"self"}, {"table_name", Kind::Str}}, "The query listing the columns of `table_name`."};
constexpr native::Signature kQuote{
    "quote_identifier", {{"self"}, {"identifier", Kind::Str}}, "`identifier` as the dialect writes it into SQL."};
constexpr native::Signature kOperator{
    "get_operator", {{"self"}, {"match_type"}}, "The SQL comparison operator of a match type."};
constexpr native::Signature kPaginate{
    "add_pagination", {{"self"}, {"query", Kind::Str}, {"limit", Kind::OptInt}, {"offset", Kind::OptInt}}};
constexpr native::Signature kGetBuilder{
    "get_builder", {{"cls"}, {"db_type"}}, "A new query builder for `db_type`; ValueError when none exists for it."};

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

// `text` with a to z in upper case.
std::string upper_case(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  return upper;
}

// text.count(what): non-overlapping occurrences.
std::size_t occurrences(py::handle text, std::string_view what) {
  const Py_ssize_t count = PyUnicode_Count(text.ptr(), py::str(what).ptr(), 0, PY_SSIZE_T_MAX);
  if (count < 0) throw py::error_already_set();
  return static_cast<std::size_t>(count);
}

// The decimal text of an int of any size.
std::string decimal(py::handle integer) {
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return overflow == 0 ? std::to_string(value) : std::string(utf8(text_of(integer)));
}

// self.<Name>(*args), looked up on the object at every call.
template <native::Literal Name, typename... Args>
py::object call_method(py::handle self, Args... args) {
  std::array<PyObject*, sizeof...(Args) + 1> argv{self.ptr(), py::handle(args).ptr()...};
  return native::owned(PyObject_VectorcallMethod(interned<Name>(), argv.data(), argv.size(), nullptr));
}

// super(<class of row D>, self).<Name>(*args): how a dialect's method
// reaches its base. super() reads a None `self` as no object at all, and the
// unbound super it makes would answer with its own attribute, so None is
// refused as super refuses any other object that is no instance of the class.
template <native::Literal Name, typename... Args>
py::object call_super(std::size_t dialect, py::handle self, Args... args) {
  if (self.is_none()) native::raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
  const py::object bound = native::owned(PyObject_CallFunctionObjArgs(
      reinterpret_cast<PyObject*>(&PySuper_Type), state().classes[dialect].ptr(), self.ptr(), nullptr));
  return native::attr<Name>(bound)(args...);
}

// A name that is safe to write unquoted: dot-separated parts, each a letter
// followed by letters, digits and the dialect's name symbols.
bool is_plain_identifier(const Dialect& d, py::handle identifier) {
  bool part_start = true;
  for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(identifier.ptr()); ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(identifier.ptr(), i);
    const bool in_name = Py_UNICODE_ISALNUM(c) || (c < 0x80 && d.name_symbols.find(char(c)) != std::string_view::npos);
    if (c == '.' ? part_start : !(part_start ? Py_UNICODE_ISALPHA(c) : in_name)) return false;
    part_start = c == '.';
  }
  return !part_start;
}

// ValueError: `problem` (a format for `args`), then ": identifier=" and the identifier's repr.
template <typename... Args>
[[noreturn]] void refuse(py::handle identifier, const std::string& problem, Args... args) {
  native::raise(PyExc_ValueError, (problem + ": identifier=%R").c_str(), args..., identifier.ptr());
}

// Refuses a name (or a dotted part, `subject`) beyond the dialect's length.
// In UTF-8 a character is a byte that does not continue another, and one
// beyond U+FFFF (a 4-byte lead) is two UTF-16 units.
void refuse_longer(const Dialect& d, std::string_view text, py::handle identifier, const char* subject) {
  const auto count = [text](auto test) { return std::size_t(std::count_if(text.begin(), text.end(), test)); };
  std::size_t size = text.size();
  if (d.measure != Measure::Bytes) size = count([](unsigned char c) { return (c & 0xC0) != 0x80; });
  if (d.measure == Measure::Utf16Units) size += count([](unsigned char c) { return c >= 0xF0; });
  if (d.longest_name == 0 || size <= d.longest_name) return;
  refuse(identifier, "%s longer than the %zu %s %s takes", subject, d.longest_name,
         kMeasureNames[static_cast<std::size_t>(d.measure)], d.name);
}

void refuse_nul(std::string_view text, py::handle identifier) {
  if (text.find('\0') != std::string_view::npos) refuse(identifier, "Identifier must not contain NUL characters");
}

// A name to be written between quotes: not empty, no NUL, within the dialect's limits.
void check_quoted_name(const Dialect& d, std::string_view text, py::handle identifier) {
  if (text.empty()) refuse(identifier, "Identifier must not be empty");
  refuse_nul(text, identifier);
  if (d.bmp_only && std::any_of(text.begin(), text.end(), [](unsigned char c) { return c >= 0xF0; })) {
    refuse(identifier, "Identifier has a character beyond U+FFFF, which %s does not take in names", d.name);
  }
  if (d.no_trailing_space && " \t\n\v\f\r"sv.find(text.back()) != std::string_view::npos) {
    refuse(identifier, "Identifier ends with a space character, which %s does not take in names", d.name);
  }
  refuse_longer(d, text, identifier, "Identifier is");
}

// A name to be written bare: plain, each dotted part within the limits and no reserved word.
void check_bare_name(const Dialect& d, std::string_view text, py::handle identifier) {
  if (!is_plain_identifier(d, identifier)) {
    std::string allowed = "letters, digits";
    for (std::size_t i = 0; i < d.name_symbols.size(); ++i) {
      allowed.append(i + 1 == d.name_symbols.size() ? " and " : ", ").push_back(d.name_symbols[i]);
    }
    refuse(identifier,
           "Identifier cannot be written unquoted: it must be dot-separated names of %s, each starting with a letter",
           allowed.c_str());
  }
  for (std::string_view rest = text; !rest.empty();) {
    const std::string_view part = rest.substr(0, rest.find('.'));
    refuse_longer(d, part, identifier, "Identifier has a part");
    if (std::binary_search(d.reserved_words.begin(), d.reserved_words.end(), upper_case(part))) {
      refuse(identifier, "Identifier cannot be written unquoted: %s is a reserved word, which %s reads as SQL",
             std::string(part).c_str(), d.name);
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

// The base pages by LIMIT and OFFSET when supports_limit_offset is true;
// SQL Server by OFFSET and FETCH, which it takes only after an OFFSET;
// Oracle by a ROWNUM window, only with both a limit and an offset. The
// caller's text is joined as a str, never re-encoded.
template <Paging P>
py::object add_pagination(const native::Call<kPaginate>& call) {
  const py::handle query = call.arg<"query">();
  const py::handle limit = call.arg<"limit">();
  const py::handle offset = call.arg<"offset">();
  std::string tail;
  if constexpr (P == Paging::LimitOffset) {
    if (!truthy(native::attr<"supports_limit_offset">(call.arg<"self">()))) return native::borrowed(query);
    const std::string_view max_rows = dialect_of(call.arg<"self">()).max_rows;
    if (!limit.is_none() || (!offset.is_none() && !max_rows.empty())) {
      tail.append(" LIMIT "sv).append(limit.is_none() ? std::string(max_rows) : decimal(limit));
    }
    if (!offset.is_none()) tail.append(" OFFSET "sv).append(decimal(offset));
  } else if constexpr (P == Paging::OffsetFetch) {
    if (!offset.is_none() || !limit.is_none()) {
      tail.append(" OFFSET "sv).append(offset.is_none() ? std::string("0") : decimal(offset)).append(" ROWS"sv);
    }
    if (!limit.is_none()) tail.append(" FETCH NEXT "sv).append(decimal(limit)).append(" ROWS ONLY"sv);
  } else {
    if (limit.is_none() || offset.is_none()) return native::borrowed(query);
    const py::object bound = native::owned(PyNumber_Add(offset.ptr(), limit.ptr()));
    return native::owned(PyUnicode_FromFormat(
        "\n                SELECT * FROM (\n                    SELECT a.*, ROWNUM rnum FROM (\n"
        "                        %U\n                    ) a WHERE ROWNUM <= %s\n                ) WHERE rnum > %s\n"
        "            ",
        query.ptr(), decimal(bound).c_str(), decimal(offset).c_str()));
  }
  return tail.empty() ? native::borrowed(query) : query + py::str(tail);
}

void append_identifier(std::string& sql, py::handle self, py::handle name) {
  sql.append(utf8(text_of(call_method<"quote_identifier">(self, name))));
}

void append_where(std::string& sql, py::dict& parameters, const native::Call<kSelect>& call) {
  const py::handle self = call.arg<"self">();
  const py::handle filters = call.arg<"filters">();
  if (filters.is_none() || PyList_GET_SIZE(filters.ptr()) == 0) return;
  const py::object match_types = call.global<"InferenceDatabaseRecordsMatchType">();
  const py::object like =
      match_types.is(state().match_types) ? state().members[kLike] : native::attr<"like">(match_types);
  sql.append(" WHERE "sv);
  for (const py::handle filter : filters) {
    if (parameters.size() > 0) sql.append(" AND "sv);
    const std::string name = "filter_value_" + std::to_string(parameters.size());
    const py::object value = native::attr<"match_value">(filter);
    const py::object match_type = native::attr<"match_type">(filter);
    std::string operator_text;
    if (match_type.equal(like)) {
      const py::handle percent = interned<"%">();
      parameters[py::str(name)] = percent + text_of(value) + percent;
      operator_text = truthy(native::attr<"use_ilike">(self)) ? "ILIKE" : "LIKE";
    } else {
      parameters[py::str(name)] = value;
      operator_text = utf8(text_of(call_method<"get_operator">(self, match_type)));
    }
    append_identifier(sql, self, native::attr<"column_name">(filter));
    sql.append(" "sv).append(operator_text).append(" :"sv).append(name);
  }
}

// ORDER BY the sorts (a single record is a list of one); whether one was written.
bool append_order_by(std::string& sql, const native::Call<kSelect>& call) {
  const py::handle sorting = call.arg<"sorting">();
  if (sorting.is_none()) return false;
  const bool single = py::isinstance(sorting, call.global<"InferenceDatabaseRecordsSorting">());
  const py::object sorts = single ? py::make_tuple(sorting) : native::borrowed(sorting);
  bool written = false;
  for (const py::handle sort : truthy(sorts) ? sorts : py::tuple()) {
    sql.append(written ? ", "sv : " ORDER BY "sv);
    append_identifier(sql, call.arg<"self">(), native::attr<"column_name">(sort));
    const py::object direction = native::attr<"value">(native::attr<"order_type">(sort));
    const py::object text = text_of(direction);
    if (const std::string upper = upper_case(utf8(text)); upper != "ASC" && upper != "DESC") {
      native::raise(PyExc_ValueError, "Sort direction must be ASC or DESC: order_type.value=%R", direction.ptr());
    }
    sql.append(" "sv).append(utf8(text));
    written = true;
  }
  return written;
}

py::object build_select_query(const native::Call<kSelect>& call) {
  const py::handle self = call.arg<"self">();
  const py::handle limit = call.arg<"limit">();
  const py::handle offset = call.arg<"offset">();
  std::string sql;
  sql.reserve(256);
  sql.append("SELECT * FROM "sv);
  append_identifier(sql, self, call.arg<"table">());
  py::dict parameters;
  append_where(sql, parameters, call);
  const bool sorted = append_order_by(sql, call);
  // SQL Server takes OFFSET only after ORDER BY.
  const bool paged = !limit.is_none() || !offset.is_none();
  if (paged && !sorted && dialect_of(self).paging == Paging::OffsetFetch) sql.append(" ORDER BY (SELECT NULL)"sv);
  py::object text = call_method<"add_pagination">(self, py::str(sql), limit, offset);
  return py::make_tuple(std::move(text), std::move(parameters));
}

// The base's constructor sets the three fields; a dialect's runs its base's
// first and then sets the fields that differ.
template <std::size_t D>
py::object init(const native::Call<kInit>& call) {
  const py::handle self = call.arg<"self">();
  const Dialect& d = kDialects[D];
  const Dialect& base = kDialects[kBase];
  if constexpr (D != kBase) call_super<"__init__">(D, self);
  if (D == kBase || d.open() != base.open()) py::setattr(self, interned<"identifier_quote">(), py::str(d.open()));
  if (D == kBase || d.limit_offset != base.limit_offset) {
    py::setattr(self, interned<"supports_limit_offset">(), py::bool_(d.limit_offset));
  }
  if (D == kBase || d.ilike != base.ilike) py::setattr(self, interned<"use_ilike">(), py::bool_(d.ilike));
  return py::none();
}

// The base counts its identifier_quote; a dialect's check runs its base's
// first and then balances its own quotes: an even number of one quote
// character, or as many openings as closings.
template <std::size_t D>
py::object validate_custom_query(const native::Call<kValidate>& call) {
  const py::handle query = call.arg<"query">();
  if constexpr (D == kBase) {
    const py::object quote = text_of(native::attr<"identifier_quote">(call.arg<"self">()));
    return py::bool_(utf8(quote).empty() || occurrences(query, utf8(quote)) % 2 == 0);
  } else {
    const Dialect& d = kDialects[D];
    if (!truthy(call_super<"validate_custom_query">(D, call.arg<"self">(), query))) return py::bool_(false);
    const std::size_t opened = d.open().empty() ? 0 : occurrences(query, d.open());
    return py::bool_(d.open() == d.close() ? opened % 2 == 0 : opened == occurrences(query, d.close()));
  }
}

// A bare dialect's listing takes any text to UPPER(); the others refuse a
// name they cannot hold, as a select does, since the catalog would match
// another table (PostgreSQL compares the literal cut to 63 bytes; MySQL
// ignores trailing spaces).
template <std::size_t D>
py::object build_schema_query(const native::Call<kSchema>& call) {
  if constexpr (D == kBase) native::raise(PyExc_NotImplementedError, "Subclass must implement build_schema_query");
  const Dialect& d = kDialects[D];
  const std::string_view table_name = utf8(call.arg<"table_name">());
  if (d.open().empty()) refuse_nul(table_name, call.arg<"table_name">());
  if (!d.open().empty()) check_quoted_name(d, table_name, call.arg<"table_name">());
  const std::size_t at = d.columns.find("{}");
  std::string out(d.columns.substr(0, at));
  for (const char c : table_name) {
    if (d.literal_escapes.find(c) != std::string_view::npos) out += c;
    out += c;
  }
  return py::str(out.append(d.columns.substr(at + 2)));
}

// The base writes identifier_quote on both sides; a dialect with a pair of
// quotes writes its own.
template <std::size_t D>
py::object quote_identifier(const native::Call<kQuote>& call) {
  if constexpr (D == kBase) {
    const py::object quote = text_of(native::attr<"identifier_quote">(call.arg<"self">()));
    return quoted(dialect_of(call.arg<"self">()), call.arg<"identifier">(), utf8(quote), utf8(quote));
  } else {
    return quoted(kDialects[D], call.arg<"identifier">(), kDialects[D].open(), kDialects[D].close());
  }
}

// The table is built afresh from the enumeration read now. Members cannot
// be reassigned, so while that is the enumeration loaded, its members are
// known; anything else is looked up in the table.
py::object get_operator(const native::Call<kOperator>& call) {
  const py::object match_types = call.global<"InferenceDatabaseRecordsMatchType">();
  const py::handle match_type = call.arg<"match_type">();
  for (std::size_t i = 0; i < kOperators.size() && match_types.is(state().match_types); ++i) {
    if (match_type.is(state().members[i])) return state().operators[i];
  }
  py::dict table;
  for (std::size_t i = 0; i < kOperators.size(); ++i)
    table[match_types.attr(kOperators[i].first)] = kOperators[i].second;
  return native::owned(PyObject_GetItem(table.ptr(), match_type.ptr()));
}

py::object get_builder(const native::Call<kGetBuilder>& call) {
  const py::object found = native::attr<"_builders">(call.arg<"cls">()).attr("get")(call.arg<"db_type">());
  if (found.is_none()) native::raise(PyExc_ValueError, "Unsupported database type: %S", call.arg<"db_type">().ptr());
  return found();
}

py::object declare_base(py::module_& m) {
  return native::ClassBuilder(m, "DBQueryBuilder", py::make_tuple(m.attr("ABC")))
      .doc("Abstract base class for database-specific query builders")
      .method<&init<kBase>>()
      .method<&validate_custom_query<kBase>>()
      .method<&build_select_query>()
      .method<&build_schema_query<kBase>>(PyInstanceMethod_New, true)
      .method<&quote_identifier<kBase>>()
      .method<&get_operator>()
      .method<&add_pagination<Paging::LimitOffset>>()
      .build();
}

// A dialect's class: its constructor, custom-query check and column listing,
// and its own pagination and quoting where its row differs from the base's.
template <std::size_t D>
py::object declare_dialect(py::module_& m, const py::object& base) {
  constexpr Dialect d = kDialects[D];
  native::ClassBuilder builder(m, d.class_name, py::make_tuple(base));
  builder.template method<&init<D>>().template method<&validate_custom_query<D>>();
  builder.template method<&build_schema_query<D>>();
  if constexpr (d.paging != Paging::LimitOffset) builder.template method<&add_pagination<d.paging>>();
  if constexpr (d.open() != d.close()) builder.template method<&quote_identifier<D>>();
  return builder.build();
}

State declare_builders(py::module_& m) {
  State s;
  s.classes[kBase] = declare_base(m);
  // Every row after the base's is a dialect with a class of its own.
  [&]<std::size_t... D>(std::index_sequence<D...>) {
    ((s.classes[D + 1] = declare_dialect<D + 1>(m, s.classes[kBase])), ...);
  }
  (std::make_index_sequence<kDialects.size() - 1>());
  for (std::size_t d = 0; d < kDialects.size(); ++d) m.attr(kDialects[d].class_name) = s.classes[d];
  m.attr("TiberoQueryBuilder") = native::ClassBuilder(m, "TiberoQueryBuilder", py::make_tuple(s.classes[kOracle]))
                                     .doc("Tibero uses Oracle-compatible syntax")
                                     .build();
  s.match_types = m.attr("InferenceDatabaseRecordsMatchType");
  for (std::size_t i = 0; i < kOperators.size(); ++i) {
    s.members[i] = s.match_types.attr(kOperators[i].first);
    s.operators[i] = native::owned(PyUnicode_InternFromString(kOperators[i].second));
  }
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
  // The union of the concrete builders, in the table's order.
  m.attr("ConcreteQueryBuilder") = m.attr("Union")[py::tuple(builders.attr("values")())];
  m.attr("BuilderType") = m.attr("Type")[m.attr("ConcreteQueryBuilder")];
  const py::object table_type = m.attr("Dict")[py::make_tuple(database_type, m.attr("BuilderType"))];
  return native::ClassBuilder(m, "DBQueryBuilderFactory", py::tuple())
      .doc("Factory for creating database-specific query builders")
      .annotate("_builders", table_type)
      .attr("_builders", builders)
      .method<&get_builder>(PyClassMethod_New)
      .build();
}

}  // namespace

VELORA_MODULE(brinwell, m, "Parameterised SQL query builders for the inference records of five database dialects.") {
  native::bind_from(m, "abc", {"ABC", "abstractmethod"});
  native::bind_from(m, "typing", {"Any", "Dict", "List", "Optional", "Tuple", "Type", "Union"});
  native::bind_from(
      m, "velora.inference_services.schemas",
      {"InferenceDatabaseRecordsFilter", "InferenceDatabaseRecordsMatchType", "InferenceDatabaseRecordsSorting"});
  native::bind_from(m, "velora.common.schemas", {"DatabaseType"});
  state_storage.call_once_and_store_result([&m] { return declare_builders(m); });
  m.attr("DBQueryBuilderFactory") = declare_factory(m);
}
