// Runs the real server on a pseudo-terminal: the only test that takes
// wall-clock time; every wait is bounded.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Reads from `fd` until `stop` shows up or `timeoutMs` is over.
std::string readUntil(int fd, char stop, int timeoutMs) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char c;
  while (got.find(stop) == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && read(fd, &c, 1) == 1) got += c;
  }
  return got;
}

// Opens the slave raw at `speed`, sends the probe, returns the answer.
std::string probe(const std::string& path, speed_t speed, int timeoutMs) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return "cannot open " + path;
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd, TCSANOW, &t);
  std::string got = write(fd, "a", 1) == 1 ? readUntil(fd, ':', timeoutMs) : "write failed";
  close(fd);
  return got;
}

TEST(PtyServer, AnswersTheProbeAtTheRateSetOnTheSlaveAcrossReopens) {
  std::vector<std::string> args{VANTOR_DEVICE_EXE, "--answer-baud", "115200",
                                "--quiet-wrong-baud", "--time-limit", "20"};
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string slave = readUntil(out[0], '\n', 5000);  // first line: the slave's path
  close(out[0]);
  ASSERT_EQ(slave.rfind("/dev/", 0), 0u) << slave;
  slave.pop_back();

  EXPECT_EQ(probe(slave, B38400, 300), "");
  EXPECT_EQ(probe(slave, B115200, 2000), ":");
  kill(pid, SIGTERM);
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_EQ(status, 0);
}

}  // namespace
