#include "tensorhost/bundle/shared_enc.h"

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "tensorhost/bundle/bundle.h"
#include "tensorhost/bundle/q8gd.h"
#include "tensorhost/bundle/staging.h"
#include "tensorhost/constants.h"
#include "tensorhost/fsops.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

DependencyStoreProvider& provider() {
  static DependencyStoreProvider p;
  return p;
}

std::vector<std::string> installed_engine_files() {
  std::vector<std::string> out;
  const std::string root = join_path(home_dir(), ".quorvane/engines");
  if (!is_dir(root)) return out;
  std::vector<std::string> names = listing(root);
  std::sort(names.begin(), names.end());
  for (const auto& e : names) {
    std::string f = join_path(join_path(root, e), SHARED_ENC_MEMBER);
    if (is_regular_file(f)) out.push_back(f);
  }
  return out;
}

}  // namespace

bool is_sha256_hex(std::string_view text) {
  return text.size() == 64 &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void set_dependency_store_provider(DependencyStoreProvider p) { provider() = std::move(p); }

DependencyStoreState dependency_store() {
  if (!provider()) return {nullptr, "no dependency store component is wired into this build"};
  return provider()();
}

std::optional<std::string> declared_base_sha(const std::string& bundle) {
  auto st = dependency_store();
  if (!st.store) return std::nullopt;
  // A manifest that cannot be read declares nothing anyone can trust: taken as declaring no base,
  // it would let a bundle's own copy of another base through unverified. So it is refused, read
  // by the package's rules (strict JSON: no NaN or Infinity, no number past a double, no lone
  // surrogate), which the package applies before it ever starts the host.
  auto mb = member_bytes(bundle, {"manifest.json"}, SMALL_MEMBER_CEILING);
  if (!mb) return std::nullopt;
  nlohmann::json doc;
  try {
    doc = parse_manifest(mb->second);
  } catch (const PyKindError& e) {
    throw RuntimeError("not valid JSON (" + e.kind + ": " + e.what() + ")");
  }
  if (!doc.is_object()) throw RuntimeError("not a JSON object");
  std::optional<std::string> deps;
  if (auto it = doc.find("dependencies"); it != doc.end()) deps = it->dump();
  try {
    return st.store->base_sha256_of(deps);
  } catch (const ExitRequest&) {
    throw;
  } catch (const std::exception&) {
    return std::nullopt;  // the policy's own failure counts as no base declared
  }
}

std::pair<std::optional<std::string>, std::string> resolve_shared_enc(
    const std::string& bundle, const std::optional<std::string>& engine,
    const std::optional<std::string>& want_sha) {
  if (want_sha && !want_sha->empty() && !is_sha256_hex(*want_sha))
    throw ValueError("not a sha256 digest (64 lowercase hex digits): " + repr_str(want_sha->substr(0, 80)));
  auto st = dependency_store();
  std::vector<std::string> checked;
  auto ok = [&](const std::string& p, const std::string& how) {
    if (!want_sha) return true;
    if (!st.store) throw RuntimeError("no dependency store to verify " + p + " against");
    if (st.store->verify_base(p, *want_sha)) return true;
    checked.push_back(p + " (" + how + "): sha mismatch");
    release_staged({p});  // a staged copy of the wrong base is of no further use
    return false;
  };

  if (want_sha && !want_sha->empty()) {
    if (!st.store) throw RuntimeError("no dependency store to search for " + *want_sha);
    // The store's file name is the content address: trusted without hashing.
    for (const auto& c : st.store->store_candidates(*want_sha))
      if (is_regular_file(c)) return {c, "name-trusted content store " + c};
  }

  if (auto own = stage_member(bundle, SHARED_ENC_MEMBER)) {
    if (ok(*own, "co-located in the bundle")) return {*own, "co-located in " + bundle};
  }

  std::vector<std::string> cands;
  if (engine && !engine->empty()) cands.push_back(*engine);
  const bool engine_first = !cands.empty();
  for (const char* var : {"MIRRANT2_SHARED_ENC", "MIRRANT2_ENGINE_DIR", "MIRRANT2_ANE_ENGINE"}) {
    std::string v = getenv_str(var);
    if (!v.empty()) cands.push_back(v);
  }
  for (auto& f : installed_engine_files()) cands.push_back(std::move(f));

  for (size_t i = 0; i < cands.size(); ++i) {
    const std::string& c = cands[i];
    // The --engine value was named on purpose: when it is passed over, the refusal says why.
    auto passed_over = [&](const std::string& why) {
      if (i == 0 && engine_first) checked.push_back(c + " (--engine): " + why);
    };
    if (c.empty()) continue;
    if (is_dir(c)) {
      std::string f = join_path(c, SHARED_ENC_MEMBER);
      if (!is_regular_file(f)) {
        passed_over("no shared-enc.tflite in this directory");
      } else if (ok(f, "engine dir")) {
        return {f, "engine dir " + c};
      }
    } else if (is_regular_file(c) && base_name(c) == SHARED_ENC_MEMBER) {
      if (ok(c, "explicit file")) return {c, "explicit file " + c};
    } else if (is_regular_file(c)) {
      std::optional<std::string> p;
      try {
        p = stage_member(c, SHARED_ENC_MEMBER);
      } catch (const StagingWriteError&) {
        throw;
      } catch (const MemberTooLarge&) {
        throw;
      } catch (const OSError& e) {
        checked.push_back(c + " (container): cannot be read: " + os_error_text(e));
        continue;
      } catch (const RuntimeError& e) {
        checked.push_back(c + " (container): cannot be read: " + e.what());
        continue;
      }
      if (!p) {
        passed_over("neither shared-enc.tflite nor an .imx or zip container holding one");
        continue;
      }
      std::string label = "container " + c;
      if (ok(*p, label)) return {*p, label};
    } else if (path_exists(c)) {
      passed_over("neither a directory nor a regular file");
    } else {
      passed_over(os_error_text(OSError(stat_errno(c))));
    }
  }

  if (checked.empty()) return {std::nullopt, "no candidate found"};
  std::string how;
  for (size_t i = 0; i < checked.size(); ++i) how += (i ? "; " : "") + checked[i];
  return {std::nullopt, how};
}

}  // namespace quorvane::m2
