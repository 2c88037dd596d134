#include "desktop/shortcut.h"

#include <cstdint>
#include <string>

#include "common/text.h"
#include "platform/platform.h"
#include "platform/utf16.h"
#include "platform/windows_rules.h"

namespace qel {
namespace {

constexpr std::string_view SHORTCUT_NAME = "Dropvale";
constexpr std::string_view SHORTCUT_ARGUMENTS = "sendto";

// Link flags: HasLinkInfo, HasName, HasWorkingDir, HasArguments, HasIconLocation,
// IsUnicode, HasExpString.
constexpr std::uint32_t LINK_FLAGS = 0x2F6;
constexpr std::uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr std::uint32_t SW_SHOWNORMAL = 1;
constexpr std::uint32_t DRIVE_FIXED = 3;
constexpr std::uint32_t ENVIRONMENT_BLOCK_SIZE = 0x314;
constexpr std::uint32_t ENVIRONMENT_BLOCK_SIGNATURE = 0xA0000001;
constexpr std::size_t ENV_ANSI_SIZE = 260;
constexpr std::size_t ENV_UNICODE_SIZE = 520;

constexpr unsigned char LINK_CLSID[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                          0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

void put_u16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}

void put_u32(std::string& out, std::uint32_t v) {
  put_u16(out, v & 0xFFFF);
  put_u16(out, v >> 16);
}

void put_zeros(std::string& out, std::size_t count) { out.append(count, '\0'); }

// The UTF-16 code units of a text; ill-formed bytes count as U+FFFD, as path_text makes them.
std::u16string utf16_units(std::string_view text) {
  return platform::utf16_from_wtf8(utf8_lossy(text));
}

std::string units_bytes(std::u16string_view units, std::size_t count) {
  std::string out;
  out.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) put_u16(out, units[i]);
  return out;
}

// Exactly `size` bytes: `bytes` cut, or filled with zeros.
std::string fixed_field(std::string bytes, std::size_t size) {
  bytes.resize(size, '\0');
  return bytes;
}

}  // namespace

std::string utf16le_bytes(std::string_view text) {
  const auto units = utf16_units(text);
  return units_bytes(units, units.size());
}

std::string ansi_path_bytes(std::string_view text) {
  // One byte per code point: ASCII as itself, anything else (a pair of UTF-16 units too)
  // as "?".
  const std::u16string units = utf16_units(text);
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    out += u < 0x80 ? static_cast<char>(u) : '?';
    if (u >= 0xD800 && u <= 0xDBFF) ++i;  // a pair from one code point (lossy text has no lone ones)
  }
  out += '\0';
  return out;
}

std::string lnk_string(std::string_view text) {
  const auto units = utf16_units(text);
  // The count field holds 16 bits; a longer text is cut so count and units always agree.
  const std::size_t count = units.size() < 0xFFFF ? units.size() : 0xFFFF;
  std::string out;
  put_u16(out, static_cast<std::uint32_t>(count));
  out += units_bytes(units, count);
  return out;
}

std::string build_send_to_shortcut(std::string_view target, std::string_view working_folder) {
  const std::string ansi = ansi_path_bytes(target);
  const std::string unicode = utf16le_bytes(target) + std::string(2, '\0');
  const auto a = static_cast<std::uint32_t>(ansi.size());
  const auto u = static_cast<std::uint32_t>(unicode.size());

  std::string out;
  // ShellLinkHeader
  put_u32(out, 0x4C);
  out.append(reinterpret_cast<const char*>(LINK_CLSID), sizeof LINK_CLSID);
  put_u32(out, LINK_FLAGS);
  put_u32(out, FILE_ATTRIBUTE_ARCHIVE);
  put_zeros(out, 3 * 8);  // creation, access and write times
  put_u32(out, 0);        // file size
  put_u32(out, 0);        // icon index
  put_u32(out, SW_SHOWNORMAL);
  put_u16(out, 0);        // hot key
  put_u16(out, 0);        // reserved
  put_u32(out, 0);
  put_u32(out, 0);

  // LinkInfo with a VolumeID and a local base path, ANSI and Unicode.
  put_u32(out, 56 + a + u);
  put_u32(out, 0x24);
  put_u32(out, 1);  // VolumeIDAndLocalBasePath
  put_u32(out, 0x24);
  put_u32(out, 53);
  put_u32(out, 0);
  put_u32(out, 53 + a);
  put_u32(out, 54 + a);
  put_u32(out, 54 + a + u);
  put_u32(out, 0x11);
  put_u32(out, DRIVE_FIXED);
  put_u32(out, 0);     // serial number
  put_u32(out, 0x10);  // volume label offset
  out += '\0';         // empty volume label
  out += ansi;
  out += '\0';  // empty common path suffix
  out += unicode;
  put_u16(out, 0);  // empty Unicode common path suffix

  // StringData
  out += lnk_string(SHORTCUT_NAME);
  out += lnk_string(working_folder);
  out += lnk_string(SHORTCUT_ARGUMENTS);
  out += lnk_string(target);

  // EnvironmentVariableDataBlock, then the TerminalBlock.
  put_u32(out, ENVIRONMENT_BLOCK_SIZE);
  put_u32(out, ENVIRONMENT_BLOCK_SIGNATURE);
  out += fixed_field(ansi, ENV_ANSI_SIZE);
  out += fixed_field(utf16le_bytes(target), ENV_UNICODE_SIZE);
  put_u32(out, 0);
  return out;
}

Result<std::filesystem::path> send_to_shortcut_path() {
  const auto appdata = platform::env_text("APPDATA");
  if (!appdata) return fail("APPDATA is not set");
  return platform::path_from_text(*appdata) / "Microsoft" / "Windows" / "SendTo" / "Dropvale.lnk";
}

Status install_send_to() {
  auto exe = platform::executable_path();
  if (!exe) return fail(std::move(exe).error());
  const std::string exe_text = platform::path_text(*exe);
  const std::string target(platform::strip_verbatim_prefix(exe_text));
  const std::filesystem::path target_path = platform::path_from_text(target);
  const std::string working_folder =
      target_path.has_relative_path() && target_path.has_parent_path()
          ? platform::path_text(target_path.parent_path())
          : std::string();

  auto shortcut = send_to_shortcut_path();
  if (!shortcut) return fail(std::move(shortcut).error());
  const std::filesystem::path& path = *shortcut;

  if (path.has_parent_path()) {
    if (auto made = platform::create_folders(path.parent_path(), false); !made) {
      return fail(std::move(made).error());
    }
  }
  const std::string bytes = build_send_to_shortcut(target, working_folder);
  if (auto written = platform::write_file(path, bytes, false); !written) {
    return fail(platform::path_text(path) + ": " + written.error());
  }
  platform::write_stdout("Added \"Dropvale\" to the Send to menu (" +
                         terminal_text(platform::path_text(path)) + ").\n");
  platform::write_stdout(
      "The shortcut points to this qel.exe; if you move it, run \"qel install\" again.\n");
  return {};
}

Status uninstall_send_to() {
  auto shortcut = send_to_shortcut_path();
  if (!shortcut) return fail(std::move(shortcut).error());
  if (!platform::path_exists(*shortcut, true)) {
    platform::write_stdout("\"Dropvale\" was not in the Send to menu.\n");
    return {};
  }
  if (auto removed = platform::remove_file(*shortcut); !removed) {
    return fail(std::move(removed).error());
  }
  platform::write_stdout("Removed \"Dropvale\" from the Send to menu.\n");
  return {};
}

}  // namespace qel
