// Fuzzes the REGEDIT4 reader of the platform layer, and the client library's registry probes
// on top of it: every input is the content of the registry file.
//
// Properties: a value's size asked for first is the size a read then delivers, with the same
// type; one byte less of room gives ERROR_MORE_DATA and the size, and copies nothing; a
// missing value stays missing; the probes give a terminated install path and a known system
// type. (Typed hex values may give any type any size, as the registry allows.)
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "pwdown_internal.h"
#include "quorin/platform.h"

namespace {

const char *const kKeys[] = {"SOFTWARE\\Tarvos\\QUORIN/MVL", "SOFTWARE\\Tarvos\\QUORIN/KY_E",
                             "SOFTWARE\\Tarvos"};
const char *const kValues[] = {"PathName", "DEBUGDLL", "LumoUnit", "LumoUa",
                               "LumoCom",  "APIDEBUG", "SNMP",     ""};

void CheckValue(qp_regkey *key, const char *name) {
  uint32_t type = 0xdead, size = 0;
  uint32_t rc = qp_reg_query_value(key, name, &type, nullptr, &size);
  if (rc != ERROR_SUCCESS) {
    QF_CHECK(rc == ERROR_FILE_NOT_FOUND, "\"%s\": the size query gave %u", name, rc);
    uint8_t byte = 0x5a;
    uint32_t room = 1;
    QF_CHECK(qp_reg_query_value(key, name, nullptr, &byte, &room) == ERROR_FILE_NOT_FOUND && byte == 0x5a,
             "\"%s\": missing for the size, present for the data", name);
    return;
  }
  QF_CHECK(size < 1024 * 1024, "\"%s\": a value of %u bytes from a small file", name, size);
  // Exactly the room the value needs, on the heap, so that one byte more written is caught.
  std::vector<uint8_t> data(size > 0 ? size : 1, 0xa5);
  uint32_t got = size, got_type = 0xbeef;
  rc = qp_reg_query_value(key, name, &got_type, data.data(), &got);
  QF_CHECK(rc == ERROR_SUCCESS && got == size && got_type == type,
           "\"%s\": the read differs from the size query", name);
  if (size > 0) {
    std::vector<uint8_t> short_room(size - 1 > 0 ? size - 1 : 1, 0x3c);
    uint32_t room = size - 1;
    rc = qp_reg_query_value(key, name, nullptr, short_room.data(), &room);
    QF_CHECK(rc == ERROR_MORE_DATA && room == size, "\"%s\": one byte too little room gave %u", name, rc);
    for (uint8_t b : short_room) QF_CHECK(b == 0x3c, "\"%s\": a read without room copied data", name);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("QUORIN_REGISTRY", (qf::scratch_path("etc") + "/registry.reg").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qf::write_file(getenv("QUORIN_REGISTRY"), data, size);
  for (const char *subkey : kKeys) {
    qp_regkey *key = nullptr;
    uint32_t rc = qp_reg_open_key(subkey, &key);
    if (rc != ERROR_SUCCESS) {
      QF_CHECK(rc == ERROR_FILE_NOT_FOUND && key == nullptr, "opening %s gave %u", subkey, rc);
      continue;
    }
    for (const char *name : kValues) CheckValue(key, name);
    qp_reg_close_key(key);
  }

  for (uint32_t room : {1u, 2u, 16u, 260u}) {
    std::vector<char> path(room, '\x7f');
    if (GetReg_LumoPathName(path.data(), room))
      QF_CHECK(memchr(path.data(), '\0', room) != nullptr, "the install path is not terminated in %u bytes",
               room);
  }
  int type = GetSystemTypeFromRegistry();
  QF_CHECK(type >= -1 && type <= 2, "system type %d", type);
  IsQuoPcInstall();
  IsApiDebug();
  GetReg_LumoUa();
  uint8_t com = 0;
  GetReg_LumoCom(&com);
  return 0;
}
