// Turning an avatar bundle into what the model chain loads, and refusing bundles that break the
// contract.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tensorhost/chain/tensor.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

struct LoadedBundle {
  std::vector<std::string> tflite_paths;  // load order: the first file wins per signature
  std::vector<std::string> members;       // what each path is, for a refusal: the member's name
  std::string model_name;                 // shown in the start-up log
  FloatTensor canon;                      // 74880 float32 values, owned
};

/// Loads a bundle (directory, .imx or zip). Every breach of the contract logs one "FATAL: " line
/// and throws ExitRequest(3), which leaves through Python so the exit hook still removes staged
/// copies: a bundle that is not there or cannot be read (the system's reason given), a member
/// that cannot be read, a declared base that is no sha256 digest, and the refusals of the
/// contract itself. Other errors (a failing staging write, the dependency store's) propagate.
LoadedBundle load_bundle(const std::string& bundle, const std::optional<std::string>& engine);

/// Refuses the bundle for a member too large to read (see MemberTooLarge) as load_bundle refuses
/// a contract breach: one "FATAL: " line, then ExitRequest(3).
[[noreturn]] void refuse_oversized(const MemberTooLarge& e);

/// Called inside a catch handler around a read of `member` of `bundle` (empty: the bundle
/// itself): a bundle that holds a member but cannot give it (a member file that cannot be read, a
/// damaged zip entry, one too large) breaks its contract as a missing member does, and is refused
/// so. Rethrows anything else, a staged copy that cannot be written among it: that is the
/// machine's fault, not the bundle's.
[[noreturn]] void refuse_read_error(const std::string& bundle, const std::string& member);

/// Refuses the bundle for the model file `path` of `lb` that the runtime would not load (`why`,
/// its error), naming the bundle and the member, as a contract breach.
[[noreturn]] void refuse_model(const std::string& bundle, const LoadedBundle& lb, const std::string& path,
                               const std::string& why);

/// Refuses the bundle whose model members, taken together, lack the chain's signatures `missing`
/// (they offer `have`), as a contract breach.
[[noreturn]] void refuse_signatures(const std::string& bundle, const LoadedBundle& lb,
                                    const std::vector<std::string>& missing, const std::vector<std::string>& have);

}  // namespace quorvane::m2
