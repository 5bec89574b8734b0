// Bounded line reading and the parse of the status tool's output.
#include "vex_output.h"

#include <string.h>

#include "vex_state.h"
#include "vex_text.h"

namespace vex {

bool readOutputLine(FILE *file, char *line, size_t size) {
  size_t length = 0;
  bool any = false, cut = false;
  int c;
  while ((c = getc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (length + 1 < size)
      line[length++] = static_cast<char>(c);
    else
      cut = true;
  }
  if (size > 0) {
    if (c == '\n' && !cut && length > 0 && line[length - 1] == '\r') --length;
    line[length] = '\0';
  }
  return any;
}

uint32_t parseServerStatus(FILE *file) {
  uint32_t state = kStateDefault;
  char line[kOutputLineSize];
  char cluster[kOutputLineSize] = "";
  size_t cluster_length = 0;
  while (readOutputLine(file, line, sizeof line)) {
    if (cluster_length == 0) {
      // An empty name would match every line: keep looking for a named cluster.
      const char *prefix = strstr(line, kStatusClusterPrefix);
      if (prefix != nullptr) {
        snprintf(cluster, sizeof cluster, "%s", prefix + strlen(kStatusClusterPrefix));
        cluster_length = strlen(cluster);
      }
      continue;
    }
    const char *at = strstr(line, cluster);
    if (at == nullptr) continue;
    at += cluster_length;
    while (*at == ' ' || *at == '.') ++at;
    if (*at != ':') continue;
    if (strstr(at + 1, kStatusStarted) != nullptr) state = kStateStarted;
    break;
  }
  return state;
}

}  // namespace vex
