#include "quarnel_py/options.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quarnel/quarnel.h"
#include "quarnel_py/guard.h"
#include "quarnel_py/options_api.h"

namespace quarnel_py {

namespace {

using quarnel::CoderChoice;
using quarnel::CompressionOptions;
using quarnel::CutoffLevel;
using quarnel::WaveletMethod;

// An instance's memory, private to this file: other extensions read the
// value through the OptionsApi.
struct OptionsObject {
  PyObject ob_base;
  quarnel::CompressionOptions value;
};

// Filled in by options_type(); only the object header is set here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject options_type_object = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// The first line is the constructor's text signature; the docstring proper is
// empty.
constexpr char kOptionsDoc[] =
    "QrnlCompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None)\n--\n\n";

// A str as the value the codec names it by (quarnel::method_from_name and
// the like). Every name is ASCII, so no other str is one; an ASCII str's
// UTF-8 form is its own storage, which cannot fail.
template <typename Value>
std::optional<Value> parse_choice(PyObject* text,
                                  std::optional<Value> (*from_name)(std::string_view)) {
  if (!PyUnicode_IS_ASCII(text)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return from_name(std::string_view(bytes, static_cast<std::size_t>(size)));
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
      const auto parsed = parse_choice(method, quarnel::method_from_name);
      if (!parsed) {
        return raise_value_error("Unknown method " + quoted(method) +
                                 ", expected 'cdf97' or 'cdf53' or 'db4' or 'sym4'");
      }
      value.method = *parsed;
    }
    if (cutoff != nullptr) {
      const auto parsed = parse_choice(cutoff, quarnel::cutoff_from_name);
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
      const auto parsed = parse_choice(coder, quarnel::coder_from_name);
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
  if (!PyObject_TypeCheck(object, &options_type_object)) return nullptr;
  return &reinterpret_cast<const OptionsObject*>(object)->value;
}

namespace {

int copy_options_value(PyObject* object, quarnel::CompressionOptions* value) {
  const quarnel::CompressionOptions* held = options_value(object);
  if (held == nullptr) return 0;
  *value = *held;
  return 1;
}

constexpr OptionsApi kOptionsApi = {sizeof(OptionsApi), copy_options_value};

}  // namespace

int publish_options_api() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
  if (state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter state dictionary");
    return -1;
  }
  // The capsule never frees its pointer: the table is static.
  PyObject* capsule =
      PyCapsule_New(const_cast<OptionsApi*>(&kOptionsApi), kOptionsApiName, nullptr);
  if (capsule == nullptr) return -1;
  const int status = PyDict_SetItemString(state, kOptionsApiName, capsule);
  Py_DECREF(capsule);
  return status;
}

}  // namespace quarnel_py
