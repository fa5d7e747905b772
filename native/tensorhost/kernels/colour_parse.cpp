// The colour table parser: bytes -> UTF-8 text -> JSON object -> a table or an affine map, every
// problem reported in the returned message.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cmath>
#include <limits>
#include <variant>

#include "tensorhost/constants.h"
#include "tensorhost/kernels/colour.h"
#include "tensorhost/kernels/colour_parse.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

using json = nlohmann::json;

const std::string kMember(COLOR_MEMBER);

// The strict decoder's first error in this parser's own words: the byte at fault and its offset
// (the continuation byte itself when one does not fit), or "" for valid text.
std::string utf8_problem(const std::string& s) {
  auto err = utf8_first_error(s);
  if (!err) return "";
  size_t at = err->start;
  const char* why;
  const std::string_view reason = err->reason;
  if (reason == "invalid start byte") {
    why = "cannot start a character";
  } else if (reason == "unexpected end of data") {
    why = "starts a character that the data ends inside";
  } else {
    at = err->end;
    why = "cannot continue the character before it";
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "invalid UTF-8: byte 0x%02x at offset %zu ",
                static_cast<unsigned>(static_cast<unsigned char>(s[at])), at);
  return std::string(buf) + why;
}

std::string path_text(const std::vector<size_t>& path) {
  std::string out;
  for (size_t i : path) out += "[" + std::to_string(i) + "]";
  return out;
}

// The value as the messages show it: JSON numbers as Python prints them, text quoted.
std::string value_text(const json& v) {
  switch (v.type()) {
    case json::value_t::number_integer:
      return std::to_string(v.get<int64_t>());
    case json::value_t::number_unsigned:
      return std::to_string(v.get<uint64_t>());
    case json::value_t::number_float:
      return repr_float(v.get<double>());
    case json::value_t::string:
      return repr_str(v.get_ref<const std::string&>());
    case json::value_t::boolean:
      return v.get<bool>() ? "true" : "false";
    case json::value_t::null:
      return "null";
    case json::value_t::object:
      return "an object";
    case json::value_t::binary:  // a decoded value with no JSON form; it carries its type name
      return "a " + std::string(v.get_binary().begin(), v.get_binary().end()) + " value";
    default:
      return "a value";
  }
}

// A nested JSON array read as an n-dimensional array, the way NumPy discovers a shape: every
// array at one depth must have the same shape, and a non-array is a scalar.
template <class T>
struct NdArray {
  std::vector<int64_t> shape;
  std::vector<T> values;
};

// Deeper nesting than any table needs is refused before it can exhaust the stack.
constexpr size_t kMaxDepth = 32;

// Shape discovery. Returns "" or the ragged-nesting problem.
std::string discover(const json& v, std::vector<int64_t>& shape, std::vector<size_t>& path) {
  if (!v.is_array()) {
    shape.clear();
    return "";
  }
  if (path.size() >= kMaxDepth)
    return "arrays nested deeper than " + std::to_string(kMaxDepth) + " levels";
  shape.assign(1, static_cast<int64_t>(v.size()));
  if (v.empty()) return "";
  std::vector<int64_t> first;
  path.push_back(0);
  if (auto e = discover(v[0], first, path); !e.empty()) return e;
  for (size_t i = 1; i < v.size(); ++i) {
    path.back() = i;
    std::vector<int64_t> other;
    if (auto e = discover(v[i], other, path); !e.empty()) return e;
    if (other != first || v[i].is_array() != v[0].is_array()) {
      std::vector<size_t> p0(path.begin(), path.end() - 1), p1 = path;
      p0.push_back(0);
      auto show = [](const json& x, const std::vector<int64_t>& s) {
        return x.is_array() ? "shape " + shape_text(s) : std::string("a scalar");
      };
      return "ragged nesting: the item at " + path_text(p0) + " has " + show(v[0], first) +
             " but the item at " + path_text(p1) + " has " + show(v[i], other);
    }
  }
  path.pop_back();
  shape.insert(shape.end(), first.begin(), first.end());
  return "";
}

// Reads a scalar into T through `conv`; walks the nesting in row-major order.
template <class T, class Conv>
std::string flatten(const json& v, std::vector<size_t>& path, std::vector<T>& out, Conv conv) {
  if (v.is_array()) {
    path.push_back(0);
    for (size_t i = 0; i < v.size(); ++i) {
      path.back() = i;
      if (auto e = flatten(v[i], path, out, conv); !e.empty()) return e;
    }
    path.pop_back();
    return "";
  }
  std::variant<T, std::string> r = conv(v);
  if (auto* e = std::get_if<std::string>(&r)) {
    std::string where = path.empty() ? "" : " at " + path_text(path);
    return value_text(v) + where + " " + *e;
  }
  out.push_back(std::get<T>(r));
  return "";
}

template <class T, class Conv>
std::variant<NdArray<T>, std::string> to_array(const json& v, Conv conv) {
  NdArray<T> a;
  std::vector<size_t> path;
  if (auto e = discover(v, a.shape, path); !e.empty()) return e;
  path.clear();
  if (auto e = flatten<T>(v, path, a.values, conv); !e.empty()) return e;
  return a;
}

// uint8 elements: integers 0 to 255; other numbers truncated toward zero and then held to that
// range; true and false as 1 and 0; text that reads as an integer (as int() reads it). Values out
// of range are refused rather than wrapped.
std::variant<uint8_t, std::string> to_u8(const json& v) {
  const char* range = "is outside the uint8 range 0 to 255";
  switch (v.type()) {
    case json::value_t::number_unsigned: {
      uint64_t u = v.get<uint64_t>();
      if (u > 255) return std::string(range);
      return static_cast<uint8_t>(u);
    }
    case json::value_t::number_integer: {
      int64_t i = v.get<int64_t>();
      if (i < 0 || i > 255) return std::string(range);
      return static_cast<uint8_t>(i);
    }
    case json::value_t::number_float: {
      double d = v.get<double>();
      if (!std::isfinite(d)) return std::string("is not a finite number");
      double t = std::trunc(d);
      if (t < 0.0 || t > 255.0) return std::string(range);
      return static_cast<uint8_t>(t);
    }
    case json::value_t::boolean:
      return static_cast<uint8_t>(v.get<bool>() ? 1 : 0);
    case json::value_t::string: {
      auto i = parse_int(v.get_ref<const std::string&>());
      if (!i) return std::string("does not read as an integer");
      if (*i < 0 || *i > 255) return std::string(range);
      return static_cast<uint8_t>(*i);
    }
    default:
      return std::string("is not a number");
  }
}

// float32 elements: numbers rounded to the nearest single-precision value; true and false as 1
// and 0; text that reads as a decimal number. Non-finite values and values beyond the float32
// range are refused.
std::variant<float, std::string> to_f32(const json& v) {
  double d;
  switch (v.type()) {
    case json::value_t::number_unsigned:
      d = static_cast<double>(v.get<uint64_t>());
      break;
    case json::value_t::number_integer:
      d = static_cast<double>(v.get<int64_t>());
      break;
    case json::value_t::number_float:
      d = v.get<double>();
      break;
    case json::value_t::boolean:
      d = v.get<bool>() ? 1.0 : 0.0;
      break;
    case json::value_t::string: {
      std::string s = strip(v.get_ref<const std::string&>());
      const char* b = s.data();
      const char* e = b + s.size();
      if (b != e && *b == '+' && b + 1 != e && b[1] != '-') ++b;
      auto r = std::from_chars(b, e, d);
      if (b == e || r.ec != std::errc() || r.ptr != e)
        return std::string("does not read as a number");
      break;
    }
    default:
      return std::string("is not a number");
  }
  if (!std::isfinite(d)) return std::string("is not a finite number");
  const double max_f = static_cast<double>(std::numeric_limits<float>::max());
  if (std::fabs(d) > max_f) {
    // Up to half a unit in the last place above the largest float32 still rounds to it (the tie
    // rounds to even, which is infinity); the cast itself is kept within range.
    if (std::fabs(d) >= max_f + std::ldexp(1.0, 103)) return std::string("is beyond the float32 range");
    return d > 0 ? std::numeric_limits<float>::max() : -std::numeric_limits<float>::max();
  }
  return static_cast<float>(d);
}

ColorParse fail(std::string message) { return ColorParse{nullptr, std::move(message)}; }

std::string from_text(const std::string& source) { return source.empty() ? kMember : source; }

}  // namespace

std::string json_type_name(const json& v) {
  switch (v.type()) {
    case json::value_t::object:
      return "dict";
    case json::value_t::array:
      return "list";
    case json::value_t::string:
      return "str";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned:
      return "int";
    case json::value_t::number_float:
      return "float";
    case json::value_t::boolean:
      return "bool";
    case json::value_t::null:
      return "NoneType";
    default:
      return "bytes";
  }
}

ColorParse parse_color_correct_doc(const json& doc, const std::string& source, bool top_int) {
  if (!doc.is_object()) {
    std::string type = top_int && doc.is_number() ? "int" : json_type_name(doc);
    return fail(kMember + " is present but is not a json object (got " + type + ")");
  }
  if (auto it = doc.find("lut"); it != doc.end()) {
    auto r = to_array<uint8_t>(*it, to_u8);
    if (auto* e = std::get_if<std::string>(&r))
      return fail(kMember + ": 'lut' is not a uint8 array (" + *e + ")");
    auto& a = std::get<NdArray<uint8_t>>(r);
    if (a.shape != std::vector<int64_t>{3, 256})
      return fail(kMember + ": 'lut' has shape " + shape_text(a.shape) +
                  ", the contract is (3, 256) — refusing to apply a mis-shaped table");
    auto cc = std::make_shared<ColorCorrect>();
    cc->kind = "lut";
    cc->lut.emplace();
    std::copy(a.values.begin(), a.values.end(), cc->lut->begin());
    cc->source = source;
    return ColorParse{cc, "per-channel LUT (model->driver) from " + from_text(source)};
  }
  auto g = doc.find("gain");
  auto b = doc.find("bias");
  if (g != doc.end() && b != doc.end()) {
    auto rg = to_array<float>(*g, to_f32);
    if (auto* e = std::get_if<std::string>(&rg))
      return fail(kMember + ": 'gain'/'bias' are not float arrays (gain: " + *e + ")");
    auto rb = to_array<float>(*b, to_f32);
    if (auto* e = std::get_if<std::string>(&rb))
      return fail(kMember + ": 'gain'/'bias' are not float arrays (bias: " + *e + ")");
    auto& ga = std::get<NdArray<float>>(rg);
    auto& ba = std::get<NdArray<float>>(rb);
    const std::vector<int64_t> three{3};
    if (ga.shape != three || ba.shape != three)
      return fail(kMember + ": gain" + shape_text(ga.shape) + "/bias" + shape_text(ba.shape) +
                  ", the contract is (3,)/(3,)");
    auto cc = std::make_shared<ColorCorrect>();
    cc->kind = "gain_bias";
    cc->gain = std::array<float, 3>{ga.values[0], ga.values[1], ga.values[2]};
    cc->bias = std::array<float, 3>{ba.values[0], ba.values[1], ba.values[2]};
    cc->source = source;
    return ColorParse{cc, "per-channel gain/bias from " + from_text(source)};
  }
  std::vector<std::string> keys;
  for (auto it = doc.begin(); it != doc.end(); ++it) keys.push_back(it.key());
  // nlohmann keeps object keys ordered by byte value, which for UTF-8 is code point order; sort
  // anyway so the rule does not rest on the container's choice.
  std::sort(keys.begin(), keys.end());
  return fail(kMember + " is present but carries neither a 'lut' nor a 'gain'+'bias' (keys: " +
              repr_list(keys) + ")");
}

ColorParse parse_color_correct(const std::optional<std::string>& raw, const std::string& source) {
  if (!raw) return fail("this container carries no " + kMember);
  auto unparsable = [](const std::string& why) {
    return fail(kMember + " is present but is not parsable json (" + why +
                ") — refusing to invent an identity LUT");
  };
  if (auto e = utf8_problem(*raw); !e.empty()) return unparsable(e);
  if (raw->rfind("\xEF\xBB\xBF", 0) == 0)
    return unparsable("the text begins with a UTF-8 byte order mark");
  json doc;
  try {
    doc = json::parse(*raw);
  } catch (const json::exception& e) {
    std::string what = e.what();
    // Drop the library's "[json.exception.parse_error.101] " tag; keep its words.
    if (!what.empty() && what[0] == '[') {
      auto close = what.find("] ");
      if (close != std::string::npos) what.erase(0, close + 2);
    }
    return unparsable(what);
  }
  bool top_int = false;
  if (doc.is_number_float()) {
    // Integers too long for 64 bits parse as floats; JSON text still calls them integers.
    std::string t = strip(*raw);
    size_t i = (!t.empty() && t[0] == '-') ? 1 : 0;
    top_int = i < t.size() && t.find_first_not_of("0123456789", i) == std::string::npos;
  }
  return parse_color_correct_doc(doc, source, top_int);
}

}  // namespace quorvane::m2
