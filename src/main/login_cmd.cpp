#include "main/runner.h"

namespace qel {
Status run_login(Config, const std::string&, const cmd::Login&, bool) { return fail("not available yet"); }
Status run_logout(const Config&, const std::string&) { return fail("not available yet"); }
}  // namespace qel
