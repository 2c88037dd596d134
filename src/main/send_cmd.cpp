#include "main/runner.h"

namespace qel {
Status run_send(const ApiClient&, const cmd::Send&, bool) { return fail("not available yet"); }
}  // namespace qel
