#include "main/runner.h"

namespace qel {
Status run_whoami(const ApiClient&, bool) { return fail("not available yet"); }
Status run_list(const ApiClient&, const cmd::List&, bool) { return fail("not available yet"); }
Status run_info(const ApiClient&, const cmd::Info&, bool) { return fail("not available yet"); }
Status run_delete(const ApiClient&, const cmd::Delete&, bool) { return fail("not available yet"); }
}  // namespace qel
