// A host program for SNMPUPS.DLL: loads it through the platform loader ("load") or with dlopen
// itself ("dlopen"), calls exports and prints what they returned, one line each; or only loads
// it through the platform loader, reports the outcome and exits ("attach").
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "quorin/platform.h"

namespace {

using StatusFn = int (*)(const char *, int *);
using Detail3Fn = int (*)(const char *, int *, int *, int *, int *, int *, char *);
using AddressFn = int (*)(const char *);
using AddressIntIntFn = int (*)(const char *, int, int);

// Calls every kind of export once against ADDRESS through SYMBOL and prints the results.
template <typename Lookup>
void CallExports(Lookup symbol, const char *address) {
  int value = -1, a = -1, b = -1, c = -1, d = -1;
  char state[65] = "untouched";
  auto status = reinterpret_cast<StatusFn>(symbol("GetUpsStatusFromSnmp"));
  auto input = reinterpret_cast<StatusFn>(symbol("GetUpsInputStatusFromSnmp"));
  auto detail3 = reinterpret_cast<Detail3Fn>(symbol("GetUpsDetailStatusFromSnmp3"));
  auto check = reinterpret_cast<AddressFn>(symbol("CheckOutletUpsSnmp"));
  auto off = reinterpret_cast<AddressIntIntFn>(symbol("SetUpsOffbySnmp"));
  auto power_fail = reinterpret_cast<AddressFn>(symbol("SetUpsPowerFailOffbySnmp"));
  if (status == nullptr || input == nullptr || detail3 == nullptr || check == nullptr || off == nullptr ||
      power_fail == nullptr) {
    printf("missing export\n");
    return;
  }
  int result = status(address, &value);
  printf("GetUpsStatusFromSnmp %d %d\n", result, value);
  printf("GetUpsInputStatusFromSnmp %d\n", input(address, &value));
  result = detail3(address, &value, &a, &b, &c, &d, state);
  printf("GetUpsDetailStatusFromSnmp3 %d %s\n", result, state);
  printf("CheckOutletUpsSnmp %d\n", check(address));
  printf("SetUpsOffbySnmp %d\n", off(address, 3, 2));
  printf("SetUpsPowerFailOffbySnmp %d\n", power_fail(address));
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "attach") == 0) {
    qp_library *library = qp_library_load(argv[2]);
    if (library == nullptr) {
      printf("load failed %u\n", GetLastError());
      return 0;
    }
    printf("loaded\n");
    qp_library_free(library);
    return 0;
  }
  if (argc != 4) {
    fprintf(stderr, "usage: snmpups_host_probe load|dlopen LIBRARY ADDRESS | attach LIBRARY\n");
    return 2;
  }
  if (strcmp(argv[1], "load") == 0) {
    qp_library *library = qp_library_load(argv[2]);
    if (library == nullptr) {
      printf("load failed %u\n", GetLastError());
      return 0;
    }
    printf("loaded\n");
    CallExports([&](const char *name) { return qp_library_symbol(library, name); }, argv[3]);
    qp_library_free(library);
    return 0;
  }
  void *handle = dlopen(argv[2], RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    printf("dlopen failed %s\n", dlerror());
    return 1;
  }
  printf("loaded\n");
  CallExports([&](const char *name) { return dlsym(handle, name); }, argv[3]);
  dlclose(handle);
  return 0;
}
