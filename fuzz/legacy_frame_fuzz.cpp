// Fuzzes the older UPS controller's command interface of SNMPUPS.DLL: every input is one
// 48-byte frame handed to TarvosLumoSend (a shorter input is filled with blanks, a longer one
// cut), in a heap block of exactly 48 bytes so that a read or write past the frame is caught.
// The commands carried out on the UPS cards ("0F2", "H01", "151", "152", "1B1", "1B2", "V00")
// wait seconds for a card that does not answer, so they are left to the table tests against
// upssim cards; every other code, known or not, takes the frame's whole path.
//
// Properties: the call gives 0 or -1; the status character is "0" exactly when the call gave
// 0, and "7" or "F" otherwise; a frame whose length field is no hexadecimal number of at most
// 255 is refused with "F" and nothing else of it changes; a frame that is not refused carries
// the unit character "0" and its own command code back, and an answered one a length field of
// three hexadecimal digits or the one it came with.
#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "quorin/platform.h"
#include "snmpups_state.h"

extern "C" int TarvosLumoSend(int, int, char *frame);

namespace {

constexpr size_t kFrameSize = 48;
constexpr size_t kCodeSize = 3;
constexpr size_t kUnitOffset = 3;
constexpr size_t kLengthOffset = 4;
constexpr size_t kStatusOffset = 47;
const char *const kCardCommands[] = {"0F2", "H01", "151", "152", "1B1", "1B2", "V00"};

// The length field as the library takes it: a hexadecimal number of at most 255.
bool LengthAccepted(const char *field) {
  char text[4] = {field[0], field[1], field[2], '\0'};
  unsigned value = 0;
  return sscanf(text, "%x", &value) == 1 && value <= 255;
}

bool HexDigits(const char *field, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (!isxdigit(static_cast<unsigned char>(field[i]))) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  const std::string install = qf::scratch_path("opt");
  qf::scratch_path("opt/DATA/UPS");
  qf::scratch_path("opt/DATA/SNMPTRAP");
  const std::string registry = qf::scratch_path("etc") + "/registry.reg";
  qf::write_file(registry,
                 "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarvos\\QUORIN/MVL]\r\n\"PathName\"=\"" +
                     install + "\"\r\n\r\n");
  setenv("QUORIN_REGISTRY", registry.c_str(), 1);
  setenv("QUORIN_RUNTIME_DIR", qf::scratch_path("run").c_str(), 1);
  if (!SnmpUpsLoad()) qf::fail("the library did not load");
  g_Library_Ready.store(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  for (const char *code : kCardCommands)
    if (size >= kCodeSize && memcmp(data, code, kCodeSize) == 0) return -1;  // not kept in the corpus
  std::unique_ptr<char[]> frame(new char[kFrameSize]);
  memset(frame.get(), ' ', kFrameSize);
  memcpy(frame.get(), data, size < kFrameSize ? size : kFrameSize);
  char before[kFrameSize];
  memcpy(before, frame.get(), kFrameSize);

  int result = TarvosLumoSend(0, 0, frame.get());
  const char status = frame[kStatusOffset];
  QF_CHECK(result == 0 || result == -1, "TarvosLumoSend gave %d", result);
  QF_CHECK((result == 0) == (status == '0'), "the call gave %d with the status '%c'", result, status);
  QF_CHECK(status == '0' || status == '7' || status == 'F', "the status character is 0x%02x",
           static_cast<unsigned char>(status));
  if (!LengthAccepted(before + kLengthOffset)) {
    QF_CHECK(status == 'F', "a refused length field left the status '%c'", status);
    QF_CHECK(memcmp(before, frame.get(), kStatusOffset) == 0, "a refused frame was changed");
    return 0;
  }
  QF_CHECK(frame[kUnitOffset] == '0', "the unit character came back as 0x%02x",
           static_cast<unsigned char>(frame[kUnitOffset]));
  QF_CHECK(memcmp(before, frame.get(), kCodeSize) == 0, "the command code changed");
  if (result == 0)
    QF_CHECK(HexDigits(frame.get() + kLengthOffset, 3) ||
                 memcmp(before + kLengthOffset, frame.get() + kLengthOffset, 3) == 0,
             "an answered frame has the length field %.3s", frame.get() + kLengthOffset);
  return 0;
}
