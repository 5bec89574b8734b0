// Scratch folders, file helpers and the property check of the fuzz targets.
#include "fuzz_support.h"

#include <ftw.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qf {

namespace {

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void remove_scratch() {
  nftw(scratch_dir().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

const std::string &scratch_dir() {
  static const std::string dir = [] {
    const char *base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quorin-fuzz.XXXXXX";
    std::string made = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    if (made.empty()) {
      perror("mkdtemp");
      abort();
    }
    atexit(remove_scratch);
    return made;
  }();
  return dir;
}

std::string scratch_path(const std::string &sub) {
  std::string path = scratch_dir();
  size_t start = 0;
  while (start <= sub.size()) {
    size_t slash = sub.find('/', start);
    path += "/" + sub.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    mkdir(path.c_str(), 0700);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return path;
}

void write_file(const std::string &path, const void *data, size_t size) {
  FILE *f = fopen(path.c_str(), "wbe");
  if (f == nullptr) fail("cannot write %s", path.c_str());
  if (size > 0 && fwrite(data, 1, size, f) != size) fail("short write to %s", path.c_str());
  fclose(f);
}

void write_file(const std::string &path, const std::string &content) {
  write_file(path, content.data(), content.size());
}

std::string read_file(const std::string &path) {
  FILE *f = fopen(path.c_str(), "rbe");
  if (f == nullptr) return "";
  std::string content;
  char buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, got);
  fclose(f);
  return content;
}

void remove_file(const std::string &path) {
  unlink(path.c_str());
}

void fail(const char *format, ...) {
  va_list args;
  va_start(args, format);
  fputs("PROPERTY BROKEN: ", stderr);
  vfprintf(stderr, format, args);
  fputc('\n', stderr);
  va_end(args);
  abort();
}

}  // namespace qf
