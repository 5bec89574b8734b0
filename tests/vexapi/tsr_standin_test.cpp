// The cluster tool stand-ins on their own: built-in answers without a script directory, and a
// run that cannot take its script lock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorin/platform.h"
#include "testsupport.h"
#include "timing.h"

namespace {

struct Case {
  std::vector<std::string> argv;  // tool and arguments
  int status;
  std::string output;  // standard output and error together
};

TEST(TsrStandinTest, WithoutAScriptEachToolAnswersAsAHealthyCluster) {
  const std::string kUnknown = ": unknown arguments \"";
  const std::vector<Case> cases = {
      {{"tsrstat", "--rc"}, 0, ""},
      {{"tsrstat", "--local"},
       0,
       "Cluster : QUORINCL\n  QUORINCL ............ : Start\n  server1 ............. : Online\n"
       "  server2 ............. : Online\n"},
      {{"tsrcfget", "-g", "/root/cluster/name"}, 0, "QUORINCL\n"},
      {{"tsrcfget", "-e", "/root/server"}, 0, "server1\nserver2\n"},
      {{"tsrstdn"}, 0, ""},
      {{"tsrdown"}, 0, ""},
      {{"tsrstat"}, 2, "tsrstat" + kUnknown + "\"\n"},
      {{"tsrstat", "--rc", "x"}, 2, "tsrstat" + kUnknown + "--rc x\"\n"},
      {{"tsrcfget", "-g", "/root/server"}, 2, "tsrcfget" + kUnknown + "-g /root/server\"\n"},
      {{"tsrstdn", "now"}, 2, "tsrstdn" + kUnknown + "now\"\n"},
      {{"tsrdown", "--local"}, 2, "tsrdown" + kUnknown + "--local\"\n"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> argv = c.argv;
    argv[0] = qt::out_dir() + "/" + argv[0];
    std::string out;
    // An empty variable counts as unset.
    EXPECT_EQ(c.status, qt::run(argv, {{"QUORIN_TSR_SCRIPT_DIR", ""}}, &out)) << c.argv[0] << " " << out;
    EXPECT_EQ(c.output, out) << c.argv[0];
  }
}

TEST(TsrStandinTest, ARunThatCannotTakeTheScriptLockFails) {
  qt::TempDir script("tsrlock");
  qt::write_file(script / "tsrstat.out", "Cluster : CL1\n");
  qp_file *lock = qp_file_open((script / ".lock").c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_NONE,
                               QP_OPEN_ALWAYS);
  ASSERT_NE(nullptr, lock);
  // The run gives up after its wait for the lock (shortened here from 10 s to 1 s).
  std::string out;
  int status = -1;
  long ms = qt::ElapsedMs([&] {
    status = qt::run({qt::out_dir() + "/tsrstat", "--local"},
                     {{"QUORIN_TSR_SCRIPT_DIR", script.path()}, {"QUORIN_TSR_LOCK_WAIT_MS", "1000"}}, &out);
  });
  qp_file_close(lock);
  EXPECT_TRUE(qt::WithinNominal(ms, 1000, "wait for the lock", qt::kLongestStepMs));
  EXPECT_EQ(125, status) << out;
  EXPECT_EQ(0u, out.find("tsrstat: cannot take the script lock ")) << out;
  EXPECT_FALSE(qt::file_exists(script / "calls.log"));
  EXPECT_FALSE(qt::file_exists(script / "tsrstat.count"));

  // With the lock free again the same run goes through.
  status = qt::run({qt::out_dir() + "/tsrstat", "--local"}, {{"QUORIN_TSR_SCRIPT_DIR", script.path()}}, &out);
  EXPECT_EQ(0, status) << out;
  EXPECT_EQ("Cluster : CL1\n", out);
  EXPECT_EQ("tsrstat --local\n", qt::read_file(script / "calls.log"));
}

}  // namespace
