#include "tensorhost/host/log.h"

#include "tensorhost/host/fdio.h"

namespace quorvane::m2 {

void elog_parts(const std::vector<std::string>& parts) {
  std::string line(LOG_PREFIX);
  for (const auto& p : parts) {
    line += ' ';
    line += p;
  }
  line += '\n';
  write_all(2, line.data(), line.size());
}

void elog(std::string_view text) { elog_parts({std::string(text)}); }

}  // namespace quorvane::m2
