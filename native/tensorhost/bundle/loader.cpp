#include "tensorhost/bundle/loader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// The bundle itself must be there and readable: a missing path, a dangling link, a link loop, or
// a file or directory that cannot be opened is refused with the system's reason, rather than
// read as a bundle without members.
void check_readable(const std::string& bundle) {
  if (int err = stat_errno(bundle)) fatal("cannot read " + bundle + ": " + os_error_text(OSError(err)));
  // A FIFO, socket or device is no bundle of any kind; said so plainly, and before anything
  // opens it (a FIFO would block the open for good).
  const bool dir = is_dir(bundle);
  if (!dir && !is_regular_file(bundle))
    fatal(bundle + " is neither a directory nor a regular file (an avatar bundle is a directory, an .imx "
          "container or a zip file)");
  UniqueFd fd(::open(bundle.c_str(), O_RDONLY | O_CLOEXEC | (dir ? O_DIRECTORY : 0)));
  int err = fd.valid() ? 0 : errno;
  if (!err && dir && ::faccessat(AT_FDCWD, bundle.c_str(), X_OK, AT_EACCESS) != 0) err = errno;
  if (err) fatal("cannot read " + bundle + ": " + os_error_text(OSError(err)));
}

// The refusal of a declared base that is no digest: it names the field and shows the value
// (cut: a manifest may hold megabytes of it).
[[noreturn]] void refuse_digest(const std::string& bundle, const std::string& id_repr, const std::string& want) {
  constexpr size_t kShown = 80;
  fatal(bundle + ": the sha256 of the " + id_repr + " record in manifest.json dependencies[] is " +
        repr_str(want.substr(0, kShown)) + (want.size() > kShown ? "..." : "") +
        ", not a sha256 digest (64 lowercase hex digits)");
}

FloatTensor read_canon(const std::string& bundle) {
  auto mb = member_bytes(bundle, {"canon.bin", "canon.f32"}, SMALL_MEMBER_CEILING);
  if (!mb) fatal("no canon.bin in " + bundle + " (per-identity canon latent required)");
  const std::string& raw = mb->second;
  // A length that is no whole number of floats is refused like a wrong count, never crashed on.
  const auto count = static_cast<int64_t>(raw.size() / 4);
  if (raw.size() % 4 != 0 || count != LATENT_FLOATS)
    fatal(bundle + ": canon.bin has " + std::to_string(count) + " floats, expected " +
          std::to_string(LATENT_FLOATS));
  FloatTensor canon = FloatTensor::empty({LATENT_FLOATS});
  std::memcpy(canon.data, raw.data(), raw.size());
  return canon;
}

}  // namespace

// `member` names what is being read at each moment, for the refusal of a member that cannot be.
static LoadedBundle load_bundle_unguarded(const std::string& bundle, const std::optional<std::string>& engine,
                                          std::string& member) {
  check_readable(bundle);
  member = "canon.bin";
  FloatTensor canon = read_canon(bundle);
  const std::string combined(COMBINED_MEMBER);

  member = combined;
  if (has_member(bundle, {combined})) {
    auto [q8, why] = select_q8gd(bundle, "/proc/cpuinfo");
    if (!why.empty()) elog(why);
    if (q8) return {{*q8}, {base_name(*q8)}, base_name(*q8), canon};
    if (auto staged_path = stage_member(bundle, combined)) return {{*staged_path}, {combined}, combined, canon};
    throw RuntimeError(combined + " of " + repr_str(bundle) + " went away while the bundle was loaded");
  }

  member = kIdentity;
  if (has_member(bundle, {kIdentity})) {
    auto st = dependency_store();
    if (!st.store)
      fatal(bundle + " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification "
            "policy) \u2014 searched the repo tools/ dir and this host's own directory (" + st.why +
            "). Without it the base pairing cannot be verified, and an unverified pairing renders a different "
            "face with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
            "combined-member path does not need it and is unaffected.)");
    member = "manifest.json";
    const std::optional<std::string> want = declared_base_sha(bundle);
    if (want && !want->empty() && !is_sha256_hex(*want)) refuse_digest(bundle, st.store->shared_enc_id_repr(), *want);
    member = SHARED_ENC_MEMBER;
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
    member = kIdentity;
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
    const bool in_bundle = how.rfind("co-located in ", 0) == 0;
    return {{*enc, id_path},
            {in_bundle ? SHARED_ENC_MEMBER : std::string(SHARED_ENC_MEMBER) + " (" + how + ")", kIdentity},
            "shared-enc.tflite+identity.tflite",
            canon};
  }

  member.clear();
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

void refuse_read_error(const std::string& bundle, const std::string& member) {
  const std::string what = member.empty() ? bundle : member + " of " + bundle;
  try {
    throw;
  } catch (const MemberTooLarge& e) {
    refuse_oversized(e);
  } catch (const NotRegularMember& e) {
    fatal(e.what());
  } catch (const StagingWriteError&) {
    throw;
  } catch (const OSError& e) {
    fatal("cannot read " + what + ": " + os_error_text(e));
  } catch (const RuntimeError& e) {
    fatal("cannot read " + what + ": " + e.what());
  }
}

LoadedBundle load_bundle(const std::string& bundle, const std::optional<std::string>& engine) {
  std::string member;
  try {
    return load_bundle_unguarded(bundle, engine, member);
  } catch (...) {
    refuse_read_error(bundle, member);
  }
}

void refuse_oversized(const MemberTooLarge& e) { fatal(e.what()); }

void refuse_model(const std::string& bundle, const LoadedBundle& lb, const std::string& path, const std::string& why) {
  std::string member = path;
  for (size_t i = 0; i < lb.tflite_paths.size() && i < lb.members.size(); ++i)
    if (lb.tflite_paths[i] == path) member = lb.members[i];
  std::string reason = why;
  try {
    open_for_read(path);  // a file that cannot be opened at all: the system's reason says more
  } catch (const OSError& e) {
    reason = os_error_text(e);
  }
  fatal(bundle + ": " + member + " is not a model the chain can load (" + reason + ")");
}

void refuse_signatures(const std::string& bundle, const LoadedBundle& lb, const std::vector<std::string>& missing,
                       const std::vector<std::string>& have) {
  std::string members;
  for (size_t i = 0; i < lb.members.size(); ++i) members += (i ? " + " : "") + lb.members[i];
  fatal(bundle + ": " + members + (lb.members.size() > 1 ? " lack" : " lacks") + " the model chain's signature(s) " +
        repr_list(missing) + " (" + (lb.members.size() > 1 ? "they have " : "it has ") + repr_list(have) + ")");
}

}  // namespace quorvane::m2
