// Every text the Send To flow shows or puts in its mail, in English and Romanian.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace qel {

struct SendToTexts {
  // Printed on standard error; "{}" marks where a value goes.
  std::string_view hint;
  std::string_view warning_label;
  std::string_view summary;
  std::string_view summary_word_one;
  std::string_view summary_word_many;
  std::string_view done;
  std::string_view clipboard_done;
  std::string_view mail_opened;
  std::string_view countdown;
  std::string_view error_label;
  std::string_view not_connected;
  std::string_view closing_prompt;
  // The mail.
  std::string_view subject;
  std::string_view count_one;
  std::string_view count_many;
  std::string_view body;
  std::string_view expiry_line;
};

inline constexpr std::string_view WINDOW_TITLE = "\x1b]0;{}\x07";
inline constexpr std::string_view DISPLAY_NAME = "Dropvale";
inline constexpr std::string_view MAIL_LINK = "mailto:?subject={}&body={}";

const SendToTexts& send_to_texts(bool romanian);

// Replaces each "{}" of `pattern` by the next value, in order.
std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values);

}  // namespace qel
