// The choice of the int8 decoder variant of a directory bundle's combined model: served only when
// the environment allows it, the CPU has an int8 dot product, the manifest binds the variant to
// its combined base, the runtime it was gated on is the one running, and its bytes hash to the
// declared SHA-256. Every function reads its inputs afresh on each call and keeps no state, apart
// from the runtime-version provider that the binding installs once.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "pytext/errors.h"

namespace quorvane::m2 {

// Errors of other Python kinds ("AttributeError", "TypeError" for a manifest value of an
// unexpected type, "JSONDecodeError", "UnicodeDecodeError" for an unreadable manifest text) are
// thrown as PyKindError (pytext/errors.h).
using pytext::PyKindError;

/// The first of INT8_DOT_FLAGS ("avx512_vnni", then "avx_vnni") that the first line starting with
/// "flags" of the CPU information file lists after its first ":"; nullopt when there is no such
/// line, neither flag is listed, or the file cannot be opened or read. The file is read as bytes
/// (no text decoding), split into lines at "\n" and "\r"; lines after the flags line are not read.
/// Throws IndexError("list index out of range") for a flags line without ":", ValueError for a
/// path holding NUL.
std::optional<std::string> int8_dot_isa(const std::string& cpuinfo = "/proc/cpuinfo");

/// Whether `manifest` binds the int8 variant: (its declared SHA-256, "bound"), or (null, reason).
/// The first element is the manifest's own value (a JSON string in every well-formed manifest;
/// null means none). Throws PyKindError("AttributeError") when the manifest or its members_sha256
/// is a non-empty value that is not an object.
std::pair<nlohmann::json, std::string> q8gd_bound(const nlohmann::json& manifest);

/// Installs the function that tells the running LiteRT runtime's package version (nullopt when it
/// cannot be told). It must not throw; it may be called from any thread that runs select_q8gd.
void set_runtime_version_provider(std::function<std::optional<std::string>()> provider);

/// The installed "ai-edge-litert" version through the provider; nullopt without a provider or
/// when the provider fails in any way.
std::optional<std::string> litert_runtime_version();

/// Whether the variant's runtime gate admits `running`: (true/false, reason). A gate without a
/// non-empty runtime admits anything. Throws PyKindError("AttributeError") for a manifest or block
/// of an unexpected type.
std::pair<bool, std::string> q8gd_runtime_ok(const nlohmann::json& manifest,
                                             const std::optional<std::string>& running);

/// The manifest text parsed as Python's json.loads(bytes.decode("utf-8")) would: throws
/// PyKindError("UnicodeDecodeError") for bytes that are not strict UTF-8 and
/// PyKindError("JSONDecodeError") for text that is not one JSON value (the wording after the kind
/// is this parser's own, save the byte-order-mark case).
nlohmann::json parse_manifest(const std::string& bytes);

/// The whole choice for `bundle`: (the variant's path, message) when it is served, else
/// (nullopt, message). The message is empty when the bundle is no directory or holds no variant
/// file at its top level, else one log line beginning "[q8gd] ". Never throws: every error inside
/// becomes a fallback whose message names the error's Python kind and text. Hashes the variant in
/// 4 MiB pieces; may run without the interpreter lock.
std::pair<std::optional<std::string>, std::string> select_q8gd(const std::string& bundle,
                                                               const std::string& cpuinfo = "/proc/cpuinfo");

}  // namespace quorvane::m2
