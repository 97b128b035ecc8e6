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
#include "tests/support/text_files.h"
#include "tools/replay/field_inputs.h"
#include "tools/replay/log_reader.h"
#include "tools/replay/replayer.h"
#include "tools/replay/rom_loader_rebuild.h"

namespace {

std::string fieldLog(const std::string& name) {
  return readWhole(std::string(VANTOR_REPLAY_LOGS) + "/" + name + ".log");
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

// "port outcome ..." for each probe of one pass.
std::string passSummary(const replay::ProbePass& pass) {
  static const char* const kOutcomes[] = {"unfinished", "not started", "not opened",
                                          "no answer", "wrong answer", "timed out",
                                          "found"};
  static const char* const kHangs[] = {"", " in open", " in write", " in read"};
  std::string out;
  for (const replay::Probe& p : pass.probes)
    out += (out.empty() ? "" : ", ") + p.port + " " +
           kOutcomes[static_cast<int>(p.outcome)] + kHangs[static_cast<int>(p.hungIn)];
  return out;
}

TEST(LogReaderTest, EverySearchPassAndProbeIsReadWithHowItEnded) {
  replay::FieldLog many = replay::readLog(fieldLog("sim_many_ports"));
  EXPECT_TRUE(many.problems.empty());
  ASSERT_EQ(1u, many.searches.size());
  const replay::PortSearch& search = many.searches[0];
  EXPECT_EQ(replay::PortSearch::Found, search.ending);
  EXPECT_EQ((std::vector<std::string>{"COM1", "COM12", "\\\\.\\COM4", "COM7",
                                      "BthModem0", "COM10"}),
            search.ports);
  ASSERT_EQ(3u, search.passes.size());
  EXPECT_EQ(38400, search.passes[1].baud);
  EXPECT_EQ("COM1 no answer, COM12 not opened, \\\\.\\COM4 wrong answer, "
            "COM7 not opened, BthModem0 no answer, COM10 wrong answer",
            passSummary(search.passes[0]));
  // The ports that did not open are left out of the later passes.
  EXPECT_EQ("COM1 no answer, \\\\.\\COM4 wrong answer, BthModem0 no answer, "
            "COM10 found",
            passSummary(search.passes[2]));
  EXPECT_EQ('a', search.passes[0].probes[2].answer);
  EXPECT_EQ(19200, search.passes[2].probes[3].baud);

  // A probe that hung is ended by the main thread, wherever it stood.
  replay::FieldLog hung = replay::readLog(fieldLog("sim_probe_timed_out"));
  EXPECT_TRUE(hung.problems.empty());
  ASSERT_EQ(1u, hung.searches.size());
  ASSERT_EQ(2u, hung.searches[0].passes.size());
  EXPECT_EQ("COM1 timed out in open, COM2 timed out in write, COM4 timed out in read, "
            "COM3 no answer",
            passSummary(hung.searches[0].passes[0]));
  EXPECT_EQ("COM3 found", passSummary(hung.searches[0].passes[1]));

  // A configured port is a search of its own with no list; each failed
  // upload starts a new search, whose list may differ.
  replay::FieldLog configured = replay::readLog(fieldLog("sim_configured_port_not_opened"));
  ASSERT_EQ(1u, configured.searches.size());
  EXPECT_TRUE(configured.searches[0].configured);
  EXPECT_EQ(replay::PortSearch::NotFound, configured.searches[0].ending);
  ASSERT_EQ(4u, configured.searches[0].passes.size());
  EXPECT_EQ("COM12 not opened", passSummary(configured.searches[0].passes[0]));
  EXPECT_EQ("", passSummary(configured.searches[0].passes[3]));
  replay::FieldLog changed = replay::readLog(fieldLog("sim_ports_change_between_searches"));
  ASSERT_EQ(2u, changed.searches.size());
  EXPECT_EQ((std::vector<std::string>{"COM8", "COM1", "COM3"}), changed.searches[1].ports);
  EXPECT_EQ(1, changed.searches[1].passes[0].baudIndex);
  EXPECT_EQ("COM8 not opened, COM1 no answer, COM3 found",
            passSummary(changed.searches[1].passes[0]));
  EXPECT_EQ(replay::PortSearch::NoPort,
            replay::readLog(fieldLog("sim_no_serial_port")).searches.at(0).ending);
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

TEST(ReplayTest, EveryKeptLogIsReproducedWithItsInputFilesGiven) {
  // (Without them, each is a test of its own: replay.NAME.)
  int logs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VANTOR_REPLAY_LOGS)) {
    if (entry.path().extension() != ".log") continue;
    std::string name = entry.path().stem().string();
    replay::FieldLog log = replay::readLog(fieldLog(name));
    std::string folder = ::testing::TempDir() + "replay_inputs_" + name;
    std::filesystem::create_directories(folder);
    devmodel::InputSet inputs = replay::fieldLogInputs(name);
    const std::string contents[] = {inputs.romLoaderText, inputs.bootLoaderUue,
                                    devmodel::asString(inputs.kernel),
                                    devmodel::asString(inputs.ramdisk)};
    // Under the names the run was configured with.
    for (int i = 0; i < 4; ++i)
      std::ofstream(folder + "/" + log.fileNames[i], std::ios::binary) << contents[i];
    replay::ReplayResult result = replay::replayLog(log, folder);
    EXPECT_TRUE(result.same) << name << ": " << result.verdict;
    std::filesystem::remove_all(folder);
    ++logs;
  }
  EXPECT_GE(logs, 20);
}

TEST(ReplayTest, ARomLoaderIsRebuiltLineForLineFromTheLog) {
  auto lf = [](std::string text) {
    std::string out;
    for (char c : text)
      if (c != '\r') out += c;
    return out;
  };
  EXPECT_EQ(lf(replay::fieldLogInputs("sim_whole_run").romLoaderText),
            lf(replay::rebuildRomLoader(replay::readLog(fieldLog("sim_whole_run")))));
  EXPECT_EQ(lf(replay::fieldLogInputs("wine_whole_run_win7").romLoaderText),
            lf(replay::rebuildRomLoader(replay::readLog(fieldLog("wine_whole_run_win7")))));
  // Retries and read-backs are left out: the comment and the records up to
  // the fifth, which failed.
  std::string wine = replay::fieldLogInputs("wine_record_failure").romLoaderText;
  std::size_t sixLines = 0;
  for (int n = 0; n < 6; ++n) sixLines = wine.find('\n', sixLines) + 1;
  EXPECT_EQ(wine.substr(0, sixLines),
            lf(replay::rebuildRomLoader(replay::readLog(fieldLog("wine_record_failure")))));
  // Lines longer than a piece are joined again; of a record with a comment
  // that runs past the piece, what the log never showed is blanks.
  std::string original = replay::fieldLogInputs("sim_long_rom_loader_lines").romLoaderText;
  std::size_t comment = original.find("   ; ccc");
  ASSERT_NE(std::string::npos, comment);
  std::size_t cEnd = original.find("ABCDEF", comment);
  original.replace(comment, cEnd - comment, std::string(cEnd - comment, ' '));
  EXPECT_EQ(original,
            replay::rebuildRomLoader(replay::readLog(fieldLog("sim_long_rom_loader_lines"))));

  // A comment of exactly 79 characters at the end of a file without a
  // line end: the upload ran into the end of the file right after it.
  std::string cut = fieldLog("sim_whole_run");
  std::size_t first = cut.find("# ROM loader");
  std::size_t records = cut.find(" -> \r\r\n", first);
  std::string piece = "#" + std::string(78, '-');
  std::string eof = cut.substr(0, records) + piece + "\r\n\r\n" +
                    "The ROM loader file ended without its end record.\r\n" +
                    "Procedura non completata: riprovare dall'inizio\r\n";
  EXPECT_EQ("# ROM loader generated for the device model (seed 7)\r\n" + piece,
            replay::rebuildRomLoader(replay::readLog(eof)));
  // An empty line at the end of the file is the file's: only the last
  // empty line before the end is the program's.
  std::string emptyLast = cut.substr(0, records) + "\r\n\r\n" +
                          "The ROM loader file ended without its end record.\r\n" +
                          "Procedura non completata: riprovare dall'inizio\r\n";
  EXPECT_EQ("# ROM loader generated for the device model (seed 7)\r\n\r\n",
            replay::rebuildRomLoader(replay::readLog(emptyLast)));
}

TEST(ReplayTest, AProbeAnswerOfAnyByteIsReplayed) {
  std::string log = fieldLog("sim_many_ports");
  const std::string echo = "COM4, baud rate 115200... porta aperta:  -> a\r\n <- a\r\n";
  ASSERT_NE(std::string::npos, log.find(echo));
  // A line feed is stored as CR LF, a CR before the line end as it came.
  for (const std::string& byte : {std::string("\r\n"), std::string("\r"), std::string(1, '\0'),
                                  std::string("\xFF"), std::string(":")}) {
    std::string answer = echo.substr(0, echo.size() - 3) + byte + "\r\n";
    std::string changed = replaced(log, echo, answer);
    if (byte == ":") {
      // Found there: a log that was cut right after.
      changed = changed.substr(0, changed.find(answer) + answer.size()) + "CONNESSO!\r\n";
    }
    replay::FieldLog read = replay::readLog(changed);
    const replay::Probe& probe = read.searches.at(0).passes.at(0).probes.at(2);
    EXPECT_EQ(byte == "\r\n" ? '\n' : byte[0], static_cast<char>(probe.answer));
    replay::ReplayResult result = replay::replayLog(read, "");
    EXPECT_TRUE(result.same) << replay::escapeBytes(byte) << ": " << result.verdict;
  }
}

TEST(ReplayTest, AProbeWhoseThreadNeverStartedIsReplayedAsSuch) {
  // The probe's thread could not be made: message 15 from the main thread
  // without a port named, and the port is not tried again.
  std::string log = fieldLog("sim_port_not_opened");
  std::string changed = replaced(
      log, "Connessione a COM1, baud rate 115200... non posso aprire la porta.\r\n",
      "modulo V&L non trovato!\r\n");
  ASSERT_NE(log, changed);
  replay::FieldLog read = replay::readLog(changed);
  EXPECT_EQ("COM1 not started, COM3 no answer", passSummary(read.searches.at(0).passes.at(0)));
  replay::ReplayResult result = replay::replayLog(read, "");
  EXPECT_TRUE(result.same) << result.verdict;
}

TEST(ReplayTest, AnEjectGoesTheWayTheLogSaysWithTheVolumeItNames) {
  std::string log = fieldLog("sim_eject_vetoed");
  const std::string vetoed = "vetoed (15,6)!";
  ASSERT_NE(std::string::npos, log.find(vetoed));
  for (const char* other : {"vetoed (15,1)!", "has problem (6,21)!", "not removable (5,0)!",
                            "not found (4,0)!"}) {
    replay::ReplayResult result = replay::replayLog(replay::readLog(replaced(log, vetoed, other)), "");
    EXPECT_TRUE(result.same) << other << ": " << result.verdict;
  }
  std::string code = replaced(log, ", " + vetoed, ", error code 14,19!");
  replay::ReplayResult result = replay::replayLog(replay::readLog(code), "");
  EXPECT_TRUE(result.same) << result.verdict;
  // No configuration manager to ask: the applet is opened at once.
  const std::string applet =
      "Nella finestra 'Scollegamento o rimozione di una periferica hardware', seleziona "
      "'Disco USB (Altamec K-Ferro04 Boot E:)' e cliccare su 'Interrompi'\r\n";
  const std::string firstEject =
      "Error ejecting device STORAGE\\REMOVABLEMEDIA\\8&2F7E1D0&0&RM, " + vetoed + "\r\n";
  std::string unsupported = replaced(log, firstEject, "Operating system not supported!\r\n");
  unsupported = replaced(unsupported, "Drive Ejected\r\n",
                         "Operating system not supported!\r\n" + applet);
  result = replay::replayLog(replay::readLog(unsupported), "");
  EXPECT_TRUE(result.same) << result.verdict;
  // Once loaded, the library stays: only the first eject can miss it.
  std::string noLibrary =
      replaced(log, firstEject, "Error in device eject, error code 2,126!\r\n");
  result = replay::replayLog(replay::readLog(noLibrary), "");
  EXPECT_TRUE(result.same) << result.verdict;
  // The first disk's record had no volume: no eject was tried at all.
  std::string invalid = replaced(
      log, "Error ejecting device STORAGE\\REMOVABLEMEDIA\\8&2F7E1D0&0&RM, " + vetoed,
      "Invalid drive specification 'E:'!");
  result = replay::replayLog(replay::readLog(invalid), "");
  EXPECT_TRUE(result.same) << result.verdict;
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
