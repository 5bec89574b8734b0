/* The schedule part of the interface of pwdown.dll: the power-off/power-on times, the last power
 * failure, the power calendars and the result codes written into a calendar's lines.
 *
 * The schedule file "SCHEDULE.APC" in the DATA folder of the install directory is a sequence of
 * 16-byte records: ten digits (year within the century, month, day, hour, minute), the kind
 * "F" (power off) or "N" (power on), three blanks and CR LF. A control time is twelve digits:
 * year (four), month, day, hour, minute, no separators.
 *
 * A power calendar is a text file of lines ending in CR LF; of each line only the first 18
 * characters count: the result column (two characters, "00" on input), twelve digits of date
 * and time, the kind ("F", "N", or "U" for a line to leave out) and three blanks. Conversion
 * writes each line's result code over its result column.
 */
#pragma once

#include "quorin/qp_base.h"

/* X-macro list of the result codes of a calendar line: name, the two characters written into
 * the line, and what they mean. */
#define PC_CALENDAR_RESULT_LIST(X)                                                       \
  X(PC_CAL_ACCEPTED, "00", "converted, or a \"U\" line left out")                        \
  X(PC_CAL_NOT_FRESH, "10", "skipped: the result column was not \"00\"")                 \
  X(PC_CAL_BAD_YEAR, "11", "skipped: year not in 1970 to 2069")                          \
  X(PC_CAL_BAD_MONTH, "12", "skipped: month not in 1 to 12")                             \
  X(PC_CAL_BAD_DAY, "13", "skipped: day not valid for the month")                        \
  X(PC_CAL_BAD_HOUR, "14", "skipped: hour not in 0 to 23")                               \
  X(PC_CAL_BAD_MINUTE, "15", "skipped: minute not in 0 to 59")                           \
  X(PC_CAL_BAD_KIND, "16", "skipped: kind is not \"F\", \"N\" or \"U\"")                 \
  X(PC_CAL_BAD_BLANKS, "17", "skipped: columns 15 to 17 are not three blanks")           \
  X(PC_CAL_SHORT, "18", "skipped: line shorter than 20 bytes with its CR LF")            \
  X(PC_CAL_OUT_OF_ORDER, "20", "abandoned: not later than the entry accepted before it") \
  X(PC_CAL_TOO_LONG, "91", "abandoned: no CR LF within the first 2047 bytes")            \
  X(PC_CAL_NO_LINE_END, "92", "abandoned: the last line has no CR LF")

/* Writes one power-off/power-on pair into the schedule and tells the service. ON and OFF are
 * control times (only their first twelve characters are read); OFF must come before ON and
 * less than a year before it. */
QP_DLL_EXPORT int SetPowerControlTime(const char *on, const char *off);
/* Fills FIRST and SECOND (twelve characters each, no terminator) with the service's two
 * control times. */
QP_DLL_EXPORT int GetPowerControlTime(char *first, char *second);
/* Stores the service's record of the last power failure (a decimal number) in *VALUE. */
QP_DLL_EXPORT int GetPowerFailLastTime(int *value);
/* Checks and marks every line of the calendar at PATH and, when the calendar allows it,
 * replaces the schedule with its entries and tells the service. 1 when every line was
 * accepted; 0 with PC_ERR_CAL_SKIPPED when the schedule was replaced but lines were skipped;
 * 0 with any other error when the schedule stayed as it was (ERROR_INVALID_PARAMETER for a
 * calendar of which no line was accepted, an empty file among them: a calendar of "U" lines
 * only is the one that clears the schedule). */
QP_DLL_EXPORT int ConvertPowerCalendar(const char *path);
/* Copies the schedule file to PATH, overwriting it. 0 with a Windows error on failure. */
QP_DLL_EXPORT int GetPowerCalendar(const char *path);

/* Entry types for hosts that bind the exports by name. */
typedef int (*SetPowerControlTimeFn)(const char *on, const char *off);
typedef int (*GetPowerControlTimeFn)(char *first, char *second);
typedef int (*GetPowerFailLastTimeFn)(int *value);
typedef int (*ConvertPowerCalendarFn)(const char *path);
typedef int (*GetPowerCalendarFn)(const char *path);
