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
  std::string model_name;                 // shown in the start-up log
  FloatTensor canon;                      // 74880 float32 values, owned
};

/// Loads a bundle (directory, .imx or zip). Every breach of the contract logs one "FATAL: " line
/// and throws ExitRequest(3), which leaves through Python so the exit hook still removes staged
/// copies. Other errors (unreadable bundle, failing staging write) propagate.
LoadedBundle load_bundle(const std::string& bundle, const std::optional<std::string>& engine);

/// Refuses the bundle for a member too large to read (see MemberTooLarge) as load_bundle refuses
/// a contract breach: one "FATAL: " line, then ExitRequest(3).
[[noreturn]] void refuse_oversized(const MemberTooLarge& e);

}  // namespace quorvane::m2
