// Serves the device model on a pseudo-terminal so the flashing utility can
// talk to it as if it were the robot on a serial port.
//
// The first line on stdout is the slave's path. The program runs until
// SIGTERM/SIGINT, a "quit" on the control FIFO, or the time limit, and then
// writes the verdict.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "devmodel/inputs.h"
#include "devmodel/module.h"
#include "devmodel/uucode.h"

namespace {

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gRemoved = 0;
volatile sig_atomic_t gVerdictNow = 0;

void onSignal(int sig) {
  if (sig == SIGUSR1) gRemoved = 1;
  else if (sig == SIGUSR2) gVerdictNow = 1;
  else gStop = 1;
}

int64_t monotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int baudOf(speed_t s) {
  switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

const char kUsage[] =
    "usage: vantor_device [options]\n"
    "expected contents:\n"
    "  --romloader FILE  --blob-uue FILE  --kernel FILE  --ramdisk FILE\n"
    "line and timing:\n"
    "  --answer-baud N         boot ROM understands only this rate (0 = any)\n"
    "  --quiet-wrong-baud      silence instead of garbage at a wrong rate\n"
    "  --reply-delay-ms N  --blob-start-ms N  --connect-ms N\n"
    "  --flash-blob-ms N  --flash-kernel-ms N  --flash-ramdisk-ms N\n"
    "  --power-cycle-ms N      after flash blob; -1 = never\n"
    "  --start-in-blob  --no-echo  --no-banner-on-open\n"
    "faults:\n"
    "  --probe-prefix TEXT     sent before ':'\n"
    "  --ignore-cr N           first N CRs unanswered (-1 = all)\n"
    "  --drop-echo K[:N]  --corrupt-echo K[:N]  --corrupt-readback K[:N]\n"
    "                          record ordinal K (-1 = every), first N attempts (-1 = all)\n"
    "  --serial-error-prompts N  --connect-from-try N (0 = never)\n"
    "  --silent-after EVENT[#N]  --silent-from-ms T\n"
    "  --flood-after EVENT[#N] --flood-bytes N  --nul-in-answers\n"
    "USB disk and control:\n"
    "  --disk-dir DIR          the disk is DIR/<name>/ (default: a temp dir)\n"
    "  --on-attach CMD         run as: CMD <name> <dir> when the disk appears\n"
    "  --control FIFO          lines: removed | verdict | quit\n"
    "                          (also SIGUSR1 = removed, SIGUSR2 = verdict)\n"
    "  --link PATH             symlink to the slave\n"
    "  --verdict FILE  --log FILE  --time-limit SEC (default 3600)\n"
    "  --trace                 events to stderr as they happen\n";

bool parseFault(const char* text, devmodel::RecordFault& f) {
  char* end = nullptr;
  f.record = static_cast<int>(std::strtol(text, &end, 10));
  f.attempts = 1;
  if (*end == ':') f.attempts = static_cast<int>(std::strtol(end + 1, &end, 10));
  return *end == '\0';
}

std::optional<devmodel::Bytes> loadBytes(const std::string& path) {
  auto s = devmodel::readFile(path);
  if (!s) return std::nullopt;
  return devmodel::asBytes(*s);
}

// The PC copies one file onto the disk; take the largest regular file.
std::optional<devmodel::Bytes> readDiskDir(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (!d) return std::nullopt;
  std::string best;
  off_t bestSize = -1;
  while (dirent* e = readdir(d)) {
    std::string p = dir + "/" + e->d_name;
    struct stat st;
    if (stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > bestSize) {
      best = p;
      bestSize = st.st_size;
    }
  }
  closedir(d);
  if (best.empty()) return std::nullopt;
  return loadBytes(best);
}

void emptyDir(const std::string& dir) {
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") unlink((dir + "/" + n).c_str());
    }
    closedir(d);
  }
}

void writeLog(const std::string& path, const devmodel::Module& m) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return;
  for (const auto& e : m.events())
    std::fprintf(f, "%12.6f event %s %s\n", e.atUs / 1e6, e.name.c_str(), e.detail.c_str());
  for (const auto& c : m.received()) {
    std::fprintf(f, "%12.6f rx %zu:", c.atUs / 1e6, c.bytes.size());
    for (auto b : c.bytes) std::fprintf(f, " %02X", b);
    std::fprintf(f, "\n");
  }
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  devmodel::ModuleConfig cfg;
  std::string verdictPath, logPath, diskDir, onAttach, controlPath, linkPath;
  double timeLimitSec = 3600;
  bool trace = false;
  bool ownDiskDir = false;

  for (int i = 1; i < argc; ++i) {
    std::string o = argv[i];
    auto flag = [&](const char* name) { return o == name; };
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "vantor_device: %s needs a value\n%s", o.c_str(), kUsage);
        std::exit(2);
      }
      return argv[++i];
    };
    auto num = [&]() { return std::strtoll(value(), nullptr, 0); };
    auto ms = [&]() {
      long long v = num();
      return v < 0 ? devmodel::kNever : static_cast<int64_t>(v) * 1000;
    };
    auto file = [&]() {
      const char* p = value();
      auto s = devmodel::readFile(p);
      if (!s) {
        std::fprintf(stderr, "vantor_device: cannot read %s\n", p);
        std::exit(2);
      }
      return *s;
    };
    if (flag("--romloader")) cfg.romLoaderText = file();
    else if (flag("--blob-uue")) {
      std::string err;
      auto data = devmodel::uudecode(file(), &err);
      if (!data) {
        std::fprintf(stderr, "vantor_device: blob file: %s\n", err.c_str());
        return 2;
      }
      cfg.expectedBootLoader = *data;
    } else if (flag("--kernel")) cfg.expectedKernel = devmodel::asBytes(file());
    else if (flag("--ramdisk")) cfg.expectedRamdisk = devmodel::asBytes(file());
    else if (flag("--answer-baud")) cfg.answerBaud = static_cast<int>(num());
    else if (flag("--quiet-wrong-baud")) cfg.garbageAtWrongBaud = false;
    else if (flag("--reply-delay-ms")) cfg.replyDelayUs = ms();
    else if (flag("--blob-start-ms")) cfg.blobStartDelayUs = ms();
    else if (flag("--connect-ms")) cfg.connectDelayUs = ms();
    else if (flag("--flash-blob-ms")) cfg.flashBlobDelayUs = ms();
    else if (flag("--flash-kernel-ms")) cfg.flashKernelDelayUs = ms();
    else if (flag("--flash-ramdisk-ms")) cfg.flashRamdiskDelayUs = ms();
    else if (flag("--power-cycle-ms")) cfg.powerCycleDelayUs = ms();
    else if (flag("--start-in-blob")) cfg.startInBlob = true;
    else if (flag("--no-echo")) cfg.echoCommands = false;
    else if (flag("--no-banner-on-open")) cfg.bannerOnOpen = false;
    else if (flag("--probe-prefix")) cfg.probePrefix = value();
    else if (flag("--ignore-cr")) cfg.ignoreCr = static_cast<int>(num());
    else if (flag("--drop-echo") || flag("--corrupt-echo") || flag("--corrupt-readback")) {
      auto& f = flag("--drop-echo") ? cfg.dropEcho
                : flag("--corrupt-echo") ? cfg.corruptEcho : cfg.corruptReadBack;
      if (!parseFault(value(), f)) {
        std::fprintf(stderr, "vantor_device: bad value for %s\n", o.c_str());
        return 2;
      }
    } else if (flag("--serial-error-prompts")) cfg.serialErrorPrompts = static_cast<int>(num());
    else if (flag("--connect-from-try")) cfg.connectFromTry = static_cast<int>(num());
    else if (flag("--silent-after")) cfg.silentAfterEvent = value();
    else if (flag("--silent-from-ms")) cfg.silentFromUs = ms();
    else if (flag("--flood-after")) cfg.floodAfterEvent = value();
    else if (flag("--flood-bytes")) cfg.floodBytes = static_cast<size_t>(num());
    else if (flag("--nul-in-answers")) cfg.nulInAnswers = true;
    else if (flag("--disk-dir")) diskDir = value();
    else if (flag("--on-attach")) onAttach = value();
    else if (flag("--control")) controlPath = value();
    else if (flag("--link")) linkPath = value();
    else if (flag("--verdict")) verdictPath = value();
    else if (flag("--log")) logPath = value();
    else if (flag("--trace")) trace = true;
    else if (flag("--time-limit")) timeLimitSec = std::strtod(value(), nullptr);
    else if (flag("--help") || flag("-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "vantor_device: unknown option %s\n%s", o.c_str(), kUsage);
      return 2;
    }
  }

  if (diskDir.empty()) {
    char tmpl[] = "/tmp/vantor_disk.XXXXXX";
    if (!mkdtemp(tmpl)) {
      std::perror("vantor_device: mkdtemp");
      return 1;
    }
    diskDir = tmpl;
    ownDiskDir = true;
  }
  mkdir(diskDir.c_str(), 0755);

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("vantor_device: pseudo-terminal");
    return 1;
  }
  std::string slave = ptsname(master);
  // Settings on the master act on the slave: start raw so nothing is
  // translated before the PC has configured the line itself.
  termios tio;
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(master, TCSANOW, &tio);
  }
  // Opening and closing the slave once puts the master into the hang-up
  // state, so the PC's first open is seen like every later one and nothing
  // is queued for a reader that is not there yet.
  int probe = open(slave.c_str(), O_RDWR | O_NOCTTY);
  if (probe >= 0) close(probe);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  // The attach command must not keep the line alive after we are gone.
  fcntl(master, F_SETFD, FD_CLOEXEC);
  if (!linkPath.empty()) {
    unlink(linkPath.c_str());
    if (symlink(slave.c_str(), linkPath.c_str()) != 0) std::perror("vantor_device: link");
  }

  int control = -1, controlKeepOpen = -1;
  if (!controlPath.empty()) {
    mkfifo(controlPath.c_str(), 0600);
    control = open(controlPath.c_str(), O_RDONLY | O_NONBLOCK);
    // Holding a writer ourselves keeps the FIFO from reporting end of file
    // between clients.
    controlKeepOpen = open(controlPath.c_str(), O_WRONLY | O_NONBLOCK);
    if (control < 0) std::perror("vantor_device: control FIFO");
    for (int fd : {control, controlKeepOpen})
      if (fd >= 0) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }

  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onSignal;
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGHUP}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  devmodel::Module module(cfg);
  module.onDiskAttach = [&](const std::string& name) {
    std::string dir = diskDir + "/" + name;
    mkdir(dir.c_str(), 0755);
    emptyDir(dir);
    if (onAttach.empty()) return;
    pid_t pid = fork();
    if (pid == 0) {
      std::string script = onAttach + " \"$@\"";
      execl("/bin/sh", "sh", "-c", script.c_str(), "vantor_device", name.c_str(), dir.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  };
  if (trace)
    module.onEvent = [](const devmodel::Event& e) {
      std::fprintf(stderr, "%12.6f %s %s\n", e.atUs / 1e6, e.name.c_str(), e.detail.c_str());
    };
  module.readDisk = [&](const std::string& name) { return readDiskDir(diskDir + "/" + name); };

  std::printf("%s\n", slave.c_str());
  std::fflush(stdout);

  auto writeVerdict = [&]() {
    std::string text = module.verdict().toText();
    if (!verdictPath.empty()) devmodel::writeFile(verdictPath, text);
    if (!logPath.empty()) writeLog(logPath, module);
  };

  // The PC may change the rate between our poll and its write, so this runs
  // again right before received bytes are handled.
  auto followLineSpeed = [&]() {
    termios cur;
    if (tcgetattr(master, &cur) != 0) return;
    int baud = baudOf(cfgetospeed(&cur));
    if (baud != 0 && baud != module.lineSpeed()) module.setLineSpeed(baud);
  };

  const int64_t t0 = monotonicUs();
  const int64_t limit = static_cast<int64_t>(timeLimitSec * 1e6);
  devmodel::Bytes pending;  // due but not yet accepted by the master
  std::string controlLine;
  bool slaveOpen = false;

  while (!gStop) {
    int64_t now = monotonicUs() - t0;
    if (now >= limit) break;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {}
    if (gRemoved) {
      gRemoved = 0;
      module.diskRemoved(now);
    }
    if (gVerdictNow) {
      gVerdictNow = 0;
      writeVerdict();
    }
    followLineSpeed();

    int64_t wait = module.nextEventUs() == devmodel::kNever
                       ? 20000
                       : std::max<int64_t>(0, module.nextEventUs() - now);
    if (!pending.empty()) wait = std::min<int64_t>(wait, 2000);
    pollfd fds[2] = {{master, POLLIN, 0}, {control, POLLIN, 0}};
    int n = poll(fds, control >= 0 ? 2 : 1,
                 static_cast<int>(std::min<int64_t>(20, (wait + 999) / 1000)));
    now = monotonicUs() - t0;
    if (n < 0 && errno != EINTR) break;

    bool hangup = (fds[0].revents & (POLLHUP | POLLERR)) != 0;
    if (fds[0].revents & POLLIN) {
      uint8_t buf[4096];
      ssize_t got = read(master, buf, sizeof buf);
      if (got > 0) {
        followLineSpeed();
        if (!slaveOpen) {
          slaveOpen = true;
          module.open(now);
        }
        module.receive(now, buf, static_cast<size_t>(got));
      } else if (got < 0 && errno == EIO) {
        hangup = true;
      }
    }
    if (hangup && slaveOpen) {
      slaveOpen = false;
      pending.clear();
      module.close(now);
    } else if (!hangup && !slaveOpen) {
      slaveOpen = true;
      module.open(now);
    }
    if (hangup) {
      // The master keeps reporting the hang-up until the PC reopens.
      usleep(5000);
    }

    if (control >= 0 && (fds[1].revents & POLLIN)) {
      char buf[256];
      ssize_t got = read(control, buf, sizeof buf);
      for (ssize_t k = 0; k < got; ++k) {
        if (buf[k] != '\n') {
          controlLine += buf[k];
          continue;
        }
        if (controlLine == "removed") module.diskRemoved(now);
        else if (controlLine == "verdict") writeVerdict();
        else if (controlLine == "quit") gStop = 1;
        else std::fprintf(stderr, "vantor_device: unknown control line: %s\n", controlLine.c_str());
        controlLine.clear();
      }
    }

    devmodel::Bytes due = module.takeOutput(now);
    pending.insert(pending.end(), due.begin(), due.end());
    if (slaveOpen && !pending.empty()) {
      ssize_t put = write(master, pending.data(), pending.size());
      if (put > 0) pending.erase(pending.begin(), pending.begin() + put);
    }
  }

  writeVerdict();
  devmodel::Verdict v = module.verdict();
  std::fprintf(stderr, "%s", v.toText().c_str());
  if (control >= 0) close(control);
  if (controlKeepOpen >= 0) close(controlKeepOpen);
  if (!linkPath.empty()) unlink(linkPath.c_str());
  close(master);
  if (ownDiskDir) {
    std::error_code ec;
    std::filesystem::remove_all(diskDir, ec);
  }
  return 0;
}
