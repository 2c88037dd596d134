#include "sendto/texts.h"

namespace qel {
namespace {

constexpr SendToTexts ENGLISH{
    .hint = "To send files: right click on them -> Send to -> Dropvale.",
    .warning_label = "Warning:",
    .summary = "Sending {} file{} ({}), end-to-end encrypted\n",
    .summary_word_one = "",
    .summary_word_many = "s",
    .done = "Done. Transfer #{} is active.\n",
    .clipboard_done = "The link was copied to the clipboard.",
    .mail_opened = "Opening a new email with the link...",
    .countdown = "\rThis window closes in {} s. ",
    .error_label = "Error:",
    .not_connected = "You are not connected to Dropvale.",
    .closing_prompt = "Press Enter to close.",
    .subject = "Files sent with Dropvale",
    .count_one = "1 file",
    .count_many = "{} files",
    .body = "Hello,\r\n\r\nHere are the files, sent with Dropvale ({}, {}):\r\n{}\r\n",
    .expiry_line = "\r\nThe link is valid until {}.\r\n",
};

constexpr SendToTexts ROMANIAN{
    .hint = "Pentru a trimite fișiere: click dreapta pe ele -> Trimite către -> Dropvale.",
    .warning_label = "Atenție:",
    .summary = "Trimit {} {} ({}), criptat end-to-end\n",
    .summary_word_one = "fișier",
    .summary_word_many = "fișiere",
    .done = "Gata. Transferul #{} este activ.\n",
    .clipboard_done = "Linkul a fost copiat în clipboard.",
    .mail_opened = "Se deschide un mail nou cu linkul...",
    .countdown = "\rFereastra se închide în {} s. ",
    .error_label = "Eroare:",
    .not_connected = "Nu ești conectat la Dropvale.",
    .closing_prompt = "Apasă Enter pentru a închide.",
    .subject = "Fișiere trimise prin Dropvale",
    .count_one = "1 fișier",
    .count_many = "{} fișiere",
    .body = "Bună ziua,\r\n\r\nVă trimit fișierele prin Dropvale ({}, {}):\r\n{}\r\n",
    .expiry_line = "\r\nLinkul este valabil până la {}.\r\n",
};

}  // namespace

const SendToTexts& send_to_texts(bool romanian) { return romanian ? ROMANIAN : ENGLISH; }

std::string fill(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  auto next = values.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
        next != values.end()) {
      out += *next++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace qel
