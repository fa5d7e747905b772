// Pairing a two-artifact bundle's identity model with the shared encoder base it was cut against.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::m2 {

/// The dependency-store component: how a bundle declares its base, where the content store lies,
/// how a file is verified. Supplied from outside the core (the binding adapts the component the
/// module looked up at load time).
class DependencyStore {
 public:
  virtual ~DependencyStore() = default;
  /// The representation of the identifier under which manifests name the base.
  virtual std::string shared_enc_id_repr() = 0;
  /// The declared base's sha256 from the manifest's "dependencies" value, given as JSON text
  /// (nullopt when the key is missing). nullopt when none is declared; may throw.
  virtual std::optional<std::string> base_sha256_of(const std::optional<std::string>& deps_json) = 0;
  /// Candidate paths of the base with digest `sha` in the content store, in priority order.
  virtual std::vector<std::string> store_candidates(const std::string& sha) = 0;
  /// True exactly when the file's content hashes to `sha`.
  virtual bool verify_base(const std::string& path, const std::string& sha) = 0;
};

/// The component in force (null when it could not be loaded) and the text that says where it came
/// from or why it failed to load.
struct DependencyStoreState {
  std::shared_ptr<DependencyStore> store;
  std::string why;
};
using DependencyStoreProvider = std::function<DependencyStoreState()>;
void set_dependency_store_provider(DependencyStoreProvider provider);
DependencyStoreState dependency_store();

/// Whether `text` is a sha256 digest as manifests write it: 64 lowercase hexadecimal digits. Only
/// such a text is ever joined to a store directory.
bool is_sha256_hex(std::string_view text);

/// The base a bundle declares, or nullopt (no manifest, or the component finds none in it or fails).
/// A manifest that is no strict JSON object throws RuntimeError saying why, since a manifest nobody
/// can read declares nothing anyone can trust. What it gives is the component's answer as it is:
/// the caller checks it with is_sha256_hex.
std::optional<std::string> declared_base_sha(const std::string& bundle);

/// Searches the content store, the bundle's own copy, the engine value, the environment and the
/// installed engines, in that order; the first file whose content is `want_sha` (any file when
/// `want_sha` is nullopt) wins. Returns (path or nullopt, how it was found or why nothing fitted).
/// A staged copy that fails the check is deleted at once. Why the `engine` value was passed over
/// is noted too (it names nothing, holds no base, cannot be read). Throws ValueError for a
/// `want_sha` that is no digest (is_sha256_hex), before anything is looked at.
std::pair<std::optional<std::string>, std::string> resolve_shared_enc(
    const std::string& bundle, const std::optional<std::string>& engine,
    const std::optional<std::string>& want_sha);

}  // namespace quorvane::m2
