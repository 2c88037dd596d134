// The configuration file's reader over arbitrary bytes, against the rules worked out here
// with the JSON library's own parser: the text is accepted exactly when it is valid UTF-8
// without a byte-order mark, one strict JSON document, and either an object in which
// "api_key" and "api_url" each appear at most once with a string or null, or an array of
// two such values. The fields read are the document's, and what the writer makes of them
// reads back as the same record.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/json.h"
#include "common/text.h"
#include "config/config.h"
#include "fuzz_check.h"
#include "json_events.h"

namespace {

using qel::Json;

// Counts the members of the top-level object named "api_key" and "api_url"; the library's
// document keeps only the last of equal names.
class FieldCounter : public NestingEvents {
 public:
  int api_key = 0, api_url = 0;

  bool key(string_t& name) override {
    if (depth() == 1 && name == "api_key") ++api_key;
    if (depth() == 1 && name == "api_url") ++api_url;
    return true;
  }
};

bool is_field(const Json& value) { return value.is_null() || value.is_string(); }

std::optional<std::string> field_of(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  return std::nullopt;
}

std::optional<qel::Config> expected(std::string_view text) {
  if (!qel::is_valid_utf8(text) || text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  // No JSON text holds a NUL byte; the library alone would end the input there.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const Json document = Json::parse(text.begin(), text.end(), nullptr, false);
  if (document.is_discarded()) return std::nullopt;
  if (document.is_object()) {
    FieldCounter counter;
    FUZZ_CHECK(Json::sax_parse(text.begin(), text.end(), &counter));
    if (counter.api_key > 1 || counter.api_url > 1) return std::nullopt;
    const Json& key = qel::member(document, "api_key");
    const Json& url = qel::member(document, "api_url");
    if (!is_field(key) || !is_field(url)) return std::nullopt;
    return qel::Config{field_of(key), field_of(url)};
  }
  if (document.is_array() && document.size() == 2 && is_field(document[0]) &&
      is_field(document[1])) {
    return qel::Config{field_of(document[0]), field_of(document[1])};
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<qel::Config> config = qel::parse_config_text(text);
  const std::optional<qel::Config> want = expected(text);
  FUZZ_CHECK(config.has_value() == want.has_value());
  if (!config) return 0;
  FUZZ_CHECK(config->api_key == want->api_key);
  FUZZ_CHECK(config->api_url == want->api_url);

  const std::optional<qel::Config> again = qel::parse_config_text(qel::config_file_bytes(*config));
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->api_key == config->api_key);
  FUZZ_CHECK(again->api_url == config->api_url);
  return 0;
}
