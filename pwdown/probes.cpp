// The probes every export starts with: the product key, the install directory, the system
// type, the unit address and the state of the main service "QUORIN_MVL".
#include <string.h>

#include <memory>
#include <new>

#include "pwdown_internal.h"

namespace {

// "LumoUnit" first byte -> system type; bytes beyond the table give kSystemTypeUnknown.
constexpr int kSystemTypeByUnit[] = {0, 2, 2, 1};

// Opens the product key; NULL when it is missing (or the registry cannot be read).
qp_regkey *OpenProductKey() {
  qp_regkey *key = nullptr;
  if (qp_reg_open_key(kProductKey, &key) != ERROR_SUCCESS) return nullptr;
  return key;
}

}  // namespace

bool IsQuoPcInstall() {
  qp_regkey *key = OpenProductKey();
  if (key == nullptr) return false;
  qp_reg_close_key(key);
  return true;
}

bool IsApiDebug() {
  qp_regkey *key = OpenProductKey();
  if (key == nullptr) return false;
  uint8_t value = 0;
  uint32_t size = sizeof value;
  bool readable = qp_reg_query_value(key, kValueApiDebug, nullptr, &value, &size) == ERROR_SUCCESS;
  qp_reg_close_key(key);
  return readable;
}

bool IsQuoPcServiceRunning() {
  if (IsApiDebug()) return true;
  qp_service_status status;
  if (qp_service_query(kMainServiceName, &status) != ERROR_SUCCESS) return false;
  return status.current_state == QP_SERVICE_RUNNING;
}

int GetSystemTypeFromRegistry() {
  qp_regkey *key = OpenProductKey();
  if (key == nullptr) return kSystemTypeUnknown;
  int type = kSystemTypeUnknown;
  uint32_t size = 0;
  if (qp_reg_query_value(key, kValueLumoUnit, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
    if (data != nullptr &&
        qp_reg_query_value(key, kValueLumoUnit, nullptr, data.get(), &size) == ERROR_SUCCESS && size > 0 &&
        data[0] < sizeof kSystemTypeByUnit / sizeof kSystemTypeByUnit[0])
      type = kSystemTypeByUnit[data[0]];
  }
  qp_reg_close_key(key);
  return type;
}

bool GetReg_LumoPathName(char *buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return false;
  qp_regkey *key = OpenProductKey();
  if (key == nullptr) return false;
  uint32_t got = size;
  bool ok = qp_reg_query_value(key, kValuePathName, nullptr, buffer, &got) == ERROR_SUCCESS;
  qp_reg_close_key(key);
  // A value stored without its terminator must still fit with one.
  if (ok && (got == 0 || buffer[got - 1] != '\0')) {
    if (got >= size)
      ok = false;
    else
      buffer[got] = '\0';
  }
  if (!ok) buffer[0] = '\0';
  return ok;
}

std::atomic<uint32_t> g_LumoUa{0};

bool GetReg_LumoUa() {
  qp_regkey *key = OpenProductKey();
  if (key == nullptr) return false;
  uint32_t size = 0;
  uint8_t bytes[4] = {};
  // The value is read with the size it reports; one larger than the number would overrun it.
  bool ok = qp_reg_query_value(key, kValueLumoUa, nullptr, nullptr, &size) == ERROR_SUCCESS &&
            size <= sizeof bytes &&
            qp_reg_query_value(key, kValueLumoUa, nullptr, bytes, &size) == ERROR_SUCCESS;
  qp_reg_close_key(key);
  if (ok && size > 0)
    g_LumoUa = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return ok;
}

bool GetReg_LumoCom(uint8_t *com) {
  if (com == nullptr) return false;
  qp_regkey *key = OpenProductKey();
  if (key == nullptr) return false;
  uint32_t size = 0;
  bool ok = false;
  if (qp_reg_query_value(key, kValueLumoCom, nullptr, nullptr, &size) == ERROR_SUCCESS && size > 0) {
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[size]);
    ok = data != nullptr &&
         qp_reg_query_value(key, kValueLumoCom, nullptr, data.get(), &size) == ERROR_SUCCESS && size > 0;
    if (ok) *com = data[0];
  }
  qp_reg_close_key(key);
  return ok;
}

uint32_t CheckQuoPcGate() {
  if (!IsQuoPcInstall()) return PC_ERR_NOT_INSTALLED;
  if (!IsQuoPcServiceRunning()) return PC_ERR_SERVICE;
  return 0;
}
