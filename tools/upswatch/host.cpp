// The library side of upswatch: SNMPUPS.DLL loaded beside the program through the platform
// loader, its exports by name, and the time-stamped output the verbs share.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <mutex>
#include <string>

#include "upswatch.h"

namespace upswatch {

namespace {

qp_library *g_library = nullptr;
std::mutex g_print_lock;

}  // namespace

std::string ErrorText(uint32_t code) {
  const char *name = qp_error_name(code);
  char text[128];
  if (name != nullptr)
    snprintf(text, sizeof text, "%s (%u)", name, code);
  else
    snprintf(text, sizeof text, "error %u (0x%08X)", code, code);
  return text;
}

bool LoadLibrary() {
  if (g_library != nullptr) return true;
  char program[1024];
  if (qp_module_file_name(program, sizeof program) == 0) {
    fprintf(stderr, "%s: cannot find its own folder: %s\n", kProgram, ErrorText(GetLastError()).c_str());
    return false;
  }
  std::string path = program;
  size_t slash = path.find_last_of('/');
  path = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + kLibraryName;
  g_library = qp_library_load(path.c_str());
  if (g_library == nullptr) {
    uint32_t error = GetLastError();
    fprintf(stderr, "%s: cannot load %s: %s\n", kProgram, path.c_str(), ErrorText(error).c_str());
    if (error == ERROR_DLL_INIT_FAILED)
      fprintf(stderr,
              "%s: the library could not read its install directory: check \"PathName\" under "
              "SOFTWARE\\Tarvos\\QUORIN/MVL in the registry file (QUORIN_REGISTRY)\n",
              kProgram);
    return false;
  }
  return true;
}

void *Export(const char *name) {
  if (!LoadLibrary()) return nullptr;
  void *entry = qp_library_symbol(g_library, name);
  if (entry == nullptr) fprintf(stderr, "%s: %s has no export %s\n", kProgram, kLibraryName, name);
  return entry;
}

std::string TimeStamp() {
  qp_systemtime now;
  qp_local_time(&now);
  char text[32];
  snprintf(text, sizeof text, "%04u/%02u/%02u %02u:%02u:%02u.%03u", now.year, now.month, now.day, now.hour,
           now.minute, now.second, now.milliseconds);
  return text;
}

void PrintEvent(const char *format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard<std::mutex> hold(g_print_lock);
  printf("%s %s\n", TimeStamp().c_str(), text);
  fflush(stdout);
}

}  // namespace upswatch
