// An install directory, a settings file, upssim cards and the SNMP library log for one test of
// SNMPUPS.DLL; shared by the tests that load the library and those that drive its parts.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <vector>

#include "testsupport.h"
#include "upssim_harness.h"

namespace qt {

// One record of a ring log as written: time stamp, code and the message without its padding.
struct LogRecord {
  std::string stamp;
  unsigned code = 0;
  std::string text;
  std::string raw;  // the whole record, CR LF included
};

// The records of a 113-byte ring log from its start up to the header offset (the ring has not
// wrapped in these tests).
inline std::vector<LogRecord> ReadRingLog(const std::string &path) {
  std::vector<LogRecord> records;
  std::string content = read_file(path);
  if (content.size() < 10) return records;
  size_t end = 10 + strtoul(content.substr(0, 8).c_str(), nullptr, 10);
  for (size_t at = 10; at + 113 <= content.size() && at < end; at += 113) {
    LogRecord r;
    r.raw = content.substr(at, 113);
    r.stamp = r.raw.substr(0, 19);
    r.code = static_cast<unsigned>(strtoul(r.raw.substr(21, 8).c_str(), nullptr, 16));
    r.text = r.raw.substr(31, 80);
    while (!r.text.empty() && r.text.back() == ' ') r.text.pop_back();
    records.push_back(r);
  }
  return records;
}

// A test of the library: its own install, registry file, settings and cards.
class SnmpUpsTest : public ::testing::Test {
 protected:
  SnmpUpsTest() { install.apply_env(); }

  // Writes "data\snmp.apc" with section [SNMP] holding LINES ("KEY=VALUE\n"...).
  void WriteSettings(const std::string &lines) { write_file(install.data("snmp.apc"), "[SNMP]\r\n" + lines); }
  std::string Settings() const { return read_file(install.data("snmp.apc")); }

  // Starts upssim cards FIRST..LAST answering the library's default community, and points
  // the library's agent port at them.
  void StartCards(const std::string &first = "127.0.0.2", const std::string &last = "",
                  const std::string &config_text = "") {
    std::vector<std::string> extra;
    if (config_text.empty()) extra = {"--community", "kelpie"};
    sim = std::make_unique<Simulator>(first, last, extra, config_text);
    ASSERT_TRUE(sim->ready());
    setenv("QUORIN_SNMP_PORT", std::to_string(sim->port()).c_str(), 1);
  }

  std::string Ctl(const std::string &address, const std::vector<std::string> &args) {
    int status = -1;
    std::string out = sim->ctl(address, args, &status);
    EXPECT_EQ(0, status) << out;
    return out;
  }
  // The SET bindings a card received, one "OID TYPE VALUE STATUS" line each.
  std::vector<std::string> Sets(const std::string &address) {
    std::vector<std::string> lines;
    std::string out = Ctl(address, {"sets"});
    size_t start = 0;
    while (start < out.size()) {
      size_t nl = out.find('\n', start);
      std::string line = out.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      if (!line.empty()) lines.push_back(line);
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
    return lines;
  }
  // A counter of the card's dump ("requests", "gets", "sets", ...).
  long Counter(const std::string &address, const std::string &name) {
    std::string dump = Ctl(address, {"dump"});
    size_t at = dump.find("\n" + name + " ");
    if (at == std::string::npos) return -1;
    return atol(dump.c_str() + at + name.size() + 2);
  }

  std::string LogPath() const { return install.data("SNMPUPS.LOG"); }
  std::vector<LogRecord> Log() const { return ReadRingLog(LogPath()); }
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> texts;
    for (const LogRecord &r : Log()) texts.push_back(r.text);
    return texts;
  }
  // The code of the last record whose text is TEXT, or -1.
  long CodeOf(const std::string &text) const {
    long code = -1;
    for (const LogRecord &r : Log())
      if (r.text == text) code = static_cast<long>(r.code);
    return code;
  }
  bool LogHas(const std::string &text) const { return CodeOf(text) != -1; }
  int LogCount(const std::string &text) const {
    int n = 0;
    for (const LogRecord &r : Log()) n += r.text == text ? 1 : 0;
    return n;
  }
  // Number of records written so far; records after MARK are the ones a step wrote.
  size_t LogSize() const { return Log().size(); }
  std::vector<std::string> LogTextsSince(size_t mark) const {
    std::vector<std::string> texts = LogTexts();
    return std::vector<std::string>(
        texts.begin() + static_cast<long>(mark < texts.size() ? mark : texts.size()), texts.end());
  }

  Install install{"snmpups"};
  std::unique_ptr<Simulator> sim;
};

}  // namespace qt
