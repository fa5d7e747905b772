#include "tensorhost/bundle/loader.h"

#include <algorithm>
#include <cstring>

#include "tensorhost/bundle/bundle.h"
#include "tensorhost/bundle/q8gd.h"
#include "tensorhost/bundle/shared_enc.h"
#include "tensorhost/bundle/staging.h"
#include "tensorhost/constants.h"
#include "tensorhost/fsops.h"
#include "tensorhost/host/errors.h"
#include "tensorhost/host/log.h"
#include "tensorhost/pystr.h"

namespace quorvane::m2 {

namespace {

constexpr const char* kIdentity = "identity.tflite";

[[noreturn]] void fatal(const std::string& line) {
  elog("FATAL: " + line);
  throw ExitRequest(3);
}

FloatTensor read_canon(const std::string& bundle) {
  auto mb = member_bytes(bundle, {"canon.bin", "canon.f32"}, SMALL_MEMBER_CEILING);
  if (!mb) fatal("no canon.bin in " + bundle + " (per-identity canon latent required)");
  const std::string& raw = mb->second;
  // A length that is no whole number of floats is refused like a wrong count, never crashed on.
  const auto count = static_cast<int64_t>(raw.size() / 4);
  if (raw.size() % 4 != 0 || count != LATENT_FLOATS)
    fatal("canon.bin has " + std::to_string(count) + " floats, expected " + std::to_string(LATENT_FLOATS));
  FloatTensor canon = FloatTensor::empty({LATENT_FLOATS});
  std::memcpy(canon.data, raw.data(), raw.size());
  return canon;
}

}  // namespace

static LoadedBundle load_bundle_unguarded(const std::string& bundle, const std::optional<std::string>& engine) {
  // A FIFO, socket or device is no bundle of any kind; said so plainly rather than as a missing
  // canon, and before anything opens it (a FIFO would block the open for good).
  if (path_exists(bundle) && !is_dir(bundle) && !is_regular_file(bundle))
    fatal(bundle + " is neither a directory nor a regular file (an avatar bundle is a directory, an .imx "
          "container or a zip file)");
  FloatTensor canon = read_canon(bundle);
  const std::string combined(COMBINED_MEMBER);

  if (has_member(bundle, {combined})) {
    auto [q8, why] = select_q8gd(bundle, "/proc/cpuinfo");
    if (!why.empty()) elog(why);
    if (q8) return {{*q8}, base_name(*q8), canon};
    if (auto staged_path = stage_member(bundle, combined)) return {{*staged_path}, combined, canon};
    throw RuntimeError(combined + " of " + repr_str(bundle) + " went away while the bundle was loaded");
  }

  if (has_member(bundle, {kIdentity})) {
    auto st = dependency_store();
    if (!st.store)
      fatal(bundle + " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification "
            "policy) \u2014 searched the repo tools/ dir and this host's own directory (" + st.why +
            "). Without it the base pairing cannot be verified, and an unverified pairing renders a different "
            "face with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
            "combined-member path does not need it and is unaffected.)");
    const std::optional<std::string> want = declared_base_sha(bundle);
    const bool own = has_member(bundle, {SHARED_ENC_MEMBER});
    if (!own && !want)
      fatal(bundle + " carries identity.tflite (the two-artifact split's DELTA half) and declares no " +
            st.store->shared_enc_id_repr() +
            " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. There is no way "
            "to tell which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE with "
            "no error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
            "tools/imx_from_bundle, which stamps the base content address.");
    auto [enc, how] = resolve_shared_enc(bundle, engine, want);
    const bool declared = want && !want->empty();
    if (!enc) {
      if (declared)
        fatal(bundle + " was cut against shared-enc.tflite sha256=" + *want +
              " and that base is NOT on this machine. Resolution: " + how +
              ". Put it in the content store (${QUORVANE_DEPS_DIR} or ~/.quorvane/deps, as <store>/" + *want +
              " or <store>/" + utf8_prefix(*want, 2) + "/" + *want +
              "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME and the "
              "wrong CONTENT is refused here on purpose.");
      fatal(bundle + " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was found. "
            "Provide it via --engine <dir|.engine>, MIRRANT2_SHARED_ENC=<file>, or install the linux engine "
            "(`quorvane engine install linux`) into ~/.quorvane/engines/.");
    }
    auto staged_id = stage_member(bundle, kIdentity);
    if (!staged_id)
      throw RuntimeError(std::string(kIdentity) + " of " + repr_str(bundle) + " went away while the bundle was loaded");
    const std::string& id_path = *staged_id;
    if (declared && how.rfind("name-trusted", 0) == 0) {
      elog("two-artifact split: base sha256=" + utf8_prefix(*want, 12) +
           "\u2026 resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via " + how);
    } else if (declared) {
      elog("two-artifact split: base sha256=" + utf8_prefix(*want, 12) + "\u2026 VERIFIED (bytes hashed) via " + how);
    } else {
      elog("two-artifact split: base UNVERIFIED (artifact declares no " + st.store->shared_enc_id_repr() +
           " dependency; using the bundle's own copy) \u2014 re-emit with tools/imx_from_bundle to bind it");
    }
    elog("two-artifact split: enc=" + *enc + " + id=" + id_path);
    return {{*enc, id_path}, "shared-enc.tflite+identity.tflite", canon};
  }

  std::vector<std::string> stray;
  for (auto& nm : listing(bundle)) {
    if (nm.size() >= 7 && nm.compare(nm.size() - 7, 7, ".tflite") == 0 && nm != combined && nm != kIdentity &&
        nm != SHARED_ENC_MEMBER)
      stray.push_back(nm);
  }
  std::sort(stray.begin(), stray.end());
  if (!stray.empty())
    fatal(bundle + " carries UNEXPECTED tflite member(s) " + repr_list(stray) +
          " and none of the contract renderers. mirrant-2 names exactly two renderer shapes: " + combined +
          ", OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are not loaded: re-pack the "
          "member under its contract name.");
  fatal("no LiteRT tflite member in " + bundle + " (expected " + combined +
        ", OR identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired in v1)");
}

LoadedBundle load_bundle(const std::string& bundle, const std::optional<std::string>& engine) {
  try {
    return load_bundle_unguarded(bundle, engine);
  } catch (const MemberTooLarge& e) {
    refuse_oversized(e);
  }
}

void refuse_oversized(const MemberTooLarge& e) { fatal(e.what()); }

}  // namespace quorvane::m2
