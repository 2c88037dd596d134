// A reader of the JSON library's parse events that accepts every value and counts how deep
// the reader is; a target overrides the events it looks at.
#pragma once

#include <cstddef>
#include <string>

#include "common/json.h"

class NestingEvents : public nlohmann::json_sax<qel::Json> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool key(string_t&) override { return true; }
  bool start_object(std::size_t) override { return enter(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_object() override { return --depth_, true; }
  bool end_array() override { return --depth_, true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 protected:
  // Called on each opening bracket after the depth has grown; false stops the parse.
  virtual bool entered() { return true; }
  std::size_t depth() const { return depth_; }

 private:
  bool enter() {
    ++depth_;
    return entered();
  }
  std::size_t depth_ = 0;
};
