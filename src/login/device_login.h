// Device-code sign-in: show a code and a page, open the browser, poll until approved.
#pragma once

#include <string>
#include <string_view>

#include "common/json.h"
#include "common/result.h"

namespace qel {

struct LoginResult {
  std::string token;
  Json account;
};

Result<LoginResult> device_login(std::string_view base_url, bool romanian);

std::string logged_in_greeting(bool romanian, const Json& account);

std::string computer_name();

}  // namespace qel
