// The operator's guide and the README are claims about the program, held to
// it here: every quote between « and » is what the console shows (the
// catalogue's texts in the console's code page, with example values where a
// message takes arguments; a quote may run several messages together, as
// they share one line on the screen); every number the guide states is the
// program's named constant, in a phrase that says which; and the log texts
// its tables quote are the program's. That every ending has its one row is
// held by explain_test, against the rows the tool names.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "app/context.h"
#include "platform/sim/codepage.h"
#include "serial/probe.h"
#include "stages/blob_dialogue.h"
#include "stages/boot_loader.h"
#include "stages/image_transfer.h"
#include "stages/rom_loader.h"
#include "tests/support/sim_fixture.h"
#include "tests/support/text_files.h"
#include "tools/replay/explain.h"
#include "tools/replay/guide_rows.h"

namespace {

std::string readSource(const std::string& path) {
  return readWhole(std::string(VANTOR_SOURCE_DIR) + "/" + path);
}

const std::string kGuide = "docs/guida-operatore.md";

// Messages that no operation prints, and those that go to the log only: the
// guide need not quote them.
const std::set<int> kNeverOnConsole = {1, 2, 3, 7, 8, 14, 25, 32, 43, 44};

// UTF-8 in the console's code page; a character the code page lacks, or a
// broken sequence, becomes a byte that no message holds.
std::string toConsole(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : -1;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    bool ok = extra >= 0 && i + extra < utf8.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(utf8[i + k]);
      ok = (next >> 6) == 2;
      c = (c << 6) | (next & 0x3F);
    }
    int byte = ok ? sim::oemByte(850, static_cast<wchar_t>(c)) : -1;
    out.push_back(byte < 0 ? '\x01' : static_cast<char>(byte));
    i += ok ? extra + 1 : 1;
  }
  return out;
}

struct Quote {
  std::string text;   // console bytes
  std::string shown;  // as the guide has it
  int line;
};

// Every «...» of the guide. A line break inside a quote, with the
// indentation that follows it, is the blank that the rendered text shows.
std::vector<Quote> quotesOf(const std::string& guide) {
  std::vector<Quote> quotes;
  for (std::size_t at = guide.find("\xC2\xAB"); at != std::string::npos;
       at = guide.find("\xC2\xAB", at)) {
    std::size_t end = std::min(guide.find("\xC2\xBB", at), guide.size());
    std::string shown;
    for (std::size_t i = at + 2; i < end; ++i) {
      shown.push_back(guide[i] == '\n' ? ' ' : guide[i]);
      if (guide[i] == '\n') i = std::min(guide.find_first_not_of(' ', i + 1), end) - 1;
    }
    quotes.push_back({toConsole(shown), shown,
                      1 + static_cast<int>(std::count(guide.begin(), guide.begin() + at, '\n'))});
    at = end;
  }
  return quotes;
}

// End positions in `text` at which `format`, starting at `at`, can end:
// %s stands for one or more characters, %d for a number, %% for "%".
void formatEnds(const std::string& format, std::size_t f, const std::string& text,
                std::size_t at, std::set<std::size_t>& ends) {
  if (f == format.size()) {
    ends.insert(at);
    return;
  }
  char kind = format[f] == '%' && f + 1 < format.size() ? format[f + 1] : 0;
  if (kind == 's') {
    for (std::size_t end = at + 1; end <= text.size(); ++end)
      formatEnds(format, f + 2, text, end, ends);
  } else if (kind == 'd') {
    std::size_t end = at < text.size() && text[at] == '-' ? at + 1 : at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
      formatEnds(format, f + 2, text, ++end, ends);
  } else if (kind == '%') {
    if (at < text.size() && text[at] == '%') formatEnds(format, f + 2, text, at + 1, ends);
  } else if (at < text.size() && text[at] == format[f]) {
    formatEnds(format, f + 1, text, at + 1, ends);
  }
}

// A piece of the screen: one line of a message, as it stands between its
// line breaks (a carriage return counts as one).
struct Piece {
  std::string format;
  int message;
};

std::vector<Piece> screenPieces() {
  std::vector<Piece> pieces;
  for (int n = 0; n < kMessageCount; ++n) {
    std::string text = message(static_cast<MessageId>(n));
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
      if (i == text.size() || text[i] == '\n' || text[i] == '\r') {
        if (i > start) pieces.push_back({text.substr(start, i - start), n});
        start = i + 1;
      }
    }
  }
  return pieces;
}

std::string trimmed(const std::string& text, bool leading, bool trailing) {
  std::size_t first = leading ? text.find_first_not_of(' ') : 0;
  if (first == std::string::npos) return "";
  std::size_t last = trailing ? text.find_last_not_of(' ') : text.size() - 1;
  return text.substr(first, last - first + 1);
}

// Splits the quote into pieces, each a message line with its own blanks,
// except that the first may lose its leading blanks and the last its
// trailing ones; `used` receives the messages of the split found.
bool matchQuote(const std::vector<Piece>& pieces, const std::string& quote,
                std::size_t at, std::vector<int>& used) {
  for (const Piece& piece : pieces) {
    std::string format = trimmed(piece.format, at == 0, false);
    if (format.empty()) continue;
    std::set<std::size_t> ends;
    formatEnds(trimmed(format, false, true), 0, quote, at, ends);
    if (ends.count(quote.size()) != 0) {
      used.push_back(piece.message);
      return true;
    }
    ends.clear();
    formatEnds(format, 0, quote, at, ends);
    for (std::size_t end : ends) {
      if (end >= quote.size()) continue;
      used.push_back(piece.message);
      if (matchQuote(pieces, quote, end, used)) return true;
      used.pop_back();
    }
  }
  return false;
}

class GuideTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    useCatalogue();
    guide_ = readSource(kGuide);
    ASSERT_FALSE(guide_.empty()) << "cannot read " << kGuide;
  }
  std::string guide_;
};

TEST_F(GuideTest, EveryQuoteIsWhatTheConsoleShowsAndEveryMessageIsQuoted) {
  std::vector<Piece> pieces = screenPieces();
  std::set<int> quoted;
  for (const Quote& quote : quotesOf(guide_)) {
    std::vector<int> used;
    EXPECT_TRUE(!quote.text.empty() && quote.text == trimmed(quote.text, true, true) &&
                matchQuote(pieces, quote.text, 0, used))
        << kGuide << ":" << quote.line << ": no message reads \"" << quote.shown << "\"";
    quoted.insert(used.begin(), used.end());
  }
  for (int n = 0; n < kMessageCount; ++n)
    EXPECT_TRUE(kNeverOnConsole.count(n) != 0 || quoted.count(n) != 0)
        << "the guide never quotes message " << n << ": \""
        << message(static_cast<MessageId>(n)) << "\"";
  // The matcher refuses what differs from a message by one character, a
  // blank, a missing part or an argument where the text has none.
  std::vector<int> used;
  for (const char* text : {"Procedura non completata: riprovare dall'inizio",
                           "Connessione a COM12, baud rate 9600... porta aperta: CONNESSO!",
                           "Caricamento linea 7 - Trasferimento completato: 100%",
                           "Copia di zImage in E:\\zImage... Fatto"})
    EXPECT_TRUE(matchQuote(pieces, text, 0, used)) << text;
  for (const char* text : {"Procedura non completata: riprovare dall inizio",
                           "Procedura non completata:  riprovare dall'inizio",
                           "Procedura non completata",
                           "Connessione a COM12, baud rate nove... porta aperta: CONNESSO!",
                           "Connessione a COM12, baud rate 9600...porta aperta: CONNESSO!",
                           "Caricamento linea 7 - Trasferimento completato: 100%%",
                           "Fatto Fatto!"})
    EXPECT_FALSE(matchQuote(pieces, text, 0, used)) << text;
}

// ---- every number the guide states is the program's -------------------------

// The workshop's rule for giving up, which the guide states beside the
// program's limits: outside a flash, this long without a change on the
// screen means a wait that will not end by itself; a flash that still runs
// after the longer time is reported to the workshop, never cut short.
constexpr int kGiveUpMinutes = 5;
constexpr int kFlashCallMinutes = 30;
static_assert(kGiveUpMinutes * 60000 >
                  kUsbTries * (kUsbCommandPauseMs + kUsbConnectMs + kUsbAbandonPromptMs),
              "the guide would give up on a USB disk the program still waits for");
static_assert(kFlashCallMinutes > kGiveUpMinutes, "a flash is given the longer time");

// As the guide writes a number: a decimal comma.
std::string n(double value) {
  std::ostringstream out;
  out << value;
  std::string text = out.str();
  std::replace(text.begin(), text.end(), '.', ',');
  return text;
}

// Every number the guide states, in words that say which limit it is: a
// changed constant changes its phrase, and the guide must follow.
std::vector<std::string> numberPhrases() {
  return {
      "ha " + n(kProbeAnswerMs / 1000.0) + " secondo per rispondere",
      "lasciata dopo " + n(kProbeTimeoutMs / 1000.0) + " secondi",
      n(kBaudRateCount) + " velocit\u00e0",
      // A record's try: the carriage return's echo, the record's echo and
      // the acknowledgement, each with its own limit.
      "ha " + n(kRecordAttempts) + " tentativi, di circa " + n(3 * kRecordAnswerMs / 1000.0) +
          " secondi",
      "non \u00e8 passata in " + n(kRecordAttempts) + " tentativi",
      "riletta " + n(kReadBackAttempts) + " volte",
      "entro " + n(kPromptAfterRestartMs / 1000.0) + " secondi",
      "in " + n(kConfirmTries) + " prove",
      "entro " + n(kUsbConnectMs / 60000.0) + " minuto, per " + n(kUsbTries) + " tentativi",
      "pausa di " + n((kNewDriveSettleMs + kBeforeCopyMs) / 1000.0) + " secondi prima della copia",
      "Vista " + n(kOlderWindowsAfterCopyMs / 1000.0) + " secondi di",
      n(kBeforeRemovalMs / 1000.0) + " secondi dopo la copia",
      "al massimo " + n(kFileNameSize - 1) + " caratteri",
      "supera i " + n(kFileNameSize - 1) + " caratteri",
      n(kGiveUpMinutes) + " minuti senza cambiamenti",
      "dopo " + n(kFlashCallMinutes) + " minuti",
  };
}

// Numbers that are no limit of the program: Windows versions, the example
// values, references to sections and steps.
const char* const kNotLimits[] = {
    "Windows (2000|XP|Vista)", "2000, XP, 7 e", "a 64 bit", "\\(COM1, E, 115200\\)",
    "sezione \\d", "punt[oi] \\d(, \\d)*( e \\d)?",
};

TEST_F(GuideTest, EveryNumberIsTheProgramsOwn) {
  // The guide's prose only: quotes, code, the settings of the configuration
  // example and the numbers of headings and list items blanked. Then both
  // with their runs of blanks and line breaks as one blank.
  std::string blanked = guide_;
  for (const char* other : {"\xC2\xAB[\\s\\S]*?\xC2\xBB", "`[^`]*`", "\n\\w+=[^\n]*",
                            "\n(#+ )?\\d+\\. "}) {
    std::regex pattern(other);
    for (std::sregex_iterator m(guide_.begin(), guide_.end(), pattern), end; m != end; ++m)
      for (auto k = m->position() + 1; k < m->position() + m->length(); ++k)
        if (guide_[k] != '\n') blanked[k] = ' ';
  }
  std::string flat, prose;
  for (std::size_t i = 0; i < guide_.size(); ++i) {
    bool blank = guide_[i] == ' ' || guide_[i] == '\n';
    if (blank && (flat.empty() || flat.back() == ' ')) continue;
    flat.push_back(blank ? ' ' : guide_[i]);
    prose.push_back(blank ? ' ' : static_cast<char>(std::tolower(blanked[i])));
  }
  std::vector<bool> covered(flat.size(), false);
  auto cover = [&](const std::regex& pattern) {
    int found = 0;
    for (std::sregex_iterator m(flat.begin(), flat.end(), pattern), end; m != end; ++m, ++found)
      std::fill_n(covered.begin() + m->position(), m->length(), true);
    return found;
  };
  std::regex special("[.*+?^${}()|\\[\\]\\\\]");
  for (const std::string& phrase : numberPhrases())
    EXPECT_GT(cover(std::regex(std::regex_replace(phrase, special, "\\$&"))), 0)
        << "the guide no longer says \"" << phrase << "\"";
  for (const char* pattern : kNotLimits) EXPECT_GT(cover(std::regex(pattern)), 0) << pattern;
  // Every figure, and every number in words before a unit, lies in one of them.
  std::regex number(
      "\\b\\d+(,\\d+)?|\\b(una?|uno|due|tre|quattro|cinque|sei|sette|otto|nove|dieci|venti|trenta|"
      "sessanta|mezz[oa]) (second|minut|or[ae]|tentativ|prov[ae]|volt[ae]|rilettur|passat|"
      "velocit|caratter)");
  for (std::sregex_iterator m(prose.begin(), prose.end(), number), end; m != end; ++m)
    EXPECT_EQ(0, std::count(covered.begin() + m->position(),
                            covered.begin() + m->position() + m->length(), false))
        << kGuide << ": \"" << flat.substr(m->position() > 40 ? m->position() - 40 : 0, 80)
        << "\": \"" << m->str() << "\" is no phrase of a limit the test knows";
}

// ---- the tables --------------------------------------------------------------

TEST_F(GuideTest, TheWaitsSayWhatHoldsTheProgram) {
  std::vector<replay::GuideTable> tables = replay::guideTables(guide_);
  auto row = [&](replay::Ending ending) {
    const replay::EndingInfo* info = replay::endingInfo(ending);
    auto rows = replay::guideRows(tables, info->table, info->row);
    return rows.size() == 1 ? *rows[0] : std::vector<std::string>(4);
  };
  // Only one record of the ROM loader is awaited without limit; the row
  // names it, for the technician to find in the log.
  auto upload = row(replay::Ending::CutWaitingForEcho);
  EXPECT_NE(std::string::npos, upload[1].find(kUnlimitedWaitRecord));
  EXPECT_NE(std::string::npos, upload[3].find(kUnlimitedWaitRecord));
  // The restart is awaited from the module's own boot loader, which a
  // jumper left in never starts.
  EXPECT_NE(std::string::npos,
            row(replay::Ending::CutWaitingForRestart)[1].find("jumper centrale ancora inserito"));
  // A flash is never cut short.
  EXPECT_EQ(0u, row(replay::Ending::CutInFlash)[2].find("Non spegnere il robot, non scollegare"));

  // The log texts the rows quote in code are the ones the program writes:
  // a line of its own from the sources, or a message of the catalogue.
  std::string sources;
  for (const char* folder : {"app", "serial", "stages", "disk"})
    for (const auto& file : std::filesystem::directory_iterator(
             std::string(VANTOR_SOURCE_DIR) + "/" + folder))
      sources += readWhole(file.path().string());
  std::vector<Piece> pieces = screenPieces();
  int checked = 0;
  for (const replay::GuideTable& table : tables) {
    if (table.header[0] != "Come finisce" && table.header[0] != "Attesa") continue;
    for (const auto& cells : table.rows) {
      for (const std::string& cell : cells) {
        // Lines, not single words or traffic: they end like a sentence.
        std::regex line("`([^ `][^`]* [^`]*[.!:])`");
        for (std::sregex_iterator m(cell.begin(), cell.end(), line), end; m != end; ++m) {
          std::vector<int> used;
          ++checked;
          EXPECT_TRUE(sources.find((*m)[1]) != std::string::npos ||
                      matchQuote(pieces, (*m)[1], 0, used))
              << "the program writes no \"" << (*m)[1] << "\" (row \"" << cells[0] << "\")";
        }
      }
    }
  }
  EXPECT_GE(checked, 8);
}

// ---- what the guide and the README say in words ------------------------------

std::string oneLine(const std::string& text) {
  return std::regex_replace(text, std::regex("[ \n]+"), " ");
}

// A rule that gives up on a wait after some minutes must never have the
// operator switch the robot off or unplug it: the wait may be a flash.
// Switching off belongs only to the steps that ask for it, and to the
// restart, which says "mai durante una scrittura". Each paragraph, list
// item and table cell is one rule.
TEST_F(GuideTest, NoRuleForGivingUpCutsAFlashShort) {
  std::vector<std::string> blocks(1);
  std::istringstream in(guide_);
  for (std::string line; std::getline(in, line);) {
    if (std::regex_search(line, std::regex("^ *(- |\\d+\\. |[|#]|$)"))) blocks.emplace_back();
    for (char c : line) {
      if (c == '|') blocks.emplace_back();
      else blocks.back().push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    blocks.back().push_back(' ');
  }
  int rules = 0;
  std::sregex_iterator end;
  for (const std::string& block : blocks) {
    std::string said = oneLine(block);
    if (said.find("minut") == std::string::npos) continue;
    ++rules;
    std::regex act("(\\w+ )?(spegner|spegni|scollegar|staccar|togliere la corrente)");
    for (std::sregex_iterator a(said.begin(), said.end(), act); a != end; ++a)
      EXPECT_TRUE((*a)[1] == "non " || (*a)[1] == "mai ")
          << "a wait given up after minutes must not end in \"" << a->str() << "\": " << said;
  }
  EXPECT_GT(rules, 2);
}

TEST_F(GuideTest, TheReadmeNamesWhatTheProgramAndTheScriptsDo) {
  std::string readme = oneLine(readSource("README.md"));
  auto says = [&](const std::string& words) { return readme.find(words) != std::string::npos; };
  // The older path, with the applet and the pause after the copy, is the
  // one of version 6.0 and of the 9x family; Windows 8 and later report 6.2
  // to a program without a manifest.
  EXPECT_TRUE(says("On Windows Vista and Server 2008 (version 6.0) the program always opens "
                   "the hot-plug applet"));
  EXPECT_TRUE(says("pauses " + n(kOlderWindowsAfterCopyMs / 1000.0) + " seconds after each copy"));
  // The host build's products lie in whatever folder that build was made
  // in; only the folders the scripts fix may be named.
  for (const char* fixed : {"build/windows32", "build/windows64", "build/tools/"})
    EXPECT_FALSE(says(fixed)) << fixed;
  std::smatch folder;
  std::string script = readSource("scripts/campaign.sh");
  ASSERT_TRUE(std::regex_search(script, folder,
                                std::regex("build=\"\\$\\{VANTOR_CAMPAIGN_BUILD:-([^}]+)\\}\"")));
  EXPECT_TRUE(says(folder[1].str() + "/tools/campaign/vantor_campaign --replay"));
  EXPECT_NE(std::string::npos, readSource("scripts/package.sh").find("build=build/package"));
  EXPECT_TRUE(says("`build/package/`"));
}

}  // namespace
