#include "sendto/mail_link.h"

#include <limits>

#include "common/text.h"
#include "main/format.h"
#include "sendto/texts.h"

namespace qel {

std::string percent_encode(std::string_view bytes) {
  static constexpr char HEX[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(3 * bytes.size());
  for (const char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                            (b >= '0' && b <= '9') || b == '-' || b == '_' || b == '.' ||
                            b == '~';
    if (unreserved) {
      out += ch;
    } else {
      out += '%';
      out += HEX[b >> 4];
      out += HEX[b & 0x0F];
    }
  }
  return out;
}

std::string build_mail_link(bool romanian, std::size_t file_count, std::uint64_t total_size,
                            std::string_view link, std::string_view expiry) {
  const SendToTexts& t = send_to_texts(romanian);
  const std::string count =
      file_count == 1 ? std::string(t.count_one) : fill(t.count_many, {std::to_string(file_count)});
  std::string body = fill(t.body, {count, format_size(total_size), link});
  if (!expiry.empty()) body += fill(t.expiry_line, {expiry});
  return fill(MAIL_LINK, {percent_encode(t.subject), percent_encode(body)});
}

std::int64_t transfer_id_of(const Json& transfer) {
  return signed_integer(member(transfer, "id")).value_or(0);
}

std::string expiry_date_of(const Json& transfer) {
  const Json& value = member(transfer, "expires_at");
  if (!value.is_string()) return {};
  const auto& text = value.get_ref<const std::string&>();
  if (text.size() < 10) return {};
  const std::string_view s(text);
  const std::string_view day = s.substr(8, 2), month = s.substr(5, 2), year = s.substr(0, 4);
  // A cut inside a multi-byte character would leave broken text: no date line then.
  if (!is_valid_utf8(day) || !is_valid_utf8(month) || !is_valid_utf8(year)) return {};
  return fill("{}.{}.{}", {day, month, year});
}

}  // namespace qel
