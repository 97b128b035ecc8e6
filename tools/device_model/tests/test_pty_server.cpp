// Runs the real server on a pseudo-terminal. These are the only tests that
// take wall-clock time; every wait is bounded.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "devmodel/inputs.h"

namespace devmodel {
namespace {

using Clock = std::chrono::steady_clock;

class PtyServer {
 public:
  explicit PtyServer(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv{const_cast<char*>(VANTOR_DEVICE_EXE)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    // First line: the slave's path.
    std::string line;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    char c;
    while (Clock::now() < deadline) {
      pollfd p{out[0], POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    close(out[0]);
    slave_ = line;
  }
  ~PtyServer() { stop(); }

  const std::string& slave() const { return slave_; }

  int stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  std::string slave_;
};

int openLine(const std::string& path, speed_t speed) {
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
  if (fd < 0) return fd;
  termios t;
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

void put(int fd, const std::string& s) {
  ASSERT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
}

// Reads until `text` shows up or the time is over; returns all that came.
std::string readUntil(int fd, const std::string& text, int timeoutMs) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got.find(text) == std::string::npos && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char buf[256];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

struct TempDir {
  TempDir() {
    char tmpl[] = "/tmp/devmodel_pty.XXXXXX";
    if (mkdtemp(tmpl)) path = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
  std::string path;
};

TEST(PtyServer, ProbeIsAnsweredOverThePseudoTerminal) {
  PtyServer server({"--time-limit", "20"});
  ASSERT_EQ(server.slave().rfind("/dev/", 0), 0u) << server.slave();
  int fd = openLine(server.slave(), B115200);
  ASSERT_GE(fd, 0);
  put(fd, "a");
  EXPECT_EQ(readUntil(fd, ":", 2000), ":");
  close(fd);
}

TEST(PtyServer, FollowsTheRateSetOnTheSlaveAcrossReopens) {
  TempDir tmp;
  const std::string& dir = tmp.path;
  std::string verdict = dir + "/verdict.txt";
  PtyServer server({"--answer-baud", "38400", "--quiet-wrong-baud", "--verdict", verdict,
                    "--time-limit", "20"});
  int fd = openLine(server.slave(), B115200);
  ASSERT_GE(fd, 0);
  put(fd, "a");
  EXPECT_EQ(readUntil(fd, ":", 300), "");
  close(fd);

  fd = openLine(server.slave(), B38400);
  ASSERT_GE(fd, 0);
  put(fd, "a");
  EXPECT_EQ(readUntil(fd, ":", 2000), ":");
  close(fd);

  EXPECT_EQ(server.stop(), 0);
  auto text = readFile(verdict);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("romLoaderComplete: no"), std::string::npos) << *text;
}

TEST(PtyServer, UsbDiskRoundTripThroughAttachCommandAndControlFifo) {
  TempDir tmp;
  const std::string& dir = tmp.path;
  Bytes kernel = randomBytes(4096, 5);
  ASSERT_TRUE(writeFile(dir + "/zImage", asString(kernel)));
  std::string fifo = dir + "/control";
  // Plays the PC's part: copy the image onto the disk, then eject it.
  ASSERT_TRUE(writeFile(dir + "/attach.sh", "cp " + dir + "/zImage \"$2/\"\necho removed > " +
                                                fifo + "\n"));
  std::string verdict = dir + "/verdict.txt";
  PtyServer server({"--start-in-blob", "--kernel", dir + "/zImage", "--disk-dir", dir + "/disk",
                    "--on-attach", "sh " + dir + "/attach.sh", "--control", fifo,
                    "--flash-kernel-ms", "100", "--connect-ms", "50", "--verdict", verdict,
                    "--time-limit", "20"});
  int fd = openLine(server.slave(), B115200);
  ASSERT_GE(fd, 0);
  ASSERT_NE(readUntil(fd, "Autoboot ", 2000).find("Autoboot "), std::string::npos);
  put(fd, "\n");
  ASSERT_NE(readUntil(fd, "blob>", 1000).find("blob>"), std::string::npos);
  put(fd, "usbddisk kernel\n");
  ASSERT_NE(readUntil(fd, "connected", 2000).find("connected"), std::string::npos);
  ASSERT_NE(readUntil(fd, "blob>", 3000).find("blob>"), std::string::npos);
  put(fd, "flash kernel\n");
  ASSERT_NE(readUntil(fd, "blob>", 3000).find("blob>"), std::string::npos);
  close(fd);

  EXPECT_EQ(server.stop(), 0);
  auto text = readFile(verdict);
  ASSERT_TRUE(text);
  EXPECT_NE(text->find("kernelFlashed: yes"), std::string::npos) << *text;
  EXPECT_EQ(text->find("problem:"), std::string::npos) << *text;
}

}  // namespace
}  // namespace devmodel
