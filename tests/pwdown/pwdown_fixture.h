// Test fixture of the pwdown tests: an install with its registry and runtime directory, the
// "QUORIN_MVL" stand-in started through svcctl, its script and frame record, and pwdown.dll
// loaded through the platform loader.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pwdown.h"
#include "quorin/platform.h"
#include "testsupport.h"

namespace pwt {

// One message the stand-in received: the number of its connection and its exact bytes.
struct Frame {
  int connection;
  std::string bytes;
};

// Registry values of a type-2 system with unit address 0x1F.
extern const std::vector<std::string> kType2Registry;

class PwdownTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Rewrites the product key with VALUES ("PathName" is always there unless NO_PATH).
  void Registry(const std::vector<std::string> &values, bool no_path = false);
  // Replaces the stand-in's script.
  void Script(const std::string &text);
  // The frames received so far, in order, and a fresh record.
  std::vector<Frame> Frames() const;
  std::vector<std::string> FrameBytes() const;
  void ClearFrames();

  void StartStandin();
  void StopStandin();
  // Sends a control code to the stand-in through svcctl; returns svcctl's exit status.
  int ControlStandin(int code);

  // Loads pwdown.dll (after the registry is written: its attach reads the install path).
  void Load();
  void *Entry(const char *name);
  template <typename Fn>
  Fn Export(const char *name) {
    return reinterpret_cast<Fn>(Entry(name));
  }

  // Runs pwctl from the build's install folder with this install's environment.
  int Pwctl(const std::vector<std::string> &args, std::string *output,
            const std::map<std::string, std::string> &extra_env = {});

  std::string StandinFolder() const { return install_.runtime() + "/standin"; }
  std::string LogPath() const { return install_.data("pwdown.log"); }

  qt::Install install_{"pwdown"};
  qp_library *library_ = nullptr;
  bool standin_running_ = false;
};

}  // namespace pwt
