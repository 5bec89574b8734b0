// The status line of one UPS for its UPS log: sixteen values read from the card (eighteen for a
// Symmetra registered in the UPS information file), each as a fixed-width column or dashes.
// Used by the check engine's rotation, the on-demand status line and the UPS identification.
#pragma once

#include <stdint.h>

// Room a status line needs ("line" of BuildUpsStatusLine); a full line is well under 100
// characters, and the line is cut, never overrun, at this size.
constexpr int STATUS_LINE_SIZE = 130;

// The line of a UPS without an address: 52 dashes.
inline constexpr char STATUS_LINE_NO_ADDRESS[] = "----------------------------------------------------";
// The line written when a registered UPS did not answer: the columns' failure texts without
// the Symmetra columns, 60 characters.
inline constexpr char STATUS_LINE_NO_ANSWER[] =
    " - -- --- --- --- --  -- - --- -- ---- ---  --- --- ----  - ";

// The UPS information file under the data directory, and the keys read from it here.
inline constexpr char UPS_INFO_FILE[] = "UPS\\UPSinfo.ini";
inline constexpr char UPS_INFO_KEY_IP[] = "IP";
inline constexpr char UPS_INFO_KEY_TYPE[] = "UPS_type";

// Unit codes of the status lines: 9000 + slot for the first unit-table slots, 0 .. 15 for
// g_Ups_Ip_S, 100 .. 115 for g_Ups_Ip_O, 1000 .. 8999 for a UPS of the information file.
constexpr int UNIT_CODE_TABLE = 9000;
constexpr int UNIT_CODE_TABLE_STATUS_LAST = 9004;  // unit-table slots above 4 have no status line
constexpr int UNIT_CODE_OTHER = 100;
constexpr int UNIT_CODE_INFO_FIRST = 1000;
constexpr int UNIT_CODE_INFO_LAST = 8999;

// Builds the status line of UNIT_CODE into LINE (STATUS_LINE_SIZE bytes). Returns 1 with the
// columns read from the UPS (dashes for each read that failed), or 0 with the 52-dash line
// when the unit code names no address. Never fails otherwise.
int BuildUpsStatusLine(int unit_code, char *line);
