// Runs the library's load sequence inside the test process, so that a test can look at the
// settings, the status words and the log writers directly.
#pragma once

#include "snmpups_fixture.h"
#include "snmpups_state.h"

namespace qt {

class SnmpUpsCoreTest : public SnmpUpsTest {
 protected:
  ~SnmpUpsCoreTest() override { SnmpUpsUnload(); }

  // Runs the load sequence (again) with the current registry and settings file.
  bool Load() {
    SnmpUpsUnload();
    bool ok = SnmpUpsLoad();
    g_Library_Ready.store(ok ? 1 : 0);
    return ok;
  }
  // Writes the settings and runs the load sequence.
  bool LoadWith(const std::string &lines) {
    WriteSettings(lines);
    return Load();
  }
};

}  // namespace qt
