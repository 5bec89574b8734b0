// The service log: one wrap-around text file written by every thread of the service.
#pragma once

#include <stdint.h>

// Appends one entry (TEXT cut to 256 characters, trailing blanks removed) with CODE printed
// as eight hex digits. Does nothing while LogMutex does not exist. Never fails visibly.
void ServiceLog(const char *text, uint32_t code = 0);

// Closes the log file kept open between entries; for the stop sequence, once LogMutex is
// gone and no thread can log any more.
void ServiceLogClose();

// Formats like printf into a buffer of SIZE (cut, never overflowing) and logs it.
void ServiceLogf(uint32_t code, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The name the service's lines carry in the journal.
inline constexpr const char kServiceLogIdentifier[] = "quomvlsv";

// Log file name under DATA and its size limit.
inline constexpr const char kServiceLogName[] = "QUOMVLSV.LOG";
inline constexpr long kServiceLogLimit = 5360000;
