// vantor_explain, held to what the kept runs really did: each log of
// tests/replay_logs has beside it NAME.truth, written from the device
// model's and the machine's record of the run (make_field_logs) or from
// the Wine scenario that made it. The guide it quotes must have one row for
// each ending it can report, and a file that is not a log of the program is
// refused, never guessed at.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tools/replay/explain.h"
#include "tools/replay/guide_rows.h"
#include "tools/replay/log_reader.h"
#include "tools/replay/program_lines.h"
#include "tests/support/text_files.h"

namespace {

std::string keptLog(const std::string& name) {
  return readWhole(std::string(VANTOR_REPLAY_LOGS) + "/" + name + ".log");
}

// "key: value" lines; '#' starts a comment line.
std::map<std::string, std::string> readTruth(const std::string& path) {
  std::map<std::string, std::string> truth;
  std::istringstream in(readWhole(path));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value[0] == ' ') value.erase(0, 1);
    truth[line.substr(0, colon)] = value;
  }
  return truth;
}

// The fields of one CSV row, quotes undone.
std::vector<std::string> csvFields(const std::string& row) {
  std::vector<std::string> fields(1);
  bool quoted = false;
  for (std::size_t i = 0; i < row.size(); ++i) {
    char c = row[i];
    if (quoted && c == '"' && i + 1 < row.size() && row[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

replay::Explanation explain(const std::string& bytes) {
  return replay::explainLog(replay::readLog(bytes));
}

TEST(ExplainTest, EveryKeptLogIsExplainedAsItsRunWent) {
  const char* const kColumns[] = {"file",    "outcome", "stopped_at", "message", "passes",
                                  "port",    "baud",    "flashed",    "interrupted"};
  std::set<std::string> stops;
  std::set<replay::Ending> endings;
  int logs = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VANTOR_REPLAY_LOGS)) {
    if (entry.path().extension() != ".log") continue;
    std::string name = entry.path().stem().string();
    std::string truthPath = std::string(VANTOR_REPLAY_LOGS) + "/" + name + ".truth";
    ASSERT_TRUE(std::filesystem::exists(truthPath)) << name << ": no " << name << ".truth";
    std::map<std::string, std::string> truth = readTruth(truthPath);
    replay::FieldLog log = replay::readLog(keptLog(name));
    replay::Explanation x = replay::explainLog(log);
    ASSERT_NE(replay::Outcome::Unreadable, x.outcome) << name << ": " << x.error << " at line "
                                                      << x.errorLine;
    std::vector<std::string> row = csvFields(replay::csvRow(name, x));
    ASSERT_EQ(10u, row.size()) << name;
    for (std::size_t c = 1; c < 9; ++c)
      EXPECT_EQ(truth[kColumns[c]], row[c]) << name << ": column " << kColumns[c];
    EXPECT_FALSE(row[9].empty()) << name;
    // The account names the guide's row for its ending, which the guide has.
    std::string text = replay::explainText(log, x, name);
    EXPECT_EQ(std::string::npos, text.find("such rows")) << name << "\n" << text;
    const replay::EndingInfo* info = replay::endingInfo(x.ending);
    if (info != nullptr) {
      EXPECT_NE(std::string::npos, text.find(info->row)) << name;
    }
    stops.insert(row[2]);
    endings.insert(x.ending);
    ++logs;
  }
  EXPECT_GE(logs, 50);
  // The logs made for the purpose reach every step and every ending.
  for (int s = 0; s <= static_cast<int>(replay::Step::End); ++s)
    EXPECT_EQ(1u, stops.count(replay::stepId(static_cast<replay::Step>(s))))
        << "no kept log stops at " << replay::stepId(static_cast<replay::Step>(s));
  for (const replay::EndingInfo& info : replay::endingRows())
    EXPECT_EQ(1u, endings.count(info.ending)) << "no kept log ends so: " << info.label;
}

TEST(ExplainTest, EveryEndingHasItsOneRowInTheGuideAndTheStateAgrees) {
  const auto& tables = replay::operatorGuideTables();
  for (const replay::EndingInfo& info : replay::endingRows())
    EXPECT_EQ(1u, replay::guideRows(tables, info.table, info.row).size())
        << "table \"" << info.table << "\", row \"" << info.row << "\" (" << info.label << ")";
  // What the tool says the module holds is what the guide's section 6 says
  // for the row it quotes: "nuovo" for each flash confirmed, "forse scritto a
  // metà" for the one cut short, "di prima" for the others.
  struct State {
    int flashed, interrupted;
  } states[] = {{0, replay::NoImage}, {0, replay::Blob},   {1, replay::NoImage},
                {1, replay::Kernel},  {2, replay::NoImage}, {2, replay::Ramdisk},
                {3, replay::NoImage}};
  for (const State& s : states) {
    const char* row = replay::stateRow(s.flashed, s.interrupted);
    auto rows = replay::guideRows(tables, replay::kStateTable, row);
    ASSERT_EQ(1u, rows.size()) << row;
    ASSERT_EQ(4u, rows[0]->size()) << row;
    for (int image = 0; image < 3; ++image) {
      const std::string& cell = (*rows[0])[static_cast<std::size_t>(image) + 1];
      std::string want = image < s.flashed        ? "nuovo"
                         : image == s.interrupted ? "forse scritto a met\u00e0"
                                                  : "di prima";
      EXPECT_EQ(0u, cell.find(want)) << row << ": " << replay::imageId(image) << " is \"" << cell
                                     << "\"";
    }
  }
  // Every row of the three tables is one the tool names, once; the only
  // others are the endings that leave no log to explain. Every row has its
  // table's cells.
  std::set<std::string> named = {
      "\u00abNon posso aprire il file C:\\WINDOWS\\temp\\vantor_config.log\u00bb",
      "\u00abNon posso creare l'oggetto com port!\u00bb"};
  for (const replay::EndingInfo& info : replay::endingRows()) named.insert(info.row);
  for (const State& s : states) named.insert(replay::stateRow(s.flashed, s.interrupted));
  std::set<std::string> seen;
  for (const replay::GuideTable& t : tables) {
    bool troubleshooting = t.header[0] == "Come finisce" || t.header[0] == "Attesa" ||
                           t.header[0] == replay::kStateTable;
    for (const auto& row : t.rows) {
      EXPECT_EQ(t.header.size(), row.size()) << t.header[0] << ": " << row[0];
      EXPECT_TRUE(!troubleshooting || (named.count(row[0]) == 1 && seen.insert(row[0]).second))
          << "table \"" << t.header[0] << "\": a row no ending names, or named twice: " << row[0];
    }
  }
  // The English lines the tool recognises are written by the program.
  std::string sources;
  for (const char* folder : {"app", "serial", "stages", "disk"})
    for (const auto& file : std::filesystem::directory_iterator(std::string(VANTOR_SOURCE_DIR) +
                                                                "/" + folder))
      sources += readWhole(file.path().string());
  for (std::string text : replay::englishLineTexts()) {
    // As the sources spell a line feed.
    for (std::size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
      text.replace(at, 1, "\\n");
    EXPECT_NE(std::string::npos, sources.find(text)) << text;
  }
}

TEST(ExplainTest, AFileThatIsNotALogIsRefusedWithTheLineWhereReadingStopped) {
  std::string log = keptLog("sim_copy_cancelled");
  std::size_t probe = log.find("Connessione a COM3");
  std::size_t notCompleted = log.find("Procedura non completata");
  ASSERT_NE(std::string::npos, probe);
  struct Case {
    const char* what;
    std::string bytes;
    int line;
  } cases[] = {
      {"empty", "", 1},
      {"binary", std::string("\x7F" "ELF\x02\x01\x01\0\0\0", 10), 1},
      {"another program's text", "# vantor_config\r\n\r\nA console utility...\r\n", 1},
      {"cut in its first lines", log.substr(0, log.find("[KERNEL]")), 4},
      {"a mangled key", replaced(log, "[BLOB]:", "[BL0B]:"), 3},
      {"a line the program does not write",
       log.substr(0, probe) + "Connection to COM3... \r\n" + log.substr(probe), 16},
      {"a line of the program where it never writes it",
       log.substr(0, probe) + "Trovato disco E\r\n" + log.substr(probe), 16},
      {"more after message 39", log + "Nomi dei file:\r\n", 204},
      {"a second log appended", log.substr(0, notCompleted) + log, 203},
  };
  for (const Case& c : cases) {
    replay::Explanation x = explain(c.bytes);
    EXPECT_EQ(replay::Outcome::Unreadable, x.outcome) << c.what;
    EXPECT_EQ(c.line, x.errorLine) << c.what << ": " << x.error;
    EXPECT_FALSE(x.error.empty()) << c.what;
  }
  // The command says so, with exit status 2.
  std::string foreign = ::testing::TempDir() + "explain_foreign.txt";
  std::string errors = ::testing::TempDir() + "explain_errors.txt";
  std::ofstream(foreign, std::ios::binary) << cases[5].bytes;
  int status = std::system((std::string(VANTOR_EXPLAIN_BIN) + " '" + foreign + "' 2>'" + errors +
                            "' >/dev/null")
                               .c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  EXPECT_NE(std::string::npos, readWhole(errors).find("(line 16)")) << readWhole(errors);
  status = std::system((std::string(VANTOR_EXPLAIN_BIN) + " --csv '" + foreign + "' " +
                        VANTOR_REPLAY_LOGS + "/sim_whole_run.log >'" + errors + "' 2>/dev/null")
                           .c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
  std::string csv = readWhole(errors);
  EXPECT_NE(std::string::npos, csv.find(",unreadable,")) << csv;
  EXPECT_NE(std::string::npos, csv.find("sim_whole_run.log,complete,end,")) << csv;
  std::remove(foreign.c_str());
  std::remove(errors.c_str());
}

TEST(ExplainTest, NoByteOfTheLogReachesTheTerminalAsAControl) {
  // Names in the configuration and the module's bytes are the log's: an
  // escape sequence or a line end in them is shown escaped, and a CSV row
  // stays one line.
  std::string log = replaced(keptLog("wine_missing_kernel"), "[KERNEL]: zImage",
                             "[KERNEL]: z\x1B[2J\rImage,\"");
  log = replaced(log, "Copia di zImage in E:\\zImage", "Copia di z\x1B[2J\rImage,\" in E:\\z");
  replay::FieldLog field = replay::readLog(log);
  replay::Explanation x = replay::explainLog(field);
  ASSERT_EQ(replay::Outcome::Failed, x.outcome) << x.error;
  std::string text = replay::explainText(field, x, "vantor_config.log");
  EXPECT_EQ(std::string::npos, text.find_first_of("\x1B\r")) << text;
  std::string row = replay::csvRow("vantor_config.log", x);
  EXPECT_EQ(std::string::npos, row.find_first_of("\x1B\r\n")) << row;
  EXPECT_EQ(10u, csvFields(row).size()) << row;
}

TEST(ExplainTest, ALogCutAnywhereIsCutAtAStepThatNeverGoesBack) {
  // Every line end of a whole run, and a cut inside a line here and there:
  // the log is refused only inside its configuration block, is cut
  // everywhere else, and the step it reached only moves forward.
  std::string whole = keptLog("sim_whole_run");
  std::size_t configuration = whole.find("\r\n\r\n") + 4;
  replay::Step last = replay::Step::Start;
  int cuts = 0;
  for (std::size_t at = 0; at + 1 < whole.size(); ++at) {
    if (whole[at] != '\n' && at % 37 != 0) continue;
    replay::Explanation x = explain(whole.substr(0, at + 1));
    if (x.outcome == replay::Outcome::Unreadable) {
      EXPECT_LT(at + 1, configuration) << "cut at " << at << ": " << x.error;
      continue;
    }
    EXPECT_EQ(replay::Outcome::Cut, x.outcome) << "cut at " << at;
    EXPECT_GE(x.stoppedAt, last) << "cut at " << at;
    last = x.stoppedAt;
    ++cuts;
  }
  EXPECT_EQ(replay::Step::RamdiskFlash, last);
  EXPECT_GT(cuts, 200);
  EXPECT_EQ(replay::Outcome::Complete, explain(whole).outcome);
}

TEST(ExplainTest, TheSummaryCountsEveryLogAndPutsTheCommonestFirst) {
  std::vector<replay::ExplainedFile> runs;
  for (const char* name : {"sim_silent_module", "wine_silent_module",
                           "sim_configured_port_not_opened", "sim_whole_run",
                           "sim_copy_cancelled"})
    runs.push_back({std::string(name) + ".log", explain(keptLog(name))});
  runs.push_back({"notes.txt", explain("not a log\r\n")});
  std::string summary = replay::summaryTable(runs);
  std::size_t first = summary.find("\n3 ");
  ASSERT_NE(std::string::npos, first) << summary;
  EXPECT_NE(std::string::npos, summary.find("discovery", first)) << summary;
  EXPECT_LT(first, summary.find("\n1 ")) << summary;
  for (const replay::ExplainedFile& run : runs)
    EXPECT_NE(std::string::npos, summary.find(run.file)) << summary;
  EXPECT_NE(std::string::npos, summary.find("not a log of vantor_config")) << summary;
}

}  // namespace
