// Fuzzes the cluster-control library's reading of the cluster manager's tool output: every
// input is the output file of the status tool.
//
// Properties: the status parse gives one of its two states; the bounded line reader never
// writes past its buffer (each buffer has exactly the size it is given, on the heap), always
// terminates, never returns a line end, and returns no more lines than the file has.
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "fuzz_support.h"
#include "vex_output.h"
#include "vex_state.h"

namespace {

// The input as a stream; fmemopen needs a buffer of at least one byte.
FILE *Open(std::vector<char> &copy) {
  FILE *file = fmemopen(copy.data(), copy.size(), "rb");
  QF_CHECK(file != nullptr, "fmemopen failed");
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::vector<char> copy(data, data + size);

  FILE *file = Open(copy);
  uint32_t state = vex::parseServerStatus(file);
  fclose(file);
  QF_CHECK(state == vex::kStateDefault || state == vex::kStateStarted, "status 0x%08x", state);

  long line_ends = std::count(copy.begin(), copy.end(), '\n');
  for (size_t room : {size_t{1}, size_t{2}, size_t{3}, size_t{9}, size_t{vex::kOutputLineSize}}) {
    file = Open(copy);
    std::vector<char> line(room);
    long lines = 0;
    while (vex::readOutputLine(file, line.data(), room)) {
      ++lines;
      size_t length = strnlen(line.data(), room);
      QF_CHECK(length < room, "a line read into %zu bytes is not terminated", room);
      QF_CHECK(memchr(line.data(), '\n', length) == nullptr, "a line holds its line end");
      QF_CHECK(lines <= line_ends + 1, "%ld lines from a file of %ld line ends", lines, line_ends);
    }
    fclose(file);
  }
  return 0;
}
