// When the program does what, on the virtual clock: every pause and time
// limit of the procedure is pinned here, in one place, on a Windows of each
// USB-disk behaviour (7, and Vista with its pause after the copy); only the
// pause after a record at the lower rates is the discovery test's, which
// pins the pause of each rate. Each run is rendered
// as a timeline (one line per thing the program did to the line, the
// operator or the shell, with the milliseconds since the thing before it)
// and compared with the timeline stored under tests/timeline/. A changed
// pause shows up as the one line whose gap changed.
//
// After a deliberate change of timing, VANTOR_UPDATE_TIMELINES=1 rewrites
// the stored timelines; read the difference before committing it.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "tests/support/text_files.h"
#include "tests/support/whole_run.h"

namespace {

class TimelineTest : public WholeRunTest {
 protected:
  // Records, on top of the module's own hooks, what the program does.
  void watch() {
    sim::SimPort& port = *com;
    auto configured = port.onConfigured;
    port.onConfigured = [this, configured](std::int64_t now, const pf::DCB& dcb) {
      note(now, "open at " + std::to_string(dcb.BaudRate));
      if (configured) configured(now, dcb);
    };
    auto closed = port.onClosed;
    port.onClosed = [this, closed](std::int64_t now) {
      note(now, "close");
      if (closed) closed(now);
    };
    auto wrote = port.onWrite;
    port.onWrite = [this, wrote](std::int64_t now, const std::uint8_t* data,
                                 std::size_t size) {
      noteWrite(now, std::string(reinterpret_cast<const char*>(data), size));
      if (wrote) wrote(now, data, size);
    };
    auto broke = port.onBreak;
    port.onBreak = [this, broke](std::int64_t now, std::int64_t durationUs) {
      note(now, "break for " + std::to_string(durationUs / 1000) + " ms");
      if (broke) broke(now, durationUs);
    };
    auto keyWanted = machine().onKeyWanted;
    machine().onKeyWanted = [this, keyWanted] {
      note(machine().nowUs(), "Enter");
      if (keyWanted) keyWanted();
    };
    machine().onDiskEvent = [this](std::int64_t now, const std::string& what) {
      note(now, what);
    };
    auto shell = machine().onShellExecute;
    machine().onShellExecute = [this, shell](const sim::ShellExecuteRecord& r) {
      note(r.at, "shell " + r.file + " " + r.parameters);
      if (shell) shell(r);
    };
  }

  void runAndCompare(const devmodel::ModuleConfig& config, int status,
                     const std::string& name) {
    plugModule(config);
    watch();
    EXPECT_EQ(status, runProgram());
    expectTimeline(name);
  }

  // The run's timeline compared with the stored one.
  void expectTimeline(const std::string& name) {
    std::string path = std::string(VANTOR_SOURCE_DIR) + "/tests/timeline/" +
                       name + ".txt";
    std::string actual = render();
    if (std::getenv("VANTOR_UPDATE_TIMELINES") != nullptr) {
      std::ofstream(path, std::ios::binary) << actual;
      return;
    }
    std::vector<std::string> want = lines(readWhole(path));
    ASSERT_FALSE(want.empty()) << "no stored timeline " << path;
    std::vector<std::string> got = lines(actual);
    for (std::size_t i = 0; i < want.size() || i < got.size(); ++i) {
      std::string w = i < want.size() ? want[i] : "(nothing)";
      std::string g = i < got.size() ? got[i] : "(nothing)";
      ASSERT_EQ(w, g) << name << ".txt line " << i + 1
                      << " (gaps in ms since the line before)";
    }
  }

 private:
  struct Event {
    std::int64_t at;
    std::string what;
  };

  void note(std::int64_t now, const std::string& what) {
    events_.push_back({now, what});
  }
  // Bytes written at the same instant are one write, as the program meant.
  void noteWrite(std::int64_t now, const std::string& bytes) {
    if (!events_.empty() && events_.back().at == now &&
        events_.back().what.compare(0, 6, "write ") == 0) {
      events_.back().what += printable(bytes);
      return;
    }
    note(now, "write " + printable(bytes));
  }
  static std::string printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
      if (c >= 0x20 && c < 0x7F && c != '\\') {
        out += static_cast<char>(c);
      } else {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", c);
        out += hex;
      }
    }
    return out;
  }
  // The boot loader's full lines are one shape; a run of equal lines is
  // one line with its count, so the timeline says "every 10 ms" once.
  std::string render() const {
    std::vector<std::string> rendered;
    std::int64_t previous = 0;
    for (const Event& e : events_) {
      char gap[32];
      std::snprintf(gap, sizeof gap, "+%lld.%03lld ",
                    static_cast<long long>((e.at - previous) / 1000),
                    static_cast<long long>((e.at - previous) % 1000));
      bool uueLine = e.what.size() > 60 && e.what.compare(0, 7, "write M") == 0;
      rendered.push_back(gap + (uueLine ? "write (a full line of the boot loader)"
                                        : e.what.substr(0, 100)));
      previous = e.at;
    }
    std::string out;
    for (std::size_t i = 0; i < rendered.size();) {
      std::size_t run = 1;
      while (i + run < rendered.size() && rendered[i + run] == rendered[i]) ++run;
      out += rendered[i];
      if (run > 1) out += " (x" + std::to_string(run) + ")";
      out += "\n";
      i += run;
    }
    return out;
  }

  std::vector<Event> events_;
};

// The pauses of a complete run: the probe's settling, the pause after each
// record, the reconnection to blob, the boot loader's lines, the flashes,
// the waits around the USB disk and its removal. An instant module leaves
// only the program's own pauses.
TEST_F(TimelineTest, AWholeRun) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.replyDelayUs = 0;
  runAndCompare(config, 0, "whole_run");
}

// The same run on Windows Vista, of the older USB-disk behaviour: the pause
// after each copy, and the disk removed by the operator in the applet.
TEST_F(TimelineTest, AWholeRunOnOlderWindows) {
  machine().versionMajor = 6;
  machine().versionMinor = 0;
  devmodel::ModuleConfig config = expecting(inputs);
  config.replyDelayUs = 0;
  runAndCompare(config, 0, "whole_run_vista");
}

// The time limits: a module that never answers the probe at any rate, a
// blob that never starts, and one that never shows its disk.
TEST_F(TimelineTest, TheTimeLimitsOfASilentModule) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.silentAfterEvent = "probe";
  runAndCompare(config, -1, "silent_module");
}

TEST_F(TimelineTest, TheTimeLimitsOfABlobThatNeverStarts) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.replyDelayUs = 0;
  config.silentAfterEvent = "blob-start";
  runAndCompare(config, -1, "blob_never_starts");
}

TEST_F(TimelineTest, TheTimeLimitsOfABlobThatNeverConnects) {
  devmodel::ModuleConfig config = expecting(inputs);
  config.replyDelayUs = 0;
  config.connectFromTry = 0;
  runAndCompare(config, -1, "never_connected");
}

}  // namespace
