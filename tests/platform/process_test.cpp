// Starting tools with their standard input, output and error on one file, their exit codes and
// a tool that is not on the search path.
#include <gtest/gtest.h>

#include <string>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

// Runs COMMAND_LINE with STDIO (nullptr = none) to its end: the wait result, *EXIT_CODE set.
uint32_t run_to_end(const std::string &command_line, qp_file *stdio, uint32_t *exit_code) {
  qp_process *process = nullptr;
  uint32_t started = qp_process_start(command_line.c_str(), stdio, &process);
  EXPECT_EQ(0u, started) << command_line;
  if (started != 0) return QP_WAIT_FAILED;
  uint32_t waited = qp_process_wait(process, 30000, exit_code);
  qp_process_close(process);
  return waited;
}

TEST(ProcessTest, OneFileTakesStandardInputOutputAndError) {
  qt::TempDir dir("process");
  std::string path = dir / "out.txt";
  qp_file *file = qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_READ | QP_SHARE_WRITE,
                               QP_CREATE_ALWAYS);
  ASSERT_NE(nullptr, file);
  uint32_t done = 0;
  ASSERT_EQ(0u, qp_file_write(file, "hello\n", 6, &done));
  ASSERT_EQ(0u, qp_file_seek(file, 0, SEEK_SET));
  // The tool reads its first line from the file, then writes behind it on both outputs.
  uint32_t exit_code = 0;
  EXPECT_EQ(QP_WAIT_OBJECT_0,
            run_to_end("sh -c \"read line; echo got:$line; echo to-error 1>&2; exit 7\"", file, &exit_code));
  qp_file_close(file);
  EXPECT_EQ(7u, exit_code);
  EXPECT_EQ("hello\ngot:hello\nto-error\n", qt::read_file(path));

  // A fresh, empty file: the tool reads the end of its input at once.
  file = qp_file_open(path.c_str(), QP_ACCESS_READ | QP_ACCESS_WRITE, QP_SHARE_READ | QP_SHARE_WRITE,
                      QP_CREATE_ALWAYS);
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(QP_WAIT_OBJECT_0, run_to_end("sh -c \"cat; echo out; echo err 1>&2\"", file, &exit_code));
  qp_file_close(file);
  EXPECT_EQ(0u, exit_code);
  EXPECT_EQ("out\nerr\n", qt::read_file(path));
}

TEST(ProcessTest, ExitCodesAndWaits) {
  uint32_t exit_code = 99;
  for (uint32_t code : {0u, 3u, 255u}) {
    EXPECT_EQ(QP_WAIT_OBJECT_0,
              run_to_end("sh -c \"exit " + std::to_string(code) + "\"", nullptr, &exit_code));
    EXPECT_EQ(code, exit_code);
  }
  // Without a file the standard handles are empty: input ends at once, output goes nowhere.
  EXPECT_EQ(QP_WAIT_OBJECT_0, run_to_end("sh -c \"cat; echo lost\"", nullptr, &exit_code));
  EXPECT_EQ(0u, exit_code);
  // A tool ended by a signal reports what a Windows program ended by Ctrl+C does.
  EXPECT_EQ(QP_WAIT_OBJECT_0, run_to_end("sh -c \"kill -9 $$\"", nullptr, &exit_code));
  EXPECT_EQ(0xC000013Au, exit_code);

  // A timed wait on a tool that still runs ends with a time-out; a later wait gets its end.
  qp_process *process = nullptr;
  ASSERT_EQ(0u, qp_process_start("sh -c \"sleep 0.5; exit 4\"", nullptr, &process));
  EXPECT_EQ(QP_WAIT_TIMEOUT, qp_process_wait(process, 10, &exit_code));
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_process_wait(process, QP_INFINITE, &exit_code));
  EXPECT_EQ(4u, exit_code);
  EXPECT_EQ(QP_WAIT_OBJECT_0, qp_process_wait(process, 0, &exit_code));  // the end is kept
  EXPECT_EQ(4u, exit_code);
  qp_process_close(process);
}

TEST(ProcessTest, AToolThatIsNotFoundGivesError2) {
  for (const char *line : {"qt_no_such_tool_anywhere --local", "", "   "}) {
    qp_process *process = reinterpret_cast<qp_process *>(1);
    SetLastError(0);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), qp_process_start(line, nullptr, &process))
        << '"' << line << '"';
    EXPECT_EQ(static_cast<uint32_t>(ERROR_FILE_NOT_FOUND), GetLastError()) << '"' << line << '"';
    EXPECT_EQ(nullptr, process);
  }
}

}  // namespace
