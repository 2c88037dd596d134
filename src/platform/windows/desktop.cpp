// Desktop services on Windows: the UI language, the clipboard tool and the URL opener.
#include <windows.h>

#include "platform/platform.h"

namespace qel::platform {

bool ui_language_is_romanian() {
  constexpr WORD ROMANIAN = 0x18;  // LANG_ROMANIAN
  return PRIMARYLANGID(::GetUserDefaultUILanguage()) == ROMANIAN;
}

std::vector<Command> clipboard_commands() { return {{"clip", {}}}; }

// The URL follows as the next argument.
Command url_opener() { return {"rundll32", {"url.dll,FileProtocolHandler"}}; }

}  // namespace qel::platform
