// pwdown_schedule_loop: a host of pwdown.dll that changes the schedule in a loop, for the crash
// and concurrency tests. Usage:
//
//   pwdown_schedule_loop LIBRARY CALLS ACTION...
//
// loads pwdown.dll from the path LIBRARY and runs CALLS calls (0: until killed), cycling through the ACTIONs:
// "set:ON:OFF" calls SetPowerControlTime(ON, OFF), "cal:PATH" calls ConvertPowerCalendar(PATH). Before call K
// it writes "B K" and after it "E K RESULT ERROR" to standard output, each line flushed, so that a test that
// kills it knows which call was under way. Exit status 0 when every call returned 1.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pwdown.h"
#include "quorin/platform.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pwdown_schedule_loop LIBRARY CALLS set:ON:OFF|cal:PATH...\n");
    return 2;
  }
  long calls = strtol(argv[2], nullptr, 10);
  std::vector<std::string> actions(argv + 3, argv + argc);
  qp_library *library = qp_library_load(argv[1]);
  if (library == nullptr) {
    fprintf(stderr, "cannot load %s: %u\n", argv[1], GetLastError());
    return 3;
  }
  auto set = reinterpret_cast<SetPowerControlTimeFn>(qp_library_symbol(library, "SetPowerControlTime"));
  auto convert = reinterpret_cast<ConvertPowerCalendarFn>(qp_library_symbol(library, "ConvertPowerCalendar"));
  if (set == nullptr || convert == nullptr) return 3;

  int status = 0;
  for (long k = 0; calls == 0 || k < calls; ++k) {
    const std::string &action = actions[static_cast<size_t>(k) % actions.size()];
    printf("B %ld\n", k);
    fflush(stdout);
    int result = 0;
    if (action.compare(0, 4, "set:") == 0 && action.size() == 4 + 12 + 1 + 12) {
      result = set(action.substr(4, 12).c_str(), action.substr(17, 12).c_str());
    } else if (action.compare(0, 4, "cal:") == 0) {
      result = convert(action.substr(4).c_str());
    } else {
      fprintf(stderr, "unknown action %s\n", action.c_str());
      return 2;
    }
    uint32_t error = GetLastError();
    printf("E %ld %d %08X\n", k, result, result == 1 ? 0u : error);
    fflush(stdout);
    if (result != 1) status = 1;
  }
  qp_library_free(library);
  return status;
}
