#include "desktop/shortcut.h"

namespace qel {
Status install_send_to() { return fail("not available yet"); }
Status uninstall_send_to() { return fail("not available yet"); }
}  // namespace qel
