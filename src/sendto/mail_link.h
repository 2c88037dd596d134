// The "mailto:" link of the Send To flow and the readings of the transfer it describes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/json.h"

namespace qel {

// Letters, digits and "-_.~" stay; every other byte becomes "%XX".
std::string percent_encode(std::string_view bytes);

// `expiry` empty: the mail has no line on the link's validity.
std::string build_mail_link(bool romanian, std::size_t file_count, std::uint64_t total_size,
                            std::string_view link, std::string_view expiry);

// The transfer's "id"; 0 when missing or not a signed 64-bit integer.
std::int64_t transfer_id_of(const Json& transfer);

// "day.month.year" from the transfer's "expires_at"; empty when it cannot be read.
std::string expiry_date_of(const Json& transfer);

}  // namespace qel
