// Pieces of the send command, exposed for tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/result.h"
#include "main/cli.h"

namespace qel {


// The --mode text unchanged; without it "preview_download" under --no-encrypt, else "e2ee".
std::string resolve_send_mode(const cmd::Send& args);

// The option combinations, tested in order; the first failure's text.
Status check_send_options(const cmd::Send& args, const std::string& mode);

// Stores key -> the text (an empty one too) when present; leaves the object alone otherwise.
void insert_optional_string(Json& object, const std::string& key, std::optional<std::string> text);

// "YYYY-MM-DD" gains "T23:59:59"; every other text is sent unchanged.
std::string expiry_value(std::string text);

// The transfer options object; `password` is the one in force (option or prompt).
Json build_transfer_options(const cmd::Send& args, std::optional<std::string> password);

// What --json prints: the transfer with "link" set; a value that is not an object gives
// an object holding only "link".
Json transfer_with_link(const Json& transfer, const std::string& link);

}  // namespace qel
