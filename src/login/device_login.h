// Device-code sign-in: show a code and a page, open the browser, poll until approved.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/result.h"

namespace qel {

// What the program reads of the reply to POST "/auth/device".
struct DeviceAuthorization {
  std::string device_code;
  std::string user_code;
  std::string verification_url;
  std::string verification_url_complete;
  std::uint64_t interval = 3;  // whole seconds; a 0 from the service is read as 1
  std::uint64_t expires_in = 600;
};

// None when the reply has no string "device_code".
std::optional<DeviceAuthorization> read_device_authorization(const Json& reply);

struct LoginResult {
  std::string token;
  Json account;
};

Result<LoginResult> device_login(std::string_view base_url, bool romanian);

std::string logged_in_greeting(bool romanian, const Json& account);

// The name under which the sign-in is listed on the account.
std::string computer_name();

// "qel - {computer} ({operating system})".
std::string client_name(std::string_view computer);

}  // namespace qel
