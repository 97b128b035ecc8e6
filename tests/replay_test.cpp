// The log reader and the replay: what a maintainer relies on when a field
// log comes back. The logs of tests/replay_logs are the material.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define VANTOR_LEAKS_NOT_REPORTED_BEGIN() __lsan_disable()
#define VANTOR_LEAKS_NOT_REPORTED_END() __lsan_enable()
#else
#define VANTOR_LEAKS_NOT_REPORTED_BEGIN()
#define VANTOR_LEAKS_NOT_REPORTED_END()
#endif

#include "platform/sim/machine.h"
#include "tools/replay/log_reader.h"
#include "tools/replay/replayer.h"

namespace {

std::string fieldLog(const std::string& name) {
  std::ifstream in(std::string(VANTOR_REPLAY_LOGS) + "/" + name + ".log",
                   std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string replaced(std::string text, const std::string& from,
                     const std::string& to) {
  std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(LogReaderTest, AWholeRunReadsAsConfigurationThenTraffic) {
  replay::FieldLog log = replay::readLog(fieldLog("sim_whole_run"));
  EXPECT_TRUE(log.problems.empty());
  EXPECT_FALSE(log.cutShort);
  ASSERT_EQ(6u, log.configuration.size());
  EXPECT_EQ("cramfs.img", log.fileNames[3]);
  EXPECT_EQ(0, log.configuredPort);
  EXPECT_EQ((std::vector<std::string>{"COM1", "COM3"}), log.listedPorts);

  // The probe's one byte, a lone CR sent and echoed, a block of the
  // download logged twice, and a stream that continues one that timed out.
  std::string traffic = log.describeTraffic();
  EXPECT_NE(std::string::npos, traffic.find("sent     a\n"));
  EXPECT_NE(std::string::npos, traffic.find("received :\n"));
  EXPECT_NE(std::string::npos, traffic.find("sent     \\r\n"));
  EXPECT_NE(std::string::npos, traffic.find("received \\r\n"));
  EXPECT_NE(std::string::npos, traffic.find("block    .\n"));
  EXPECT_NE(std::string::npos, traffic.find("[wait timed out]"));
  bool continued = false;
  for (const replay::Entry& e : log.entries)
    if (e.kind == replay::EntryKind::Received && !e.marked &&
        e.bytes.find("downloading") != std::string::npos)
      continued = true;
  EXPECT_TRUE(continued);

  // Every byte of the log belongs to exactly one piece, in order.
  std::size_t covered = 0;
  for (const replay::Entry& e : log.entries) {
    EXPECT_LE(covered, e.begin);
    covered = std::max(covered, e.end);
  }
  EXPECT_LE(log.raw.size() - covered, 2u);
}

TEST(LogReaderTest, LineEndsCutsAndBinaryBytesAreReadOrNamed) {
  // Received line feeds stay line feeds; a lone received CR stays a CR.
  replay::FieldLog log = replay::readLog(fieldLog("sim_whole_run"));
  bool lineFeed = false;
  for (const replay::Entry& e : log.entries)
    if (e.kind == replay::EntryKind::Received &&
        e.bytes.find("\r\nblob>") != std::string::npos)
      lineFeed = true;
  EXPECT_TRUE(lineFeed);

  // A log whose CR LF became LF on the way is read, and said to be so.
  // (A received CR before a line end keeps its CR: CR CR LF became CR LF.)
  std::string crlf = fieldLog("sim_record_failure"), lf;
  for (std::size_t i = 0; i < crlf.size(); ++i)
    if (!(crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n')) lf += crlf[i];
  replay::FieldLog converted = replay::readLog(lf);
  EXPECT_EQ(crlf, converted.raw);
  ASSERT_EQ(1u, converted.problems.size());
  EXPECT_NE(std::string::npos, converted.problems[0].what.find("bare LF"));
  EXPECT_TRUE(replay::replayLog(converted, "").same);

  EXPECT_TRUE(replay::readLog(fieldLog("sim_killed_during_kernel")).cutShort);
  EXPECT_FALSE(replay::readLog(fieldLog("sim_silent_module")).cutShort);

  // Bytes mangled by a wrong baud rate arrive as they were.
  replay::FieldLog garbage = replay::readLog(fieldLog("sim_garbage_at_115200"));
  bool binary = false;
  for (const replay::Entry& e : garbage.entries)
    for (unsigned char c : e.bytes)
      if (e.kind == replay::EntryKind::Received && c >= 0x80) binary = true;
  EXPECT_TRUE(binary);

  replay::FieldLog foreign = replay::readLog("hello\r\n -> x\r\n");
  ASSERT_FALSE(foreign.problems.empty());
  EXPECT_EQ(1, foreign.problems[0].line);
}

TEST(LogReaderTest, HostileInputNeverBreaksTheReader) {
  std::string base = fieldLog("sim_whole_run");
  // Every cut of a real log.
  for (std::size_t n = 0; n <= base.size(); n += 7)
    replay::readLog(base.substr(0, n));
  // Random bytes, random splices of traffic marks and format directives.
  std::mt19937 random(11);
  const std::string pieces[] = {" -> ", " <- ", "\r\n", "\r", "%s%n%x", "blob>",
                                "Trovato disco ", "Nomi dei file:\r\n",
                                std::string(1, '\0'), "\xFF"};
  for (int round = 0; round < 300; ++round) {
    std::string text;
    int parts = static_cast<int>(random() % 60);
    for (int i = 0; i < parts; ++i) {
      if (random() % 2) text += pieces[random() % 10];
      else text += static_cast<char>(random() % 256);
    }
    replay::FieldLog log = replay::readLog(text);
    for (const replay::Entry& e : log.entries) {
      EXPECT_LE(e.begin, e.end);
      EXPECT_LE(e.end, log.raw.size());
    }
    log.describeTraffic();
  }
}

TEST(ReplayTest, ALogCutAnywhereIsReproducedAsFarAsItGoes) {
  std::string whole = fieldLog("sim_whole_run");
  for (std::size_t cut : {std::size_t{700}, std::size_t{1850}, std::size_t{2301},
                          std::size_t{3100}}) {
    replay::ReplayResult result = replay::replayLog(replay::readLog(whole.substr(0, cut)), "");
    EXPECT_TRUE(result.same) << "cut at " << cut << ": " << result.verdict;
    // Stopped where the log ends, not left to run into time-outs.
    EXPECT_TRUE(result.stopped) << "cut at " << cut;
  }
}

TEST(ReplayTest, ADifferenceFromTheRecordedRunIsNamedWhereItFirstShows) {
  // As if the program of the field run had sent another command: the
  // program of today differs from the log just there.
  std::string log = fieldLog("sim_whole_run");
  std::string changed = replaced(log, " -> usbddisk kernel", " -> usbdisk kernel");
  replay::ReplayResult result = replay::replayLog(replay::readLog(changed), "");
  EXPECT_FALSE(result.same);
  EXPECT_EQ(changed.find(" -> usbdisk kernel") + 8, result.differenceAt);
  EXPECT_EQ("isk kernel\\r\\n", result.recordedText);
  EXPECT_EQ("disk kernel\\r\\n", result.replayedText);
  EXPECT_NE(std::string::npos, result.verdict.find("line"));
  // The write itself is compared with the recorded send too.
  EXPECT_TRUE(result.sentDiffers);
  replay::FieldLog changedLog = replay::readLog(changed);
  EXPECT_EQ(changedLog.lineAt(changed.find(" -> usbdisk kernel")),
            result.sentDifferenceLine);
  EXPECT_EQ("usbdisk kernel", result.recordedSent);
  EXPECT_EQ("disk kernel", result.replayedSent);

  // A drive the log does not announce never comes, and the program's
  // announcement of it stands where the log had another line.
  changed = replaced(log, "Trovato disco E", "Trovato il disco E");
  result = replay::replayLog(replay::readLog(changed), "");
  EXPECT_FALSE(result.same);
  EXPECT_EQ(changed.find("Trovato il disco E"), result.differenceAt);

  // A record retried one time more than the program does.

  std::string failing = fieldLog("sim_record_failure");
  std::size_t last = failing.rfind(" -> \r\r\n <- \r\r\n -> 0871");
  ASSERT_NE(std::string::npos, last);
  std::string extra = failing.substr(last, failing.find("\r\n", failing.find("0871", last)) + 2 - last);
  changed = failing.substr(0, last) + extra + failing.substr(last);
  result = replay::replayLog(replay::readLog(changed), "");
  EXPECT_FALSE(result.same);
}

TEST(ReplayTest, AMangledLogEndsInAVerdictAndStaysInsideTheMachine) {
  std::string whole = fieldLog("sim_whole_run");
  std::mt19937 random(5);
  // A program stopped in the middle of a probe keeps the probe's record:
  // that is the stop's doing, not a leak of the program's.
  VANTOR_LEAKS_NOT_REPORTED_BEGIN();
  for (int round = 0; round < 12; ++round) {
    std::string mangled = whole;
    for (int flips = 0; flips < 3; ++flips)
      mangled[random() % mangled.size()] = static_cast<char>(random() % 256);
    replay::ReplayResult result = replay::replayLog(replay::readLog(mangled), "");
    EXPECT_FALSE(result.verdict.empty());
  }
  VANTOR_LEAKS_NOT_REPORTED_END();
  // File names and drive letters that would lead out of the machine's
  // folders are not followed.
  std::string escaping = replaced(whole, "[BLOB]: blob.uue", "[BLOB]: ../../../escaped");
  escaping = replaced(escaping, "Trovato disco E", "Trovato disco \x01");
  replay::ReplayResult result = replay::replayLog(replay::readLog(escaping), "");
  EXPECT_FALSE(result.same);
  std::filesystem::path outside =
      std::filesystem::path(sim::machine().root()).parent_path() / "escaped";
  EXPECT_FALSE(std::filesystem::exists(outside));
  std::filesystem::remove(outside);
}

TEST(ReplayTest, InputFilesGivenAreUsedAsTheyAre) {
  // A ROM loader that is not the one of the field run shows at its first
  // record.
  std::string folder = ::testing::TempDir() + "replay_inputs";
  std::string mkdir = "mkdir -p " + folder;
  ASSERT_EQ(0, std::system(mkdir.c_str()));
  std::ofstream(folder + "/blob-bootloader.txt") << "A0000000011111\n0871800000\n";
  replay::ReplayResult result =
      replay::replayLog(replay::readLog(fieldLog("sim_silent_module")), folder);
  EXPECT_TRUE(result.same) << result.verdict;  // never got to the records
  std::string whole = fieldLog("sim_whole_run");
  result = replay::replayLog(replay::readLog(whole), folder);
  EXPECT_FALSE(result.same);
  // The comment line of the recorded loader is missing from this one.
  EXPECT_EQ(whole.find("# ROM loader"), result.differenceAt);
}

}  // namespace
