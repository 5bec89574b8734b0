// The command processor: turns one pipe request into one reply, in place.
#pragma once

#include <stdint.h>

// BUFFER holds the request (LENGTH bytes of a 4096-byte buffer) and receives the reply.
// Result 0 when no reply is to be sent (requests shorter than 8 bytes), else 1 with
// *REPLY_SIZE set.
int ProcessCommand(char *buffer, uint32_t length, uint32_t *reply_size);

// A 132-byte record of "SHARE_DK.APC": address, name, state.
struct ShareDiskRecord {
  char address[64];
  char name[64];
  unsigned char state[4];  // 32-bit signed, little-endian: 2 on line, 1 not on line, -1 unread
};
static_assert(sizeof(ShareDiskRecord) == 132, "the file format has 132-byte records");
