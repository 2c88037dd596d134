# Turns a PEM bundle into a C++ source that defines the root certificates as one blob.
file(READ "${INPUT}" pem HEX)
string(LENGTH "${pem}" hex_length)
math(EXPR byte_count "${hex_length} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${pem}")
string(REGEX REPLACE "(0x[0-9a-f][0-9a-f],){32}" "\\0\n" bytes "${bytes}")
file(WRITE "${OUTPUT}" "// Generated from ${INPUT}; do not edit.\n#include <cstddef>\n\nnamespace qel::api {\nextern const unsigned char kRootCertificates[] = {\n${bytes}\n};\nextern const std::size_t kRootCertificatesSize = ${byte_count};\n}  // namespace qel::api\n")
