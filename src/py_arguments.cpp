#include "py_arguments.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "text.hpp"

namespace kelvane::lib {

namespace {

// Prefixes the pending TypeError or OverflowError with the parameter name.
void name_argument_error(const char* param) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  // only the plain conversion errors are renamed; a UnicodeEncodeError (a
  // str holding lone surrogates) stays as it is
  if (type != PyExc_TypeError && type != PyExc_OverflowError && type != PyExc_ValueError) {
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
  if (text) {
    PyErr_Format(type, "argument '%s': %U", param, text.get());
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  } else {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
  }
}

bool is_absent(PyObject* o) { return o == nullptr || o == Py_None; }

// The UTF-8 text of a str; a str that has none (lone surrogates) fails
// naming the argument.
// The UTF-8 text of a str, as the str holds it (valid while the str lives).
bool utf8_view_of(PyObject* str, const char* param, std::string_view& out) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (s == nullptr) {
    name_argument_error(param);
    return false;
  }
  out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool utf8_of(PyObject* str, const char* param, std::string& out) {
  std::string_view view;
  if (!utf8_view_of(str, param, view)) return false;
  out.assign(view);
  return true;
}

bool check_str(PyObject* o, const char* param) {
  if (PyUnicode_Check(o)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got '%s'", param, type_name(o));
  return false;
}

bool to_text(PyObject* o, const char* param, std::string& out) {
  return check_str(o, param) && utf8_of(o, param, out);
}

bool to_opt_text(PyObject* o, const char* param, std::optional<std::string>& out) {
  if (is_absent(o)) return true;
  std::string s;
  if (!to_text(o, param, s)) return false;
  out = std::move(s);
  return true;
}

bool to_opt_text_list(PyObject* o, const char* param, std::optional<std::vector<std::string>>& out) {
  if (is_absent(o)) return true;
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str is not accepted as a sequence of str",
                 param);
    return false;
  }
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got '%s'", param,
                 type_name(o));
    return false;
  }
  PyRef seq(PySequence_Fast(o, ""));
  if (!seq) {
    name_argument_error(param);
    return false;
  }
  Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  std::vector<std::string> v;
  v.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': item %zd: expected str, got '%s'", param, i,
                   type_name(item));
      return false;
    }
    if (!utf8_of(item, param, v.emplace_back())) return false;
  }
  out = std::move(v);
  return true;
}

bool to_unsigned(PyObject* o, const char* param, std::size_t& out) {
  if (is_absent(o)) return true;
  if (PyFloat_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected int, got '%s'", param, type_name(o));
    return false;
  }
  PyRef index(PyNumber_Index(o));
  if (!index) {
    name_argument_error(param);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_argument_error(param);
    return false;
  }
  out = static_cast<std::size_t>(v);
  return true;
}

bool to_bool(PyObject* o, const char* param, bool& out) {
  if (is_absent(o)) return true;
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got '%s'", param, type_name(o));
    return false;
  }
  out = o == Py_True;
  return true;
}

bool to_opt_float(PyObject* o, const char* param, std::optional<double>& out) {
  if (is_absent(o)) return true;
  if (PyUnicode_Check(o) || PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected float, got '%s'", param, type_name(o));
    return false;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    name_argument_error(param);
    return false;
  }
  out = v;
  return true;
}

bool to_opt_index_map(PyObject* o, const char* param,
                      std::optional<std::vector<std::pair<std::string, std::size_t>>>& out) {
  if (is_absent(o)) return true;
  if (!PyDict_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected dict, got '%s'", param, type_name(o));
    return false;
  }
  std::vector<std::pair<std::string, std::size_t>> v;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(o, &pos, &key, &value)) {
    std::string k;
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': key expected str, got '%s'", param,
                   type_name(key));
      return false;
    }
    if (!to_text(key, param, k)) return false;
    if (value == Py_None) {
      PyErr_Format(PyExc_TypeError, "argument '%s': value expected int, got 'NoneType'", param);
      return false;
    }
    std::size_t index = 0;
    if (!to_unsigned(value, param, index)) return false;
    v.emplace_back(std::move(k), index);
  }
  out = std::move(v);
  return true;
}

// Reads `n` bytes at `offset` of the file into `p`: how many it could read
// (fewer at the end of the file); the error number on failure.
std::expected<std::size_t, int> read_at(int fd, char* p, std::size_t n, off_t offset) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, p + got, n - got, offset + static_cast<off_t>(got));
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

// Large files are read and checked in two halves at once: the copy out of
// the page cache and the pages it fills cost about as much as the scan of
// the program that follows.
constexpr std::size_t kReadInHalvesFrom = std::size_t{8} << 20;

// Reads the first `n` bytes of the file into `p`, in two halves at once when
// they are many: how many it could read, or the error number.
std::expected<std::size_t, int> read_start(int fd, char* p, std::size_t n) {
  if (n < kReadInHalvesFrom) return read_at(fd, p, n, 0);
  const std::size_t half = n / 2;
  std::expected<std::size_t, int> second = 0;
  std::thread other([&] { second = read_at(fd, p + half, n - half, static_cast<off_t>(half)); });
  const std::expected<std::size_t, int> first = read_at(fd, p, half, 0);
  other.join();
  if (!first) return first;
  if (!second) return second;
  // a file that shrank meanwhile: what was read of its second half follows
  // the first only when the first is whole
  return *first < half ? *first : half + *second;
}

// Whether the text is UTF-8, checked in two halves at once when it is large:
// the cut is moved to the start of a character.
bool valid_utf8_text(std::string_view text) {
  if (text.size() < kReadInHalvesFrom) return text::valid_utf8(text);
  std::size_t cut = text.size() / 2;
  for (int i = 0; i < 3 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80; ++i) ++cut;
  bool second = true;
  std::thread other([&] { second = text::valid_utf8(text.substr(cut)); });
  const bool first = text::valid_utf8(text.substr(0, cut));
  other.join();
  return first && second;
}

// Reads a whole program file; the error text on failure.
std::expected<std::string, std::string> read_program_file(const std::string& path) {
  if (path.find('\0') != std::string::npos)
    return std::unexpected(std::string("file name contained an unexpected NUL byte"));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error_text(errno));
  std::string text;
  struct stat st {};
  int read_error = 0;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // a regular file is read straight into the text, which is not filled first
    text.resize_and_overwrite(static_cast<std::size_t>(st.st_size), [&](char* p, std::size_t n) {
      const std::expected<std::size_t, int> got = read_start(fd, p, n);
      if (!got) {
        read_error = got.error();
        return std::size_t{0};
      }
      return *got;
    });
    if (read_error != 0) {
      ::close(fd);
      return std::unexpected(os_error_text(read_error));
    }
    // the rest is read from where the text ends
    if (::lseek(fd, static_cast<off_t>(text.size()), SEEK_SET) < 0) {
      const int err = errno;
      ::close(fd);
      return std::unexpected(os_error_text(err));
    }
  }
  // the rest: a file without a size, or one that grew meanwhile
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return std::unexpected(os_error_text(err));
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!valid_utf8_text(text)) return std::unexpected(std::string("stream did not contain valid UTF-8"));
  return text;
}

// One keyword: the converter of its value into the field it fills.
struct Param {
  const char* keyword;
  bool (*convert)(PyObject* value, const char* keyword, CallArgs& out);
};

bool to_input(PyObject* o, const char* param, CallArgs& a) {
  if (!PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got '%s'", param, type_name(o));
    return false;
  }
  a.input = o;
  return true;
}

// Every keyword of both functions.
constexpr Param kParams[] = {
    {"input", to_input},
    {"batch_size",
     [](PyObject* o, const char* k, CallArgs& a) { return to_unsigned(o, k, a.batch.batch_size); }},
    {"initial_state",
     [](PyObject* o, const char* k, CallArgs& a) { return to_opt_text(o, k, a.run.initial_state); }},
    {"axis_identifiers",
     [](PyObject* o, const char* k, CallArgs& a) {
       return to_opt_text_list(o, k, a.run.axis_identifiers);
     }},
    {"extra_axes",
     [](PyObject* o, const char* k, CallArgs& a) { return to_opt_text_list(o, k, a.run.extra_axes); }},
    {"iteration_limit",
     [](PyObject* o, const char* k, CallArgs& a) { return to_unsigned(o, k, a.run.iteration_limit); }},
    {"forward_fill", [](PyObject* o, const char* k, CallArgs& a) { return to_bool(o, k, a.forward_fill); }},
    {"disable_forward_fill",
     [](PyObject* o, const char* k, CallArgs& a) {
       return to_bool(o, k, a.batch.disable_forward_fill);
     }},
    {"include_variables",
     [](PyObject* o, const char* k, CallArgs& a) { return to_bool(o, k, a.include_variables); }},
    {"axis_index_map",
     [](PyObject* o, const char* k, CallArgs& a) {
       return to_opt_index_map(o, k, a.run.axis_index_map);
     }},
    {"allow_undefined_variables",
     [](PyObject* o, const char* k, CallArgs& a) {
       return to_bool(o, k, a.run.allow_undefined_variables);
     }},
    {"input_is_path", [](PyObject* o, const char* k, CallArgs& a) { return to_bool(o, k, a.input_is_path); }},
    {"flatten_tolerance",
     [](PyObject* o, const char* k, CallArgs& a) {
       return to_opt_float(o, k, a.run.flatten_tolerance);
     }},
    {"include_line_numbers",
     [](PyObject* o, const char* k, CallArgs& a) {
       return to_bool(o, k, a.batch.include_line_numbers);
     }},
};

const Param* find_param(std::string_view keyword) {
  for (const Param& p : kParams)
    if (keyword == p.keyword) return &p;
  return nullptr;
}

// PyArg_ParseTupleAndKeywords takes one output per keyword as C varargs;
// it is always handed this many and reads as many as the format names.
constexpr std::size_t kMaxKeywords = 14;

}  // namespace

bool parse_arguments(const char* function, std::span<const char* const> keywords,
                     PyObject* args, PyObject* kwargs, CallArgs& out) {
  if (keywords.empty() || keywords.size() > kMaxKeywords) {
    PyErr_Format(PyExc_SystemError, "%s: bad keyword list", function);
    return false;
  }
  const char* kwlist[kMaxKeywords + 1] = {};
  char format[kMaxKeywords + 2 + 64] = {};
  std::size_t f = 0;
  for (std::size_t i = 0; i < keywords.size(); ++i) {
    kwlist[i] = keywords[i];
    if (i == 1) format[f++] = '|';
    format[f++] = 'O';
  }
  format[f++] = ':';
  std::strncpy(format + f, function, sizeof format - f - 1);
  PyObject* v[kMaxKeywords] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &v[0],
                                   &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9],
                                   &v[10], &v[11], &v[12], &v[13]))
    return false;
  // in keyword order, so that the first wrong argument is the one reported
  for (std::size_t i = 0; i < keywords.size(); ++i) {
    const Param* p = find_param(keywords[i]);
    if (p == nullptr) {
      PyErr_Format(PyExc_SystemError, "%s: unknown keyword '%s'", function, keywords[i]);
      return false;
    }
    if (v[i] == nullptr) continue;  // not given: the default stays
    if (!p->convert(v[i], p->keyword, out)) return false;
  }
  return true;
}

bool load_program(CallArgs& a) {
  PyObject* input = a.input;
  std::string& out = a.run.program;
  if (!a.input_is_path) {
    // the run reads the str's own text, which the str keeps while it lives
    std::string_view text;
    if (!check_str(input, "input") || !utf8_view_of(input, "input", text)) return false;
    a.run.borrowed_program = state::SourceText{text, keep_alive(input)};
    return true;
  }
  std::string path;
  PyRef encoded(PyUnicode_EncodeFSDefault(input));
  if (!encoded) return false;
  path.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  std::expected<std::string, std::string> text;
  Py_BEGIN_ALLOW_THREADS
  text = read_program_file(path);
  Py_END_ALLOW_THREADS
  if (!text) {
    PyErr_Format(PyExc_ValueError, "Error reading input file '%U': %s", input, text.error().c_str());
    return false;
  }
  out = std::move(*text);
  return true;
}

}  // namespace kelvane::lib
