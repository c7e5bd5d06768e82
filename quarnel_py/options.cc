#include "quarnel_py/options.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "quarnel/quarnel.h"
#include "quarnel_py/guard.h"

namespace quarnel_py {

namespace {

using quarnel::CoderChoice;
using quarnel::CompressionOptions;
using quarnel::CutoffLevel;
using quarnel::WaveletMethod;

// Filled in by options_type(); only the object header is set here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject options_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// The first line is the constructor's text signature; the docstring proper is
// empty.
constexpr char kOptionsDoc[] =
    "QrnlCompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None)\n--\n\n";

template <typename Value>
struct Choice {
  const char* text;
  Value value;
};

constexpr Choice<WaveletMethod> kMethods[] = {
    {"cdf53", WaveletMethod::cdf53},
    {"cdf97", WaveletMethod::cdf97},
    {"db4", WaveletMethod::db4},
    {"sym4", WaveletMethod::sym4},
};
constexpr Choice<CutoffLevel> kCutoffs[] = {
    {"low", CutoffLevel::low},
    {"medium", CutoffLevel::medium},
    {"high", CutoffLevel::high},
};
constexpr Choice<CoderChoice> kCoders[] = {
    {"deflate", CoderChoice::deflate},
    {"arans", CoderChoice::arans},
    {"auto", CoderChoice::auto_},
};

// Exact, case-sensitive match of a str against the table.
template <typename Value, std::size_t N>
std::optional<Value> parse_choice(PyObject* text, const Choice<Value> (&table)[N]) {
  for (const auto& choice : table) {
    if (PyUnicode_CompareWithASCIIString(text, choice.text) == 0) return choice.value;
  }
  return std::nullopt;
}

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A rejected string as the messages show it: in double quotes, with \" \\ \0
// \t \r \n escaped and every other non-printable code point as \u{hex}.
// "Printable" is Python's own notion (str.isprintable, one character at a
// time): letters, marks, numbers, punctuation, symbols and the ASCII space.
// Lone surrogates are not printable, so the result is always valid UTF-8.
std::string quoted(PyObject* text) {
  const int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  std::string out = "\"";
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (Py_UNICODE_ISPRINTABLE(c)) {
          append_utf8(out, c);
        } else {
          char hex[8];
          const auto end =
              std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16).ptr;
          out += "\\u{";
          out.append(hex, end);
          out += '}';
        }
    }
  }
  out += '"';
  return out;
}

PyObject* raise_wrong_type(const char* name, const char* expected, PyObject* value) {
  PyErr_Format(PyExc_TypeError, "QrnlCompressionOptions() argument '%s' must be %s, not %.200s",
               name, expected, Py_TYPE(value)->tp_name);
  return nullptr;
}

// `scale` as an integer 0..255: anything that is not an integer (no
// __index__) is a TypeError, an integer outside the byte range an
// OverflowError.
bool convert_scale(PyObject* value, std::uint8_t* scale) {
  if (!PyIndex_Check(value)) {
    raise_wrong_type("scale", "int", value);
    return false;
  }
  PyObject* index = PyNumber_Index(value);
  if (index == nullptr) return false;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(index, &overflow);
  if (number == -1 && PyErr_Occurred()) {
    Py_DECREF(index);
    return false;
  }
  if (overflow != 0 || number < 0 || number > 255) {
    PyErr_Format(PyExc_OverflowError,
                 "QrnlCompressionOptions() argument 'scale' must be in 0..255, not %R", index);
    Py_DECREF(index);
    return false;
  }
  Py_DECREF(index);
  *scale = static_cast<std::uint8_t>(number);
  return true;
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"method", "scale", "cutoff", "coder", nullptr};
  PyObject* method = nullptr;
  PyObject* scale_arg = nullptr;
  PyObject* cutoff = nullptr;
  PyObject* coder = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOO:QrnlCompressionOptions",
                                   const_cast<char**>(keywords), &method, &scale_arg, &cutoff,
                                   &coder)) {
    return nullptr;
  }

  // Types first, in parameter order.
  if (method != nullptr && !PyUnicode_Check(method))
    return raise_wrong_type("method", "str", method);
  std::uint8_t scale = 11;
  if (scale_arg != nullptr && !convert_scale(scale_arg, &scale)) return nullptr;
  if (cutoff != nullptr && !PyUnicode_Check(cutoff))
    return raise_wrong_type("cutoff", "str", cutoff);
  if (coder == Py_None) coder = nullptr;
  if (coder != nullptr && !PyUnicode_Check(coder))
    return raise_wrong_type("coder", "str or None", coder);

  // Then the values, in the order method, cutoff, scale, coder.
  return call_guarded([&]() -> PyObject* {
    CompressionOptions value;
    if (method != nullptr) {
      const auto parsed = parse_choice(method, kMethods);
      if (!parsed) {
        return raise_value_error("Unknown method " + quoted(method) +
                                 ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'");
      }
      value.method = *parsed;
    }
    if (cutoff != nullptr) {
      const auto parsed = parse_choice(cutoff, kCutoffs);
      if (!parsed) {
        return raise_value_error("Unknown cutoff level " + quoted(cutoff) +
                                 ", expected 'low' or 'medium' or 'high'");
      }
      value.cutoff = *parsed;
    }
    if (scale < quarnel::kMinScale || scale > quarnel::kMaxScale)
      return raise_value_error(quarnel::QuarnelError::unsupported_scale(scale).message());
    value.scale = scale;
    if (coder != nullptr) {
      const auto parsed = parse_choice(coder, kCoders);
      if (!parsed) {
        return raise_value_error("Unknown coder " + quoted(coder) +
                                 ", expected 'auto', 'deflate', 'arans'");
      }
      value.coder = *parsed;
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<OptionsObject*>(self)->value = value;
    return self;
  });
}

}  // namespace

PyTypeObject* options_type() {
  PyTypeObject* type = &options_type_object;
  if (type->tp_flags & Py_TPFLAGS_READY) return type;
  // Not subclassable and without attributes: an instance is an opaque,
  // immutable token.
  type->tp_name = "quarnel.QrnlCompressionOptions";
  type->tp_basicsize = sizeof(OptionsObject);
  type->tp_itemsize = 0;
  type->tp_flags = Py_TPFLAGS_DEFAULT;
  type->tp_doc = kOptionsDoc;
  type->tp_new = options_new;
  if (PyType_Ready(type) < 0) return nullptr;
  return type;
}

const quarnel::CompressionOptions* options_value(PyObject* object) {
  return options_value(object, &options_type_object);
}

}  // namespace quarnel_py
