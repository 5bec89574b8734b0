// Service host: refusal from a console, start and stop through svcctl, controls, status files.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "quorin/platform.h"
#include "testsupport.h"

namespace {

TEST(ServiceHostTest, ConsoleStartFailsWith1063) {
  std::string out;
  int status = qt::run({qt::test_bin_dir() + "/qt_service_host"},
                       {{"QUORIN_SVCCTL", ""}, {"INVOCATION_ID", ""}, {"NOTIFY_SOCKET", ""}}, &out);
  EXPECT_EQ(1063 & 0xff, status);
  EXPECT_NE(std::string::npos, out.find("dispatch failed 1063"));
}

TEST(ServiceHostTest, StartControlQueryStop) {
  qt::TempDir runtime("svc");
  std::map<std::string, std::string> env = {{"QUORIN_RUNTIME_DIR", runtime.path()}};
  std::string svcctl = qt::out_dir() + "/svcctl";
  std::string out;
  EXPECT_NE(0, qt::run({svcctl, "query", "QtHostService"}, env, &out));
  EXPECT_NE(std::string::npos, out.find("1060"));

  ASSERT_EQ(0,
            qt::run({svcctl, "start", "QtHostService", qt::test_bin_dir() + "/qt_service_host"}, env, &out))
      << out;
  EXPECT_NE(std::string::npos, out.find("4  RUNNING"));
  // Interrogate answers 0; pause is not implemented: 120.
  ASSERT_EQ(0, qt::run({svcctl, "control", "QtHostService", "4"}, env, &out));
  EXPECT_EQ("0\n", out);
  EXPECT_EQ(1, qt::run({svcctl, "control", "QtHostService", "2"}, env, &out));
  EXPECT_EQ("120\n", out);
  // A second start is refused while it runs.
  EXPECT_NE(0, qt::run({svcctl, "start", "QtHostService"}, env, &out));
  EXPECT_NE(std::string::npos, out.find("1056"));

  ASSERT_EQ(0, qt::run({svcctl, "stop", "QtHostService"}, env, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("1  STOPPED"));
  std::string status = qt::read_file(runtime.path() + "/services/QtHostService");
  EXPECT_NE(std::string::npos, status.find("state=1\n"));
  EXPECT_NE(0, qt::run({svcctl, "control", "QtHostService", "4"}, env, &out));
  EXPECT_NE(std::string::npos, out.find("1062"));

  // SIGTERM is the stop control too.
  ASSERT_EQ(0, qt::run({svcctl, "start", "QtHostService"}, env, &out)) << out;
  qp_service_status s{};
  setenv("QUORIN_RUNTIME_DIR", runtime.path().c_str(), 1);
  ASSERT_EQ(ERROR_SUCCESS, qp_service_query("QtHostService", &s));
  EXPECT_EQ(QP_SERVICE_RUNNING, s.current_state);
  EXPECT_EQ(5u, s.controls_accepted);
  long pid = 0;
  std::string text = qt::read_file(runtime.path() + "/services/QtHostService");
  sscanf(text.c_str() + text.find("pid="), "pid=%ld", &pid);
  ASSERT_GT(pid, 0);
  // The query with the process gives that process, the service host program itself.
  uint32_t process_id = 0;
  ASSERT_EQ(ERROR_SUCCESS, qp_service_query_process("QtHostService", &s, &process_id));
  EXPECT_EQ(static_cast<uint32_t>(pid), process_id);
  EXPECT_NE(std::string::npos,
            qt::read_file("/proc/" + std::to_string(process_id) + "/cmdline").find("qt_service_host"));
  kill(static_cast<pid_t>(pid), SIGTERM);
  EXPECT_TRUE(qt::wait_until([&] {
    return qp_service_query("QtHostService", &s) == ERROR_SUCCESS && s.current_state == QP_SERVICE_STOPPED;
  }));
  // Once stopped there is no process to name.
  process_id = 12345;
  ASSERT_EQ(ERROR_SUCCESS, qp_service_query_process("QtHostService", &s, &process_id));
  EXPECT_EQ(0u, process_id);
}

TEST(ServiceHostTest, StopIsRefusedWhileStartingAndAfterStopped) {
  qt::TempDir runtime("svc");
  // The service stays in START_PENDING until the test lets it go on by creating this file.
  std::string go_on = runtime / "go-on";
  std::map<std::string, std::string> env = {{"QUORIN_RUNTIME_DIR", runtime.path()},
                                            {"QT_START_UNTIL", go_on}};
  std::string svcctl = qt::out_dir() + "/svcctl";
  std::string out;
  ASSERT_EQ(0,
            qt::run({svcctl, "create", "QtHostService", qt::test_bin_dir() + "/qt_service_host"}, env, &out));
  setenv("QUORIN_RUNTIME_DIR", runtime.path().c_str(), 1);
  setenv("QT_START_UNTIL", go_on.c_str(), 1);  // the service inherits this process's environment
  ASSERT_EQ(ERROR_SUCCESS, qp_service_start("QtHostService"));
  // While it starts it accepts no stop; other controls still reach its handler. The service's
  // own START_PENDING report (wait hint 3000, after its handler is registered) replaces the
  // one the starter writes (wait hint 2000).
  qp_service_status s{};
  ASSERT_TRUE(qt::wait_until([&] {
    return qp_service_query("QtHostService", &s) == ERROR_SUCCESS &&
           s.current_state == QP_SERVICE_START_PENDING && s.wait_hint == 3000;
  }));
  uint32_t answer = 99;
  EXPECT_EQ(ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
            qp_service_control("QtHostService", QP_SERVICE_CONTROL_STOP, &answer));
  EXPECT_EQ(ERROR_SUCCESS, qp_service_control("QtHostService", QP_SERVICE_CONTROL_INTERROGATE, &answer));
  EXPECT_EQ(0u, answer);
  // svcctl stop asks again until the service accepts the stop, then waits for its end: it is
  // refused and pauses before asking again; then the start goes on.
  qt::Child stop({svcctl, "stop", "QtHostService"}, env);
  EXPECT_TRUE(qt::wait_in_syscall(stop.pid(), {SYS_nanosleep, SYS_clock_nanosleep}));
  qt::write_file(go_on, "");
  ASSERT_EQ(0, stop.wait()) << stop.output();
  EXPECT_NE(std::string::npos, stop.output().find("1  STOPPED"));
  ASSERT_EQ(ERROR_SUCCESS, qp_service_query("QtHostService", &s));
  EXPECT_EQ(QP_SERVICE_STOPPED, s.current_state);
  EXPECT_EQ(0u, s.win32_exit_code);
  EXPECT_EQ(ERROR_SERVICE_NOT_ACTIVE, qp_service_control("QtHostService", QP_SERVICE_CONTROL_STOP, &answer));
}

TEST(ServiceHostTest, ReportsToSystemdThroughTheNotifySocket) {
  qt::TempDir runtime("notify");
  std::string socket_path = runtime / "notify.sock";
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr));
  struct timeval tv = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  // Started by systemd: NOTIFY_SOCKET set, svcctl not involved.
  qt::Child service(
      {qt::test_bin_dir() + "/qt_service_host"},
      {{"QUORIN_RUNTIME_DIR", runtime.path()}, {"NOTIFY_SOCKET", socket_path}, {"QUORIN_SVCCTL", ""}});
  auto next = [fd] {
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  };
  EXPECT_EQ("STATUS=starting\nEXTEND_TIMEOUT_USEC=3000000", next());
  EXPECT_EQ("READY=1\nSTATUS=running", next());
  service.kill_now(SIGTERM);  // the stop control
  EXPECT_EQ("STOPPING=1\nSTATUS=stopping\nEXTEND_TIMEOUT_USEC=5000000", next());
  EXPECT_EQ("STATUS=stopped (exit code 0)", next());
  EXPECT_EQ(0, service.wait());
  close(fd);
}

}  // namespace
