# The Windows build's dependencies and settings, included from the top-level CMakeLists.txt.
# It defines the same imported targets the Linux build gets from find_package (CURL::libcurl,
# OpenSSL::SSL, OpenSSL::Crypto, nlohmann_json::nlohmann_json, CLI11::CLI11), so the rest of
# the build is written once.

enable_language(RC)

# One exe that imports only Windows system DLLs: libstdc++, libgcc and winpthread go in.
add_link_options(-static)

# Windows 10 API level; wide-character Win32 functions by default; no min/max macros.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 UNICODE _UNICODE
                        WIN32_LEAN_AND_MEAN NOMINMAX)

# -O3 gives -Wrestrict false positives in libstdc++'s string code with this compiler.
foreach(flags_var CMAKE_CXX_FLAGS_RELEASE CMAKE_C_FLAGS_RELEASE)
  string(REPLACE "-O3" "-O2" ${flags_var} "${${flags_var}}")
endforeach()

# ---- OpenSSL and libcurl: static builds made by scripts/build-windows-deps.sh ------------------
set(QEL_WINDOWS_DEPS "" CACHE PATH
    "Prefix holding static OpenSSL and libcurl for Windows (printed by scripts/build-windows-deps.sh)")
if(NOT QEL_WINDOWS_DEPS)
  message(FATAL_ERROR "Set QEL_WINDOWS_DEPS to the prefix printed by scripts/build-windows-deps.sh")
endif()
foreach(file include/curl/curl.h include/openssl/ssl.h lib/libcurl.a lib/libssl.a lib/libcrypto.a)
  if(NOT EXISTS "${QEL_WINDOWS_DEPS}/${file}")
    message(FATAL_ERROR "${QEL_WINDOWS_DEPS}/${file} is missing: run scripts/build-windows-deps.sh")
  endif()
endforeach()

# zlib from the MinGW sysroot (libz-mingw-w64-dev); the static archive, not the DLL's import library.
find_library(QEL_WINDOWS_ZLIB NAMES libz.a REQUIRED)

set(QEL_WINDOWS_SYSTEM_LIBS ws2_32 crypt32 bcrypt advapi32 user32)
# What the Win32 platform layer calls besides: known folders, shell links, COM.
set(QEL_WINDOWS_PLATFORM_LIBS shell32 ole32 uuid)

add_library(OpenSSL::Crypto STATIC IMPORTED)
set_target_properties(OpenSSL::Crypto PROPERTIES
  IMPORTED_LOCATION "${QEL_WINDOWS_DEPS}/lib/libcrypto.a"
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_WINDOWS_DEPS}/include"
  INTERFACE_LINK_LIBRARIES "${QEL_WINDOWS_SYSTEM_LIBS}")

add_library(OpenSSL::SSL STATIC IMPORTED)
set_target_properties(OpenSSL::SSL PROPERTIES
  IMPORTED_LOCATION "${QEL_WINDOWS_DEPS}/lib/libssl.a"
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_WINDOWS_DEPS}/include"
  INTERFACE_LINK_LIBRARIES OpenSSL::Crypto)

# Link order: -lcurl -lssl -lcrypto -lz and then the system libraries.
add_library(CURL::libcurl STATIC IMPORTED)
set_target_properties(CURL::libcurl PROPERTIES
  IMPORTED_LOCATION "${QEL_WINDOWS_DEPS}/lib/libcurl.a"
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_WINDOWS_DEPS}/include"
  INTERFACE_COMPILE_DEFINITIONS CURL_STATICLIB
  INTERFACE_LINK_LIBRARIES "OpenSSL::SSL;OpenSSL::Crypto;${QEL_WINDOWS_ZLIB};${QEL_WINDOWS_SYSTEM_LIBS}")

# ---- Header-only libraries --------------------------------------------------------------------
# Debian's CMake packages for these add -isystem /usr/include, which would pull glibc's headers
# into the cross build. A folder holding only links to their header folders is used instead.
set(QEL_HEADER_ONLY_ROOT "/usr/include" CACHE PATH
    "Folder holding the nlohmann/ and CLI/ header folders")
set(QEL_STAGED_INCLUDE "${CMAKE_BINARY_DIR}/staged-include")
file(MAKE_DIRECTORY "${QEL_STAGED_INCLUDE}")
foreach(header_dir nlohmann CLI)
  if(NOT IS_DIRECTORY "${QEL_HEADER_ONLY_ROOT}/${header_dir}")
    message(FATAL_ERROR "${QEL_HEADER_ONLY_ROOT}/${header_dir} is missing (nlohmann-json3-dev, libcli11-dev)")
  endif()
  file(CREATE_LINK "${QEL_HEADER_ONLY_ROOT}/${header_dir}" "${QEL_STAGED_INCLUDE}/${header_dir}" SYMBOLIC)
endforeach()

add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_STAGED_INCLUDE}")
add_library(CLI11::CLI11 INTERFACE IMPORTED)
set_target_properties(CLI11::CLI11 PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${QEL_STAGED_INCLUDE}")
