// Staging of model members: bytes of a container or zip member written to a private temporary
// file that LiteRT can load from a path, recorded until the chain has loaded it or the process ends.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tensorhost/bundle/staged_list.h"
#include "tensorhost/host/errors.h"

namespace quorvane::m2 {

/// A staged file could not be made or written (the staging directory is full, say): an OSError
/// naming the staged file. Kept apart from the errors of reading the bundle, which are the
/// bundle's fault, not the machine's.
struct StagingWriteError : OSError {
  using OSError::OSError;
};

/// The staging directory from MIRRANT2_STAGE_DIR (created with its parents), or nullopt for the
/// system's default temporary directory. An unusable directory is logged and gives nullopt.
std::optional<std::string> stage_dir();

/// Takes the staging directory for this process's own when MIRRANT2_STAGE_DIR_OWNED is "1" (the
/// parent made it for this host alone): it is then removed, once empty, when the process ends,
/// however it ends short of SIGKILL, so it goes even when the parent is gone by then.
void own_stage_dir_if_told();

/// A file that holds member `nm` of `bundle`: the member file itself when `bundle` is a directory
/// holding it as a regular file, else a new owner-only temporary file named "..._<basename of nm>"
/// holding `data`, recorded on the staged list only once it is written and closed.
/// Throws StagingWriteError when the file cannot be created or written.
std::string stage_tflite(const std::string& bundle, const std::string& nm, std::string_view data);

/// Member `nm` of `bundle` as stage_tflite gives it, its bytes streamed from the bundle into the
/// staged file rather than held in memory; nullopt when the bundle holds no such member. Throws
/// MemberTooLarge for a member above MEMBER_CEILING (no file is left), else as read_member (an
/// unreadable bundle) and stage_tflite.
std::optional<std::string> stage_member(const std::string& bundle, const std::string& nm);

}  // namespace quorvane::m2
