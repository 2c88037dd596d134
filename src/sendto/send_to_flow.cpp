#include "sendto/send_to_flow.h"

#include "platform/platform.h"

namespace qel {
int send_to_flow(const std::vector<std::filesystem::path>&, Config&) {
  platform::write_stderr("not available yet\n");
  return 1;
}
}  // namespace qel
