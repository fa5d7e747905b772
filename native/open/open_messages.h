// The texts that opening an avatar gives the user.
#pragma once

#include <string>

namespace quorvane::open {

/// The avatar needs an engine this machine does not have.
extern const char* const kCannotRunHere;

/// `code` names an avatar held by the service, not a file on this machine.
std::string service_code_message(const std::string& code);

}  // namespace quorvane::open
