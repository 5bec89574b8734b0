// A quomvlsv installation for one test: program, stand-in libraries, configuration, runtime
// directory; started and stopped through svcctl; requests sent over the real pipe.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "testsupport.h"

struct LogEntry {
  std::string stamp;  // "YYYY/MM/DD hh:mm:ss"
  char mark;          // ' ' or '*'
  unsigned code;
  std::string text;
};

class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest();
  ~ServiceTest() override;

  // Which library goes in as SNMPUPS.DLL / ky_vexapi4.dll: a test library of build/test-bin,
  // "out:NAME" for the real one of build/out, "" for none.
  std::string snmp_library = "fake_snmpups.so";
  std::string vex_library = "fake_vexapi.so";
  std::map<std::string, std::string> extra_env;
  // Command that svcctl runs under when it starts the service (e.g. setpriv with its options).
  std::vector<std::string> start_wrapper;

  void WriteConfig(const std::string &ini);
  void WriteScript(const std::string &ini);
  // Copies the chosen libraries into the install directory (Start does it too).
  void InstallLibraries();
  // Starts the service and waits until its delayed initialisation has completed.
  void Start(bool wait_for_init = true);
  void Stop();
  std::string Svcctl(const std::vector<std::string> &args, int *status = nullptr);
  // One request over a new connection; returns the reply ("" when none came).
  std::string Send(const std::string &request);
  // The entries of the log, oldest first. An entry whose code is not eight lower-case
  // hexadecimal digits fails the test.
  std::vector<LogEntry> Log() const;
  // Number of entries written so far: the index a later WaitForLog starts at, so that only a
  // line written after this point counts.
  size_t LogMark() const { return Log().size(); }
  std::vector<std::string> LogTexts() const;
  bool LogHas(const std::string &text) const;
  // Waits until the log has an entry with TEXT at index FROM or later (entries counted from
  // the oldest; a LogMark()), so that a line written earlier does not count.
  bool WaitForLog(const std::string &text, size_t from, int timeout_ms = 10000) const;
  std::vector<std::string> Calls() const;
  // Real milliseconds (qp_real_tick_ms) at which the stand-in cluster library's
  // VexInitializeApi was entered, one per call.
  std::vector<long> InitCallTimes() const;
  std::map<std::string, std::string> Env() const;
  std::string LogPath() const { return install.data("QUOMVLSV.LOG"); }

  qt::Install install{"svc"};
  std::string calls_path;
  std::string times_path;
  std::string script_path;
  std::string reboot_record;
  bool started = false;
};

// Index of the first log text equal to TEXT at or after FROM, or -1.
int FindText(const std::vector<std::string> &texts, const std::string &text, int from = 0);
