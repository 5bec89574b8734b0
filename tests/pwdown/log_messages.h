// The messages of "pwdown.log" in the order written, for tests that check what an export
// traced: each line's code and its message without the padding.
#pragma once

#include <stdlib.h>

#include <string>
#include <vector>

#include "testsupport.h"

namespace pwt {

struct LogMessage {
  uint32_t code;
  std::string text;
};

// The lines from byte 10 up to the header's next-line offset (a log that has not wrapped).
inline std::vector<LogMessage> LogMessages(const std::string &path) {
  constexpr size_t kLine = 113, kPrefix = 31, kWidth = 80;
  std::string file = qt::read_file(path);
  std::vector<LogMessage> messages;
  if (file.size() < 10) return messages;
  size_t end = 10 + static_cast<size_t>(atol(file.substr(0, 8).c_str()));
  for (size_t pos = 10; pos + kLine <= file.size() && pos < end; pos += kLine) {
    std::string text = file.substr(pos + kPrefix, kWidth);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    messages.push_back({static_cast<uint32_t>(strtoul(file.substr(pos + 21, 8).c_str(), nullptr, 16)), text});
  }
  return messages;
}

inline std::vector<std::string> LogTexts(const std::string &path, bool without_pipe_lines = false) {
  std::vector<std::string> texts;
  for (const LogMessage &m : LogMessages(path))
    if (!without_pipe_lines || (m.text != "Pipe Write" && m.text != "Pipe Read")) texts.push_back(m.text);
  return texts;
}

inline int CountText(const std::vector<std::string> &texts, const std::string &text) {
  int n = 0;
  for (const std::string &t : texts) n += t == text ? 1 : 0;
  return n;
}

}  // namespace pwt
