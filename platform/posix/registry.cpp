// Registry reads under HKEY_LOCAL_MACHINE from a REGEDIT4 text file.
#include <ctype.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quorin/qp_error.h"
#include "quorin/qp_profile.h"
#include "quorin/qp_registry.h"
#include "quorin/qp_runtime.h"

namespace {

struct RegValue {
  std::string name;
  uint32_t type;
  std::vector<unsigned char> data;
};

const char *registry_path() {
  const char *path = getenv("QUORIN_REGISTRY");
  return (path != nullptr && *path != '\0') ? path : "/etc/quorin/registry.reg";
}

std::string trim(const std::string &s) {
  size_t b = 0, e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

// "HKEY_LOCAL_MACHINE\SOFTWARE\X" or "HKLM\SOFTWARE\X" -> "SOFTWARE\X"; other roots -> "".
std::string machine_subkey(const std::string &section) {
  static const char *roots[] = {"HKEY_LOCAL_MACHINE\\", "HKLM\\"};
  for (const char *root : roots) {
    size_t n = strlen(root);
    if (section.size() >= n && strncasecmp(section.c_str(), root, n) == 0) return section.substr(n);
  }
  return "";
}

std::string normalise_key(const char *key) {
  std::string k = key != nullptr ? key : "";
  while (!k.empty() && k.back() == '\\') k.pop_back();
  while (!k.empty() && k.front() == '\\') k.erase(0, 1);
  return k;
}

bool parse_hex_bytes(const std::string &text, std::vector<unsigned char> &out) {
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() &&
           (isspace(static_cast<unsigned char>(text[i])) || text[i] == ',' || text[i] == '\\'))
      ++i;
    if (i >= text.size()) break;
    if (i + 1 >= text.size() || !isxdigit(static_cast<unsigned char>(text[i])) ||
        !isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    char pair[3] = {text[i], text[i + 1], '\0'};
    out.push_back(static_cast<unsigned char>(strtoul(pair, nullptr, 16)));
    i += 2;
  }
  return true;
}

// Parses the data part of a value line (after '='); false for a malformed value.
bool parse_data(const std::string &text, RegValue &value) {
  if (!text.empty() && text[0] == '"') {
    std::string s;
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      s += text[i];
    }
    if (i >= text.size()) return false;
    value.type = QP_REG_SZ;
    value.data.assign(s.begin(), s.end());
    value.data.push_back('\0');
    return true;
  }
  if (strncasecmp(text.c_str(), "dword:", 6) == 0) {
    std::string digits = trim(text.substr(6));
    if (digits.empty() || digits.size() > 8) return false;
    for (char c : digits)
      if (!isxdigit(static_cast<unsigned char>(c))) return false;
    uint32_t v = static_cast<uint32_t>(strtoul(digits.c_str(), nullptr, 16));
    value.type = QP_REG_DWORD;
    value.data = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                  static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return true;
  }
  if (strncasecmp(text.c_str(), "hex:", 4) == 0) {
    value.type = QP_REG_BINARY;
    return parse_hex_bytes(text.substr(4), value.data);
  }
  if (strncasecmp(text.c_str(), "hex(", 4) == 0) {
    size_t close = text.find("):");
    if (close == std::string::npos) return false;
    value.type = static_cast<uint32_t>(strtoul(text.c_str() + 4, nullptr, 16));
    return parse_hex_bytes(text.substr(close + 2), value.data);
  }
  return false;
}

// Reads the registry file; fills VALUES with those of SUBKEY and tells whether the key exists
// (it or one of its sub-keys has a section). False when the file cannot be read.
bool load_key(const std::string &subkey, std::vector<RegValue> &values, bool &exists) {
  exists = false;
  // Only a regular file of a profile's size is read: a FIFO or a device in its place (never
  // waited on) or an oversized file reads as no registry at all.
  int fd = open(registry_path(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(QP_PROFILE_MAX_SIZE)) {
    close(fd);
    return false;
  }
  FILE *f = fdopen(fd, "rb");
  if (f == nullptr) {
    close(fd);
    return false;
  }
  std::string current;
  bool in_key = false;
  std::string pending;
  char line[4096];
  while (fgets(line, sizeof line, f) != nullptr) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    // Hex data may continue on the next line after a trailing backslash.
    if (!text.empty() && text.back() == '\\' && text.find('=') != std::string::npos) {
      pending += text.substr(0, text.size() - 1);
      continue;
    }
    if (!pending.empty()) {
      text = pending + trim(text);
      pending.clear();
    }
    std::string t = trim(text);
    if (t.empty() || t[0] == ';') continue;
    if (t[0] == '[') {
      size_t end = t.rfind(']');
      std::string section = t.substr(1, end == std::string::npos ? std::string::npos : end - 1);
      current = machine_subkey(section);
      in_key = !current.empty() && strcasecmp(current.c_str(), subkey.c_str()) == 0;
      if (in_key || (current.size() > subkey.size() &&
                     strncasecmp(current.c_str(), subkey.c_str(), subkey.size()) == 0 &&
                     current[subkey.size()] == '\\'))
        exists = true;
      continue;
    }
    if (!in_key) continue;
    RegValue value;
    size_t eq;
    if (t[0] == '@') {
      eq = t.find('=');
      value.name = "";
    } else if (t[0] == '"') {
      size_t close = 1;
      std::string name;
      for (; close < t.size() && t[close] != '"'; ++close) {
        if (t[close] == '\\' && close + 1 < t.size()) ++close;
        name += t[close];
      }
      eq = t.find('=', close);
      value.name = name;
    } else {
      continue;
    }
    if (eq == std::string::npos) continue;
    if (!parse_data(trim(t.substr(eq + 1)), value)) continue;  // a malformed value reads as missing
    for (auto it = values.begin(); it != values.end(); ++it) {
      if (strcasecmp(it->name.c_str(), value.name.c_str()) == 0) {
        values.erase(it);
        break;
      }
    }
    values.push_back(value);
  }
  fclose(f);
  return true;
}

}  // namespace

struct qp_regkey {
  std::vector<RegValue> values;
};

uint32_t qp_reg_open_key(const char *subkey, qp_regkey **key) {
  if (key == nullptr) return ERROR_INVALID_PARAMETER;
  *key = nullptr;
  if (qp_fault_hit("reg_open")) {
    SetLastError(ERROR_ACCESS_DENIED);
    return ERROR_ACCESS_DENIED;
  }
  std::string k = normalise_key(subkey);
  std::vector<RegValue> values;
  bool exists = false;
  if (!load_key(k, values, exists) || !exists) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return ERROR_FILE_NOT_FOUND;
  }
  *key = new qp_regkey{values};
  return ERROR_SUCCESS;
}

uint32_t qp_reg_query_value(qp_regkey *key, const char *name, uint32_t *type, void *data, uint32_t *size) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  if (qp_fault_hit("reg_query")) return ERROR_ACCESS_DENIED;
  const char *wanted = name != nullptr ? name : "";
  for (const RegValue &value : key->values) {
    if (strcasecmp(value.name.c_str(), wanted) != 0) continue;
    if (type != nullptr) *type = value.type;
    uint32_t needed = static_cast<uint32_t>(value.data.size());
    if (data == nullptr) {
      if (size != nullptr) *size = needed;
      return ERROR_SUCCESS;
    }
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    if (*size < needed) {
      *size = needed;
      return ERROR_MORE_DATA;
    }
    if (needed > 0) memcpy(data, value.data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
  }
  return ERROR_FILE_NOT_FOUND;
}

void qp_reg_close_key(qp_regkey *key) {
  delete key;
}
