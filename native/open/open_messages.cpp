#include "open/open_messages.h"

namespace quorvane::open {

const char* const kCannotRunHere =
    "that avatar cannot run on this machine. Render it in the cloud with the Video API "
    "(POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.";

std::string service_code_message(const std::string& code) {
  return code +
         " names an avatar held by the service, and this package renders an avatar that is on "
         "this machine. Run `python -m quorvane render " +
         code +
         " <audio>` to fetch it and render it here, or render it in the cloud with the Video API "
         "(POST /v1/video/generate).";
}

}  // namespace quorvane::open
