#include "tensorhost/bundle/q8gd.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "tensorhost/constants.h"
#include "tensorhost/fsops.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

using nlohmann::json;

namespace {

constexpr size_t HASH_PIECE_BYTES = size_t{4} << 20;
constexpr size_t SHOWN_DIGEST_CHARS = 12;
constexpr const char* MANIFEST_MEMBER = "manifest.json";

// ---- the manifest's values read with Python's semantics -------------------------------------

const char* type_name(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return "NoneType";
    case json::value_t::boolean: return "bool";
    case json::value_t::number_integer:
    case json::value_t::number_unsigned: return "int";
    case json::value_t::number_float: return "float";
    case json::value_t::string: return "str";
    case json::value_t::array: return "list";
    case json::value_t::object: return "dict";
    default: return "object";
  }
}

bool truthy(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return false;
    case json::value_t::boolean: return j.get<bool>();
    case json::value_t::number_integer: return j.get<int64_t>() != 0;
    case json::value_t::number_unsigned: return j.get<uint64_t>() != 0;
    case json::value_t::number_float: return j.get<double>() != 0.0;
    case json::value_t::string: return !j.get_ref<const std::string&>().empty();
    default: return !j.empty();
  }
}

// `x or {}`: an absent or empty value counts as an empty object.
json or_empty(const json& j) { return truthy(j) ? j : json::object(); }

// `d.get(key)`: none for a missing key; a value that is no object has no get().
json get(const json& d, std::string_view key_text) {
  const std::string key(key_text);
  if (!d.is_object()) {
    throw PyKindError("AttributeError", std::string("'") + type_name(d) + "' object has no attribute 'get'");
  }
  auto it = d.find(key);
  return it == d.end() ? json() : *it;
}

bool is_number(const json& j) { return j.is_number() || j.is_boolean(); }

// Exact numeric equality across bool, int and float, as Python compares them.
bool numbers_equal(const json& a, const json& b) {
  auto as_int = [](const json& j) -> __int128 {
    if (j.is_boolean()) return j.get<bool>() ? 1 : 0;
    if (j.is_number_unsigned()) return static_cast<__int128>(j.get<uint64_t>());
    return static_cast<__int128>(j.get<int64_t>());
  };
  if (!a.is_number_float() && !b.is_number_float()) return as_int(a) == as_int(b);
  // long double holds every 64-bit integer and every double exactly.
  auto as_ld = [&](const json& j) -> long double {
    if (j.is_number_float()) return static_cast<long double>(j.get<double>());
    return static_cast<long double>(as_int(j));
  };
  return as_ld(a) == as_ld(b);
}

// Python's == between two values that came out of JSON.
bool py_eq(const json& a, const json& b) {
  if (is_number(a) && is_number(b)) return numbers_equal(a, b);
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case json::value_t::null: return true;
    case json::value_t::string: return a.get_ref<const std::string&>() == b.get_ref<const std::string&>();
    case json::value_t::array: {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!py_eq(a[i], b[i])) return false;
      return true;
    }
    case json::value_t::object: {
      if (a.size() != b.size()) return false;
      for (auto it = a.begin(); it != a.end(); ++it) {
        auto other = b.find(it.key());
        if (other == b.end() || !py_eq(it.value(), *other)) return false;
      }
      return true;
    }
    default: return false;
  }
}

std::string py_repr(const json& j);

// str(): a string is itself, everything else its repr.
std::string py_str(const json& j) {
  return j.is_string() ? j.get<std::string>() : py_repr(j);
}

std::string py_repr(const json& j) {
  switch (j.type()) {
    case json::value_t::null: return "None";
    case json::value_t::boolean: return j.get<bool>() ? "True" : "False";
    case json::value_t::number_integer: return std::to_string(j.get<int64_t>());
    case json::value_t::number_unsigned: return std::to_string(j.get<uint64_t>());
    case json::value_t::number_float: return repr_float(j.get<double>());
    case json::value_t::string: return repr_str(j.get_ref<const std::string&>());
    case json::value_t::array: {
      std::string out = "[";
      for (size_t i = 0; i < j.size(); ++i) {
        if (i) out += ", ";
        out += py_repr(j[i]);
      }
      return out + "]";
    }
    case json::value_t::object: {
      std::string out = "{";
      bool first = true;
      for (auto it = j.begin(); it != j.end(); ++it) {
        if (!first) out += ", ";
        first = false;
        out += repr_str(it.key()) + ": " + py_repr(it.value());
      }
      return out + "}";
    }
    default: return "<object>";
  }
}

// `value[:n]` shown as text: a string's first n characters, a list's first n items; other values
// cannot be sliced.
std::string sliced(const json& j, size_t n) {
  if (j.is_string()) return utf8_prefix(j.get_ref<const std::string&>(), n);
  if (j.is_array()) {
    json head = json::array();
    for (size_t i = 0; i < j.size() && i < n; ++i) head.push_back(j[i]);
    return py_repr(head);
  }
  if (j.is_object()) throw PyKindError("TypeError", "unhashable type: 'slice'");
  throw PyKindError("TypeError", std::string("'") + type_name(j) + "' object is not subscriptable");
}

// ---- runtime version ---------------------------------------------------------------------------

std::mutex& provider_mutex() {
  static std::mutex m;
  return m;
}

std::function<std::optional<std::string>()>& provider_slot() {
  // Leaked on purpose: a provider may be asked during interpreter shutdown.
  static auto* slot = new std::function<std::optional<std::string>()>();
  return *slot;
}

// ---- hashing -----------------------------------------------------------------------------------

std::string sha256_hex_of_file(const std::string& path) {
  UniqueFd fd = open_for_read(path);
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
    throw RuntimeError("SHA-256 is not available from the crypto library");
  }
  std::vector<unsigned char> piece(HASH_PIECE_BYTES);
  for (;;) {
    ssize_t r = ::read(fd.get(), piece.data(), piece.size());
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OSError(errno);
    }
    if (r == 0) break;
    if (EVP_DigestUpdate(ctx.get(), piece.data(), static_cast<size_t>(r)) != 1) {
      throw RuntimeError("SHA-256 update failed");
    }
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int md_len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &md_len) != 1) throw RuntimeError("SHA-256 final failed");
  static constexpr char HEX[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(md_len * 2);
  for (unsigned i = 0; i < md_len; ++i) {
    hex += HEX[md[i] >> 4];
    hex += HEX[md[i] & 0xF];
  }
  return hex;
}

// "Kind: text" for the exception being handled, with Python's class names.
std::string describe_current_exception() {
  try {
    throw;
  } catch (const PyKindError& e) {
    return e.kind + ": " + e.what();
  } catch (const OSError& e) {
    return std::string(os_error_kind(e.errno_value)) + ": " + os_error_text(e);
  } catch (const ValueError& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const TypeError& e) {
    return std::string("TypeError: ") + e.what();
  } catch (const IndexError& e) {
    return std::string("IndexError: ") + e.what();
  } catch (const ZeroDivisionError& e) {
    return std::string("ZeroDivisionError: ") + e.what();
  } catch (const std::bad_alloc&) {
    return "MemoryError: ";
  } catch (const std::exception& e) {
    return std::string("RuntimeError: ") + e.what();
  } catch (...) {
    return "RuntimeError: unknown error";
  }
}

}  // namespace

std::optional<std::string> int8_dot_isa(const std::string& cpuinfo) {
  UniqueFd fd;
  try {
    fd = open_for_read(cpuinfo);
  } catch (const OSError&) {
    return std::nullopt;
  }
  // Looks at one complete line; true when it was the flags line, the answer then in `isa`.
  std::optional<std::string> isa;
  auto flags_line = [&isa](std::string_view ln) {
    if (ln.substr(0, 5) != "flags") return false;
    const size_t colon = ln.find(':');
    if (colon == std::string_view::npos) throw IndexError("list index out of range");
    std::vector<std::string_view> fl;
    std::string_view rest = ln.substr(colon + 1);
    size_t i = 0;
    while (i < rest.size()) {
      while (i < rest.size() && is_py_space(rest[i])) ++i;
      size_t j = i;
      while (j < rest.size() && !is_py_space(rest[j])) ++j;
      if (j > i) fl.push_back(rest.substr(i, j - i));
      i = j;
    }
    for (auto flag : INT8_DOT_FLAGS) {
      for (auto f : fl) {
        if (f == flag) {
          isa = std::string(flag);
          return true;
        }
      }
    }
    return true;
  };
  std::string line;
  char buf[1 << 14];
  for (;;) {
    ssize_t r = ::read(fd.get(), buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (r == 0) break;
    for (ssize_t k = 0; k < r; ++k) {
      const char c = buf[k];
      if (c == '\n' || c == '\r') {
        if (flags_line(line)) return isa;
        line.clear();
      } else {
        line += c;
      }
    }
  }
  flags_line(line);
  return isa;
}

std::pair<json, std::string> q8gd_bound(const json& manifest) {
  const json m = or_empty(manifest);
  const json decl = or_empty(get(m, "members_sha256"));
  const json blk = get(m, Q8GD_HEADER_KEY);
  const json want = get(decl, Q8GD_MEMBER);
  if (!blk.is_object() || !truthy(want)) {
    return {json(), "the header does not bind it (no members_sha256 entry / litert_q8gd block)"};
  }
  if (!py_eq(get(blk, "sha256"), want)) return {json(), "litert_q8gd.sha256 disagrees with members_sha256"};
  const json base = get(decl, COMBINED_MEMBER);
  const json base_sha = get(blk, "base_sha256");
  if (!py_eq(get(blk, "base_member"), json(std::string(COMBINED_MEMBER))) || !truthy(base) || !py_eq(base_sha, base)) {
    return {json(), "STALE: cut from " + std::string(COMBINED_MEMBER) + " " +
                        utf8_prefix(py_str(base_sha), SHOWN_DIGEST_CHARS) + ", the header declares " +
                        utf8_prefix(py_str(base), SHOWN_DIGEST_CHARS)};
  }
  return {want, "bound"};
}

void set_runtime_version_provider(std::function<std::optional<std::string>()> provider) {
  std::lock_guard<std::mutex> lock(provider_mutex());
  provider_slot() = std::move(provider);
}

std::optional<std::string> litert_runtime_version() {
  std::function<std::optional<std::string>()> provider;
  {
    std::lock_guard<std::mutex> lock(provider_mutex());
    provider = provider_slot();
  }
  if (!provider) return std::nullopt;
  try {
    return provider();
  } catch (...) {
    return std::nullopt;
  }
}

std::pair<bool, std::string> q8gd_runtime_ok(const json& manifest, const std::optional<std::string>& running) {
  const json blk = or_empty(get(or_empty(manifest), Q8GD_HEADER_KEY));
  const json gate = or_empty(get(blk, "gate"));
  const json want = gate.is_object() ? get(gate, "runtime") : json();
  if (!truthy(want)) return {true, "gate runtime not recorded (published before 2026-10-05)"};
  if (!running) {
    return {false, "gated on ai-edge-litert " + py_str(want) + ", this process's runtime is unreadable"};
  }
  if (!py_eq(json(*running), want)) {
    return {false, "gated on ai-edge-litert " + py_str(want) + ", this process runs " + *running + " — re-gate it"};
  }
  return {true, "gated on this runtime (ai-edge-litert " + *running + ")"};
}

json parse_manifest(const std::string& bytes) {
  if (auto err = utf8_first_error(bytes)) {
    throw PyKindError("UnicodeDecodeError", unicode_decode_error_text(bytes, *err));
  }
  // The parser below would skip a byte-order mark; a text that starts with one is no JSON.
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
    throw PyKindError("JSONDecodeError", "Unexpected UTF-8 BOM (decode using utf-8-sig): line 1 column 1 (char 0)");
  }
  try {
    return json::parse(bytes);
  } catch (const json::exception& e) {
    std::string text = e.what();
    // Drop the library's "[json.exception.parse_error.101] " tag; the rest says where and why.
    if (!text.empty() && text.front() == '[') {
      if (size_t close = text.find("] "); close != std::string::npos) text.erase(0, close + 2);
    }
    throw PyKindError("JSONDecodeError", text);
  }
}

std::pair<std::optional<std::string>, std::string> select_q8gd(const std::string& bundle, const std::string& cpuinfo) {
  const std::string log(Q8GD_LOG);
  const std::string serving = " — serving " + std::string(COMBINED_MEMBER);
  try {
    if (!is_dir(bundle)) return {std::nullopt, ""};
    std::string p = join_path(bundle, Q8GD_MEMBER);
    if (!is_regular_file(p)) return {std::nullopt, ""};

    std::string raw_mode = getenv_str(std::string(Q8GD_ENV).c_str());
    const std::string mode = lower(strip_unicode(raw_mode.empty() ? std::string("auto") : raw_mode));
    if (mode == "0" || mode == "off" || mode == "false" || mode == "no") {
      return {std::nullopt, log + " off (" + std::string(Q8GD_ENV) + "=" + mode + ")" + serving};
    }

    const auto isa = int8_dot_isa(cpuinfo);
    if (!isa) {
      return {std::nullopt, log + " FALLBACK: this CPU has no int8 dot product (no avx512_vnni / avx_vnni; "
                                  "int8 measured 0.88-0.93x on AVX2)" + serving};
    }

    const json manifest = parse_manifest(read_file_bytes(join_path(bundle, MANIFEST_MEMBER)));
    const auto [want, why] = q8gd_bound(manifest);
    if (want.is_null()) return {std::nullopt, log + " FALLBACK: " + why + serving};

    const auto [rt_ok, rt_why] = q8gd_runtime_ok(manifest, litert_runtime_version());
    if (!rt_ok) return {std::nullopt, log + " FALLBACK: " + rt_why + serving};

    const std::string digest = sha256_hex_of_file(p);
    if (!py_eq(json(digest), want)) {
      return {std::nullopt, log + " FALLBACK: bytes " + digest.substr(0, SHOWN_DIGEST_CHARS) + " != declared " +
                                sliced(want, SHOWN_DIGEST_CHARS) + serving};
    }
    return {p, log + " SELECTED " + std::string(Q8GD_MEMBER) + " (int8 decoder; cpu " + *isa + "; sha " +
                   sliced(want, SHOWN_DIGEST_CHARS) + " bound; " + rt_why + ")"};
  } catch (...) {
    try {
      return {std::nullopt, log + " FALLBACK: " + describe_current_exception() + serving};
    } catch (...) {
      return {std::nullopt, "[q8gd] FALLBACK: MemoryError:  — serving combined_litert.tflite"};
    }
  }
}

}  // namespace quorvane::m2
