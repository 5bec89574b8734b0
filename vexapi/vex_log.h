// The cluster-control library's log file "ky_vexapi4.log", appended and rotated once past 500,000 bytes.
#pragma once

#include <stdint.h>

namespace vex {

// Appends one line "<time> [<code>]: <message>" (MESSAGE nullptr = empty). Never fails
// visibly: a line that cannot be written is lost. Keeps the caller's last-error value.
void libraryLog(const char *message, uint32_t code);

// libraryLog with a printf-style message, cut to the line's room.
void libraryLogf(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace vex
