// Byte escaping shared by the command-line tools (and their tests) that show or record raw pipe
// frames.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace tooltext {

// Bytes -> one printable line: printable ASCII as it is, a backslash doubled, every other byte
// as \xHH, so a frame's exact bytes can be read back from the text.
inline std::string EscapeBytes(const char *bytes, size_t n) {
  std::string out;
  char hex[8];
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// The reverse of EscapeBytes: text with \xHH and \\ escapes -> bytes.
inline std::string UnescapeBytes(const std::string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      char hex[3] = {text[i + 2], text[i + 3], '\0'};
      out += static_cast<char>(strtoul(hex, nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace tooltext
