// Helpers shared by the fuzz targets: a scratch folder of the process, whole-file writes and
// reads, and the check that turns a broken property into a crash that libFuzzer keeps.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace qf {

// A fresh folder of this process under $TMPDIR (scripts/fuzz.sh points it at memory when it
// can), removed with its content when the process exits normally.
const std::string &scratch_dir();
// SUB under the scratch folder, created when missing (parents too).
std::string scratch_path(const std::string &sub);

void write_file(const std::string &path, const void *data, size_t size);
void write_file(const std::string &path, const std::string &content);
// The whole file, "" when it cannot be read.
std::string read_file(const std::string &path);
void remove_file(const std::string &path);

// Prints the broken property and aborts: libFuzzer reports the input that led here as a crash
// and saves it.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qf

#define QF_CHECK(condition, ...)               \
  do {                                         \
    if (!(condition)) ::qf::fail(__VA_ARGS__); \
  } while (0)
