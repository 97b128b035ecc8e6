// The operator's guide is a set of claims about the program, held to it
// here: every quote between « and » is what the console shows (the
// catalogue's texts after the program's own conversion to the console's
// code page, with example values where a message takes arguments; a quote
// may run several messages together, as they share one line on the
// screen); every number it states is the program's named constant; every
// way a run ends has its one troubleshooting row; and the log texts and
// facts it names are the program's.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
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

namespace {

// Messages that no operation prints, and those that go to the log only: the
// guide need not quote them.
const std::set<int> kNeverOnConsole = {1, 2, 3, 7, 8, 14, 25, 32, 43, 44};

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// UTF-8 to code points; an invalid sequence gives U+FFFD, which no code
// page has, so that it can never match.
std::u32string decodeUtf8(const std::string& bytes) {
  std::u32string out;
  for (std::size_t i = 0; i < bytes.size();) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2
                : (lead >> 3) == 30 ? 3 : -1;
    char32_t c = extra == 0 ? lead : extra == 1 ? (lead & 0x1F)
                 : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    bool ok = extra >= 0 && i + extra < bytes.size();
    for (int k = 1; ok && k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      ok = (next >> 6) == 2;
      c = (c << 6) | (next & 0x3F);
    }
    out.push_back(ok ? c : U'\uFFFD');
    i += ok ? extra + 1 : 1;
  }
  return out;
}

// The console's bytes for a text: what the program's conversion makes of
// the same characters. Characters the code page lacks become a byte that
// no message holds.
std::string toConsole(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    int byte = sim::oemByte(850, static_cast<wchar_t>(c));
    out.push_back(byte < 0 ? '\x01' : static_cast<char>(byte));
  }
  return out;
}

struct Quote {
  std::string text;   // console bytes
  std::string shown;  // as the guide has it, for the failure message
  int line;
};

std::string encodeUtf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | ((c >> 12) & 0x0F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Every «...» of the guide. A line break inside a quote, with the
// indentation that follows it, is the blank that the rendered text shows.
std::vector<Quote> quotesOf(const std::u32string& guide) {
  std::vector<Quote> quotes;
  int line = 1;
  for (std::size_t i = 0; i < guide.size(); ++i) {
    if (guide[i] == U'\n') ++line;
    if (guide[i] != U'\u00AB') continue;
    std::u32string text;
    int startLine = line;
    std::size_t j = i + 1;
    for (; j < guide.size() && guide[j] != U'\u00BB'; ++j) {
      if (guide[j] == U'\n') {
        ++line;
        text.push_back(U' ');
        while (j + 1 < guide.size() && guide[j + 1] == U' ') ++j;
      } else {
        text.push_back(guide[j]);
      }
    }
    quotes.push_back({toConsole(text), encodeUtf8(text), startLine});
    i = j;
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
  if (format[f] == '%' && f + 1 < format.size()) {
    char kind = format[f + 1];
    if (kind == 's') {
      for (std::size_t end = at + 1; end <= text.size(); ++end)
        formatEnds(format, f + 2, text, end, ends);
      return;
    }
    if (kind == 'd') {
      std::size_t end = at;
      if (end < text.size() && text[end] == '-') ++end;
      while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
        formatEnds(format, f + 2, text, end, ends);
      }
      return;
    }
    if (kind == '%') {
      if (at < text.size() && text[at] == '%') formatEnds(format, f + 2, text, at + 1, ends);
      return;
    }
  }
  if (at < text.size() && text[at] == format[f])
    formatEnds(format, f + 1, text, at + 1, ends);
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

std::string withoutLeadingBlanks(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  return first == std::string::npos ? "" : text.substr(first);
}

std::string withoutTrailingBlanks(const std::string& text) {
  std::size_t last = text.find_last_not_of(' ');
  return last == std::string::npos ? "" : text.substr(0, last + 1);
}

// Splits the quote into pieces, each a message line with its own blanks,
// except that the first may lose its leading blanks and the last its
// trailing ones; `used` receives the messages of the split found.
bool matchQuote(const std::vector<Piece>& pieces, const std::string& quote,
                std::size_t at, std::vector<int>& used) {
  for (const Piece& piece : pieces) {
    std::string format = at == 0 ? withoutLeadingBlanks(piece.format) : piece.format;
    if (format.empty()) continue;
    std::set<std::size_t> ends;
    formatEnds(withoutTrailingBlanks(format), 0, quote, at, ends);
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
    guide_ = decodeUtf8(readFile(VANTOR_GUIDE));
  }
  std::u32string guide_;
};

TEST_F(GuideTest, EveryQuoteIsWhatTheConsoleShows) {
  ASSERT_FALSE(guide_.empty()) << "cannot read " << VANTOR_GUIDE;
  std::vector<Piece> pieces = screenPieces();
  std::vector<Quote> quotes = quotesOf(guide_);
  std::set<int> quoted;
  for (const Quote& quote : quotes) {
    std::vector<int> used;
    EXPECT_TRUE(!quote.text.empty() &&
                quote.text == withoutLeadingBlanks(withoutTrailingBlanks(quote.text)) &&
                matchQuote(pieces, quote.text, 0, used))
        << VANTOR_GUIDE << ":" << quote.line << ": no message reads \""
        << quote.shown << "\"";
    quoted.insert(used.begin(), used.end());
  }
  // An operator who meets a message must find it in the guide.
  for (int n = 0; n < kMessageCount; ++n) {
    if (kNeverOnConsole.count(n) != 0) continue;
    EXPECT_EQ(1u, quoted.count(n)) << "the guide never quotes message " << n
                                   << ": \"" << message(static_cast<MessageId>(n)) << "\"";
  }
}

TEST_F(GuideTest, QuotesAreMatchedExactly) {
  // The matcher must refuse what differs from a message by one character,
  // a blank, a missing part or an argument where the text has none.
  std::vector<Piece> pieces = screenPieces();
  std::vector<int> used;
  const char* accepted[] = {
      "Procedura non completata: riprovare dall'inizio",
      "Connessione a COM12, baud rate 9600... porta aperta: CONNESSO!",
      "Caricamento linea 7 - Trasferimento completato: 100%",
      "Copia di zImage in E:\\zImage... Fatto",
  };
  for (const char* text : accepted)
    EXPECT_TRUE(matchQuote(pieces, text, 0, used)) << text;
  const char* refused[] = {
      "Procedura non completata: riprovare dall inizio",
      "Procedura non completata:  riprovare dall'inizio",
      "Procedura non completata",
      "Connessione a COM12, baud rate nove... porta aperta: CONNESSO!",
      "Connessione a COM12, baud rate 9600...porta aperta: CONNESSO!",
      "Caricamento linea 7 - Trasferimento completato: 100%%",
      "Fatto Fatto!",
  };
  for (const char* text : refused)
    EXPECT_FALSE(matchQuote(pieces, text, 0, used)) << text;
}

// ---- the guide as marked text ------------------------------------------------

// What a byte of the guide belongs to: the guide's own words, a quoted
// console message, a code span (file names, log lines), or a fenced block.
enum class Part { Prose, Quote, Code, Block };

struct MarkedGuide {
  std::string text;        // UTF-8
  std::vector<Part> part;  // one per byte
  std::vector<bool> skip;  // bytes the number scan leaves alone

  int lineOf(std::size_t at) const {
    int line = 1;
    for (std::size_t i = 0; i < at && i < text.size(); ++i) line += text[i] == '\n';
    return line;
  }
};

MarkedGuide markGuide(const std::string& text) {
  MarkedGuide m{text, std::vector<Part>(text.size(), Part::Prose),
                std::vector<bool>(text.size(), false)};
  bool inBlock = false;
  for (std::size_t i = 0; i < text.size();) {
    bool lineStart = i == 0 || text[i - 1] == '\n';
    std::size_t lineEnd = text.find('\n', i);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    if (lineStart && text.compare(i, 3, "```") == 0) {
      inBlock = !inBlock;
      for (std::size_t k = i; k < lineEnd; ++k) m.part[k] = Part::Block;
      i = lineEnd;
      continue;
    }
    if (inBlock) {
      // The configuration example's values are the operator's, not the
      // program's.
      bool setting = text.substr(i, lineEnd - i).find('=') != std::string::npos;
      for (std::size_t k = i; k <= lineEnd && k < text.size(); ++k) {
        m.part[k] = Part::Block;
        m.skip[k] = setting;
      }
      i = lineEnd + 1;
      continue;
    }
    std::size_t end = i + 1;
    Part part = Part::Prose;
    if (text.compare(i, 2, "\xC2\xAB") == 0) {
      end = text.find("\xC2\xBB", i);
      end = end == std::string::npos ? text.size() : end + 2;
      part = Part::Quote;
    } else if (text[i] == '`') {
      end = text.find('`', i + 1);
      end = end == std::string::npos ? text.size() : end + 1;
      part = Part::Code;
    }
    for (std::size_t k = i; k < end; ++k) {
      m.part[k] = part;
      if (part != Part::Prose) m.skip[k] = true;
    }
    i = end;
  }
  return m;
}

bool isWordByte(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return std::isalnum(u) || u >= 0x80;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The guide cut into sentences: a sentence ends at a full stop, a
// semicolon, an exclamation or question mark, a table cell's edge, a blank
// line, and before a list item, a heading or a table row; every line of a
// fenced block stands alone. Marks inside quotes and code end nothing.
std::vector<std::pair<std::size_t, std::size_t>> sentencesOf(const MarkedGuide& m) {
  std::vector<std::pair<std::size_t, std::size_t>> sentences;
  const std::string& t = m.text;
  std::size_t start = 0;
  auto close = [&](std::size_t end) {
    if (end > start) sentences.push_back({start, end});
    start = end;
  };
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    bool prose = m.part[i] == Part::Prose;
    if (prose && (c == '|' || c == ';' || c == '!' || c == '?')) {
      close(i + 1);
    } else if (prose && c == '.' &&
               (i + 1 == t.size() || std::isspace(static_cast<unsigned char>(t[i + 1])) ||
                t[i + 1] == '|')) {
      close(i + 1);
    } else if (c == '\n') {
      std::size_t next = t.find_first_not_of(' ', i + 1);
      bool breaks = m.part[i] == Part::Block || next == std::string::npos ||
                    t[next] == '\n' || t[next] == '#' || t[next] == '|' ||
                    t.compare(next, 2, "- ") == 0 ||
                    (std::isdigit(static_cast<unsigned char>(t[next])) &&
                     t.find(". ", next) == t.find_first_not_of("0123456789", next));
      if (breaks) close(i + 1);
    }
  }
  close(t.size());
  return sentences;
}

// ---- every number the guide states is the program's -------------------------

enum class Unit { Time, Count, Speeds, Characters };

struct UnitWord {
  const char* word;
  Unit unit;
  double scale;  // to seconds for times
};

const UnitWord kUnitWords[] = {
    {"millisecondi", Unit::Time, 0.001}, {"secondo", Unit::Time, 1},
    {"secondi", Unit::Time, 1},          {"minuto", Unit::Time, 60},
    {"minuti", Unit::Time, 60},          {"ora", Unit::Time, 3600},
    {"ore", Unit::Time, 3600},           {"tentativo", Unit::Count, 1},
    {"tentativi", Unit::Count, 1},       {"prova", Unit::Count, 1},
    {"prove", Unit::Count, 1},           {"rilettura", Unit::Count, 1},
    {"riletture", Unit::Count, 1},       {"volta", Unit::Count, 1},
    {"volte", Unit::Count, 1},           {"passata", Unit::Count, 1},
    {"passate", Unit::Count, 1},         {"velocit\xC3\xA0", Unit::Speeds, 1},
    {"carattere", Unit::Characters, 1},  {"caratteri", Unit::Characters, 1},
};

const std::map<std::string, double> kNumberWords = {
    {"un", 1},       {"uno", 1},     {"una", 1},       {"due", 2},
    {"tre", 3},      {"quattro", 4}, {"cinque", 5},    {"sei", 6},
    {"sette", 7},    {"otto", 8},    {"nove", 9},      {"dieci", 10},
    {"venti", 20},   {"trenta", 30}, {"sessanta", 60}, {"mezzo", 0.5},
    {"mezza", 0.5},
};

// The workshop's rule for giving up, which the guide states beside the
// program's limits: outside a flash, this long without a change on the
// screen means a wait that will not end by itself; a flash that still runs
// after the longer time is reported to the workshop, never cut short.
constexpr int kGiveUpMinutes = 5;
constexpr int kFlashCallMinutes = 30;

// A number the guide states: the kind of thing it counts, words of its
// sentence that say which limit it is, and the program's value for it.
struct Claim {
  Unit unit;
  const char* context;  // lower case
  double value;
  const char* source;
};

std::vector<Claim> programClaims() {
  return {
      {Unit::Time, "rispondere", kProbeAnswerMs / 1000.0, "serial/probe.h kProbeAnswerMs"},
      {Unit::Time, "bloccata", kProbeTimeoutMs / 1000.0, "app/context.h kProbeTimeoutMs"},
      {Unit::Speeds, "velocit\xC3\xA0", kBaudRateCount, "app/context.h kBaudRateCount"},
      {Unit::Count, "riga", kRecordAttempts, "stages/rom_loader.h kRecordAttempts"},
      // A record's try: the carriage return's echo, the record's echo and
      // the acknowledgement, each with its own limit.
      {Unit::Time, "ciascuno", 3 * kRecordAnswerMs / 1000.0,
       "stages/rom_loader.h 3 x kRecordAnswerMs"},
      {Unit::Count, "rilett", kReadBackAttempts, "stages/rom_loader.h kReadBackAttempts"},
      {Unit::Time, "prompt", kPromptAfterRestartMs / 1000.0,
       "stages/boot_loader.h kPromptAfterRestartMs"},
      {Unit::Count, "conferm", kConfirmTries, "stages/blob_dialogue.h kConfirmTries"},
      {Unit::Time, "segnala", kUsbConnectMs / 1000.0, "stages/image_transfer.h kUsbConnectMs"},
      {Unit::Count, "segnala", kUsbTries, "stages/image_transfer.h kUsbTries"},
      {Unit::Time, "prima della copia", (kNewDriveSettleMs + kBeforeCopyMs) / 1000.0,
       "stages/image_transfer.h kNewDriveSettleMs + kBeforeCopyMs"},
      {Unit::Time, "attendere", kOlderWindowsAfterCopyMs / 1000.0,
       "stages/image_transfer.h kOlderWindowsAfterCopyMs"},
      {Unit::Time, "dopo la copia", kBeforeRemovalMs / 1000.0,
       "stages/image_transfer.h kBeforeRemovalMs"},
      {Unit::Characters, "nome", static_cast<double>(kFileNameSize - 1),
       "app/context.h kFileNameSize - 1"},
      {Unit::Time, "senza cambiamenti", kGiveUpMinutes * 60.0, "kGiveUpMinutes (the guide's rule)"},
      {Unit::Time, "gira ancora", kFlashCallMinutes * 60.0,
       "kFlashCallMinutes (the guide's rule)"},
  };
}

struct Word {
  std::size_t start, end;
  std::string text;  // lower case
};

// The words of a sentence that are the guide's own (prose and fenced
// blocks), with their places; a quote or a code span ends a word.
std::vector<Word> wordsOf(const MarkedGuide& m, std::size_t from, std::size_t to) {
  std::vector<Word> words;
  const std::string& t = m.text;
  for (std::size_t i = from; i < to;) {
    if (m.skip[i] || !isWordByte(t[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < to && !m.skip[j] &&
           (isWordByte(t[j]) ||
            // a decimal comma: "2,5"
            (t[j] == ',' && j > i && j + 1 < to &&
             std::isdigit(static_cast<unsigned char>(t[j - 1])) &&
             std::isdigit(static_cast<unsigned char>(t[j + 1])))))
      ++j;
    words.push_back({i, j, lower(t.substr(i, j - i))});
    i = j;
  }
  return words;
}

bool numberValue(const std::string& word, double* value, bool* digits) {
  *digits = !word.empty() && std::isdigit(static_cast<unsigned char>(word[0]));
  if (*digits) {
    std::string plain = word;
    for (char& c : plain) {
      if (c == ',') c = '.';
      else if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    *value = std::stod(plain);
    return true;
  }
  auto found = kNumberWords.find(word);
  if (found == kNumberWords.end()) return false;
  *value = found->second;
  return true;
}

const UnitWord* unitOf(const std::string& word) {
  for (const UnitWord& u : kUnitWords)
    if (word == u.word) return &u;
  return nullptr;
}

// A number with no unit after it is allowed only where it plainly is not a
// limit of the program: a Windows version, "64 bit", a section or step
// reference, the number of a list item or heading, an example value.
bool allowedWithoutUnit(const MarkedGuide& m, const std::vector<Word>& words,
                        std::size_t index, const std::string& sentence) {
  const Word& w = words[index];
  if (sentence.find("windows") != std::string::npos) return true;
  if (sentence.find("esempio") != std::string::npos) return true;
  if (index + 1 < words.size() && words[index + 1].text == "bit") return true;
  for (std::size_t k = index; k-- > 0;) {
    double ignored;
    bool digits;
    if (words[k].text == "e" || numberValue(words[k].text, &ignored, &digits)) continue;
    if (words[k].text == "sezione" || words[k].text == "sezioni" ||
        words[k].text == "punto" || words[k].text == "punti")
      return true;
    break;
  }
  std::size_t lineStart = m.text.rfind('\n', w.start);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  bool first = m.text.find_first_not_of(" #", lineStart) == w.start;
  return first && w.end < m.text.size() && m.text[w.end] == '.';
}

TEST_F(GuideTest, EveryNumberIsTheProgramsOwn) {
  // The giving-up rule must never fire while the program is still inside a
  // limit it ends by itself: the longest is the USB disk's, all its tries.
  static_assert(kGiveUpMinutes * 60000 >
                    kUsbTries * (kUsbCommandPauseMs + kUsbConnectMs + kUsbAbandonPromptMs),
                "the guide would give up on a USB disk the program still waits for");
  static_assert(kFlashCallMinutes > kGiveUpMinutes, "a flash is given the longer time");

  MarkedGuide m = markGuide(readFile(VANTOR_GUIDE));
  ASSERT_FALSE(m.text.empty());
  std::vector<Claim> claims = programClaims();
  std::vector<int> used(claims.size(), 0);
  for (const auto& range : sentencesOf(m)) {
    std::string sentence = lower(m.text.substr(range.first, range.second - range.first));
    std::vector<Word> words = wordsOf(m, range.first, range.second);
    for (std::size_t k = 0; k < words.size(); ++k) {
      double value;
      bool digits;
      if (!numberValue(words[k].text, &value, &digits)) continue;
      const UnitWord* unit = nullptr;
      if (k + 1 < words.size() &&
          m.text.find_first_not_of(" \n", words[k].end) == words[k + 1].start)
        unit = unitOf(words[k + 1].text);
      int line = m.lineOf(words[k].start);
      if (unit == nullptr) {
        EXPECT_TRUE(!digits || allowedWithoutUnit(m, words, k, sentence))
            << VANTOR_GUIDE << ":" << line << ": \"" << words[k].text
            << "\" counts nothing the test knows: give it its unit";
        continue;
      }
      // The claim whose words stand nearest to the number.
      std::size_t numberAt = words[k].start - range.first;
      std::size_t unitEnd = words[k + 1].end - range.first;
      int best = -1;
      std::size_t bestGap = std::string::npos;
      for (std::size_t c = 0; c < claims.size(); ++c) {
        if (claims[c].unit != unit->unit) continue;
        for (std::size_t at = sentence.find(claims[c].context); at != std::string::npos;
             at = sentence.find(claims[c].context, at + 1)) {
          std::size_t end = at + std::strlen(claims[c].context);
          std::size_t gap = end <= numberAt ? numberAt - end : at >= unitEnd ? at - unitEnd : 0;
          if (gap < bestGap) {
            bestGap = gap;
            best = static_cast<int>(c);
          }
        }
      }
      if (best < 0) {
        ADD_FAILURE() << VANTOR_GUIDE << ":" << line << ": \"" << words[k].text << " "
                      << words[k + 1].text << "\" is no limit of the program that the "
                      << "test knows; sentence: " << sentence;
        continue;
      }
      ++used[best];
      EXPECT_NEAR(claims[best].value, value * unit->scale, 1e-9)
          << VANTOR_GUIDE << ":" << line << ": \"" << words[k].text << " "
          << words[k + 1].text << "\" is not what " << claims[best].source << " gives";
    }
  }
  for (std::size_t c = 0; c < claims.size(); ++c)
    EXPECT_GT(used[c], 0) << "the guide no longer states " << claims[c].source
                          << " (a number near \"" << claims[c].context << "\")";
}

// ---- the tables ---------------------------------------------------------------

struct Table {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;
  int line;
};

// A row's cells, split at the bars outside code spans.
std::vector<std::string> cellsOf(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  bool code = false;
  for (std::size_t i = 1; i < row.size(); ++i) {
    if (row[i] == '`') code = !code;
    if (row[i] == '|' && !code) {
      std::size_t a = cell.find_first_not_of(' '), b = cell.find_last_not_of(' ');
      cells.push_back(a == std::string::npos ? "" : cell.substr(a, b - a + 1));
      cell.clear();
    } else {
      cell.push_back(row[i]);
    }
  }
  return cells;
}

std::vector<Table> tablesOf(const std::string& guide) {
  std::vector<Table> tables;
  std::istringstream in(guide);
  bool inBlock = false, inTable = false;
  int line = 0;
  for (std::string text; std::getline(in, text);) {
    ++line;
    if (text.compare(0, 3, "```") == 0) inBlock = !inBlock;
    bool row = !inBlock && !text.empty() && text[0] == '|';
    if (row && !inTable) tables.push_back({cellsOf(text), {}, line});
    else if (row && text.compare(0, 4, "|---") != 0) tables.back().rows.push_back(cellsOf(text));
    inTable = row;
  }
  return tables;
}

const Table* tableHeaded(const std::vector<Table>& tables, const std::string& first) {
  for (const Table& t : tables)
    if (!t.header.empty() && t.header[0] == first) return &t;
  return nullptr;
}

// The troubleshooting rows, named by the exact text of their first cell:
// one row for each way a run can end. A reader of the log (a person or a
// tool) names the row by this text, so a row is renamed together with this
// list. After each, where the run stops (its step) and the last message.
const char* const kEndingRows[] = {
    // start (the ROM loader, or a name too long), or the boot loader
    // download (blob.uue): message 9 naming an input file
    "\u00abNon posso aprire il file blob-bootloader.txt\u00bb (o un altro dei quattro file)",
    // start: message 9, the configuration's path too long
    "\u00abNon posso aprire il file vantor_config.ini\u00bb",
    // start: message 9, no log anywhere (no log to read)
    "\u00abNon posso aprire il file C:\\WINDOWS\\temp\\vantor_config.log\u00bb",
    // start: message 4, or the bare message 39 of a catalogue out of memory
    "\u00abNon posso creare l'oggetto com port!\u00bb",
    // discovery: message 5, then 10
    "\u00abNessuna porta seriale trovata!\u00bb",
    // discovery: message 10
    "\u00abNon \u00e8 possibile impostare la connessione.\u00bb",
    // rom-loader: message 42 in the last pass
    "\u00abErrore di verifica!\u00bb",
    // rom-loader, no message: a record failed every try in the last pass
    "Fine senza messaggio durante \u00abCaricamento linea 120 - Trasferimento completato: 45%\u00bb",
    // rom-loader, no message: the file empty or without its end record
    "Fine senza messaggio: ROM loader vuoto o senza record finale",
    // blob-prompt, no message: blob not reached in the last pass
    "Fine senza messaggio subito dopo \u00abBootloader caricato\u00bb",
    // boot-loader-download, no message: no "downloading", or no prompt
    // after the file
    "Fine senza messaggio durante il trasferimento del boot loader",
    // power-cycle, no message: no clean prompt after "Autoboot"
    "Fine senza messaggio dopo il riavvio senza jumper",
    // any wait without limit, no message: the adapter is gone
    "Fine senza messaggio, nel log `Serial port failed: the adapter is gone.`",
    // kernel-copy, ramdisk-copy: message 36
    "\u00abnon posso copiare il file\u00bb",
    // kernel-flash, ramdisk-flash: message 38
    "\u00abErrore: file non trovato\u00bb",
    // kernel-usb-disk, ramdisk-usb-disk: message 33 repeated, then 39
    "\u00abScollega e ricollega il cavo USB!\u00bb ripetuto, poi la fine",
};

// The waits without limit, where a log that was cut ends.
const char* const kWaitRows[] = {
    // rom-loader: the record whose echo is awaited without limit
    "\u00abCaricamento linea 120 - Trasferimento completato: 45%\u00bb fermo",
    // power-cycle: no "Autoboot"
    "\u00abSPEGNI il robot, RIMUOVI il jumper e riaccendi il robot!\u00bb con il simbolo che gira",
    // kernel-usb-disk, ramdisk-usb-disk: no drive letter
    ("Dopo \u00abCollega il cavo USB!\u00bb o \u00abScollega e ricollega il cavo USB!\u00bb, prima di "
     "\u00abTrovato disco E\u00bb"),
    // kernel-removal, ramdisk-removal: the letter does not go
    "Rimozione del disco senza \u00abDisco E rimosso\u00bb",
    // kernel-removal, ramdisk-removal: no prompt after the removal
    "Dopo \u00abDisco E rimosso\u00bb, prima di `Flashing kernel` o `Flashing ramdisk`",
    // boot-loader-flash, kernel-flash, ramdisk-flash
    "`Flashing blob`, `Flashing kernel` o `Flashing ramdisk` con il simbolo che gira",
    // any other step: the window closed or the PC stopped
    "Finestra chiusa o PC spento in un altro punto",
};

// What the module holds after a stop, by step.
const char* const kStateRows[] = {
    // start, discovery, rom-loader, blob-prompt, boot-loader-download
    "Prima della scrittura del boot loader: avvio, ricerca, ROM loader, \u00abBootloader "
    "caricato\u00bb, \u00abTrasferimento blob in corso\u00bb",
    // boot-loader-flash
    "Durante `Flashing blob`",
    // power-cycle, kernel-usb-disk, kernel-copy, kernel-removal (and
    // kernel-flash ended by message 38)
    "Dopo il \u00abFatto\u00bb del boot loader, prima di `Flashing kernel`: riavvio, disco USB, "
    "copia e rimozione del kernel",
    // kernel-flash
    "Durante `Flashing kernel`",
    // ramdisk-usb-disk, ramdisk-copy, ramdisk-removal (and ramdisk-flash
    // ended by message 38)
    "Dopo il \u00abFatto\u00bb del kernel, prima di `Flashing ramdisk`",
    // ramdisk-flash
    "Durante `Flashing ramdisk`",
    // end
    "Dopo il \u00abFatto\u00bb del ramdisk",
};

const std::vector<std::string>* rowNamed(const Table& table, const std::string& first) {
  for (const auto& row : table.rows)
    if (!row.empty() && row[0] == first) return &row;
  return nullptr;
}

// The table headed `first` has exactly the rows named, each once.
void expectRows(const std::vector<Table>& tables, const std::string& first,
                const std::vector<std::string>& names) {
  const Table* table = tableHeaded(tables, first);
  ASSERT_NE(nullptr, table) << "no table headed \"" << first << "\"";
  std::multiset<std::string> found;
  for (const auto& row : table->rows) found.insert(row.empty() ? "" : row[0]);
  for (const std::string& name : names)
    EXPECT_EQ(1u, found.count(name)) << "table \"" << first << "\": row \"" << name << "\"";
  for (const std::string& have : found)
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), have))
        << "table \"" << first << "\": a row no ending names: \"" << have << "\"";
}

TEST_F(GuideTest, TablesHaveOneRowPerLineAndARegularLayout) {
  std::vector<Table> tables = tablesOf(readFile(VANTOR_GUIDE));
  ASSERT_FALSE(tables.empty());
  for (const Table& t : tables)
    for (const auto& row : t.rows)
      EXPECT_EQ(t.header.size(), row.size())
          << VANTOR_GUIDE << ":" << t.line << ": a row of \"" << t.header[0] << "\": "
          << (row.empty() ? "" : row[0]);
}

TEST_F(GuideTest, EveryEndingHasItsOneRow) {
  std::vector<Table> tables = tablesOf(readFile(VANTOR_GUIDE));
  expectRows(tables, "Come finisce",
             std::vector<std::string>(std::begin(kEndingRows), std::end(kEndingRows)));
  expectRows(tables, "Attesa",
             std::vector<std::string>(std::begin(kWaitRows), std::end(kWaitRows)));
  expectRows(tables, "Punto in cui si \u00e8 fermata",
             std::vector<std::string>(std::begin(kStateRows), std::end(kStateRows)));
}

// What the rows of the waits say that the program makes true.
TEST_F(GuideTest, TheWaitsSayWhatHoldsTheProgram) {
  std::vector<Table> tables = tablesOf(readFile(VANTOR_GUIDE));
  const Table* waits = tableHeaded(tables, "Attesa");
  ASSERT_NE(nullptr, waits);
  // Only one record of the ROM loader is awaited without limit; the row
  // names it, for the technician to find in the log.
  const auto* upload = rowNamed(*waits, kWaitRows[0]);
  ASSERT_NE(nullptr, upload);
  EXPECT_NE(std::string::npos, (*upload)[1].find(kUnlimitedWaitRecord));
  EXPECT_NE(std::string::npos, (*upload)[3].find(kUnlimitedWaitRecord));
  // The restart is awaited from the module's own boot loader, which a
  // jumper left in never starts.
  const auto* restart = rowNamed(*waits, kWaitRows[1]);
  ASSERT_NE(nullptr, restart);
  EXPECT_NE(std::string::npos, (*restart)[1].find("jumper centrale ancora inserito"));
  // A flash is never cut short.
  const auto* flash = rowNamed(*waits, kWaitRows[5]);
  ASSERT_NE(nullptr, flash);
  EXPECT_EQ(0u, (*flash)[2].find("Non spegnere il robot, non scollegare i cavi"));
}

// The log texts the troubleshooting tables quote in code are the ones the
// program writes: a line of its own from the sources, or a message of the
// catalogue.
TEST_F(GuideTest, TheLogTextsOfTheTablesAreThePrograms) {
  std::string sources;
  for (const char* file : {"app/context.cpp", "app/procedure.cpp", "serial/discovery.cpp",
                           "serial/probe.cpp", "serial/traffic.cpp", "stages/rom_loader.cpp",
                           "stages/blob_dialogue.cpp", "stages/boot_loader.cpp",
                           "stages/image_transfer.cpp", "disk/drive_watcher.cpp",
                           "disk/drive_eject.cpp"}) {
    std::string text = readFile((std::string(VANTOR_SOURCE_DIR) + "/" + file).c_str());
    ASSERT_FALSE(text.empty()) << file;
    sources += text;
  }
  std::vector<Piece> pieces = screenPieces();
  std::vector<Table> tables = tablesOf(readFile(VANTOR_GUIDE));
  int checked = 0;
  for (const char* first : {"Come finisce", "Attesa"}) {
    const Table* table = tableHeaded(tables, first);
    ASSERT_NE(nullptr, table);
    for (const auto& row : table->rows) {
      for (const std::string& cell : row) {
        for (std::size_t a = cell.find('`'); a != std::string::npos;) {
          std::size_t b = cell.find('`', a + 1);
          if (b == std::string::npos) break;
          std::string text = cell.substr(a + 1, b - a - 1);
          a = cell.find('`', b + 1);
          // Lines, not single words or traffic: they end like a sentence.
          if (text.find(' ') == std::string::npos || text.compare(0, 1, " ") == 0) continue;
          char last = text.back();
          if (last != '.' && last != '!' && last != ':') continue;
          std::vector<int> used;
          ++checked;
          EXPECT_TRUE(sources.find(text) != std::string::npos ||
                      matchQuote(pieces, text, 0, used))
              << "the program writes no \"" << text << "\" (row \"" << row[0] << "\")";
        }
      }
    }
  }
  EXPECT_GE(checked, 8);
}

// ---- what the guide says in words ---------------------------------------------

// Statements the guide must keep, each true of the program (the code behind
// it is named) or of the Windows it runs on. A rewording moves the phrase
// here with it; dropping one drops a fact the technician needs.
const char* const kStatements[] = {
    // Several endings print nothing before message 39 (the rows "Fine senza
    // messaggio").
    "in alcuni casi non c'\u00e8 nessun messaggio",
    // download() writes the boot loader's lines with the port's own write,
    // which logs nothing (stages/boot_loader.cpp).
    "Le righe del file `blob.uue` non vengono registrate.",
    // runProcedure closes the log before message 40 (app/procedure.cpp).
    "\u00abConfigurazione terminata!\u00bb compare solo sullo schermo.",
    // findModule skips a candidate whose probe Failed (serial/discovery.cpp).
    ("Una porta che non si apre, o che resta bloccata, non viene pi\u00f9 provata alle "
     "velocit\u00e0 successive."),
    // waitForEnter takes one character; what else was typed ends the next
    // waits at once (app/console.cpp).
    "Premere INVIO solo quando il programma lo chiede, e senza ripeterlo",
    // waitForNewDrive takes any new letter (disk/drive_watcher.cpp).
    "il programma prende per disco del modulo qualsiasi nuova lettera di unit\u00e0",
    // A copy aborted in the shell's window fails (stages/image_transfer.cpp).
    "non premere \"Annulla\"",
    // The program has no manifest: from Vista on its writes under Program
    // Files are virtualised.
    "nella cartella VirtualStore",
    "\"Estrai tutto\"",
    // port=N opens COMN (app/context.cpp).
    "\"Gestione dispositivi\" > \"Porte (COM e LPT)\"",
    // A PC that sleeps loses the adapter: "Serial port failed".
    "sospensione e ibernazione disattivate",
    // A selection in the console holds every write of the program.
    "finch\u00e9 non si preme Esc",
    // The eject's walk writes English lines (disk/device_ejector.cpp).
    "possono comparire righe in inglese",
    // Explorer's tab from Windows Vista on.
    "scheda \"Dettagli\"",
    // The boot ROM needs nothing from the flash.
    "con il jumper centrale inserito il modulo parte dalla sua ROM di avvio",
    "Il robot torna al lavoro solo dopo \u00abConfigurazione terminata!\u00bb",
    "una foto dello schermo",
    // osClass: Vista is 6.0, of the older USB-disk behaviour; 2000, XP, 7
    // and, as a program without a manifest sees them, 8 and later of the
    // newer (app/context.cpp, stages/image_transfer.cpp, disk/drive_watcher.cpp).
    "Su Windows Vista segue \u00abAttendere...\u00bb.",
    "Su Windows 2000, XP, 7 e successivi il programma lo fa da solo",
    "come sempre su Windows Vista",
};

std::string oneLine(const std::string& text) {
  std::string out;
  for (char c : text) {
    bool blank = c == ' ' || c == '\n';
    if (blank && (out.empty() || out.back() == ' ')) continue;
    out.push_back(blank ? ' ' : c);
  }
  return out;
}

TEST_F(GuideTest, TheGuideKeepsItsStatements) {
  std::string guide = oneLine(readFile(VANTOR_GUIDE));
  for (const char* statement : kStatements)
    EXPECT_NE(std::string::npos, guide.find(statement)) << "the guide no longer says: "
                                                        << statement;
  // The Windows the guide names by their behaviour have it.
  struct Version {
    int major, minor;
    bool newer;
  } versions[] = {{5, 0, true}, {5, 1, true}, {6, 0, false}, {6, 1, true}, {6, 2, true}};
  for (const Version& v : versions) {
    machine().versionMajor = v.major;
    machine().versionMinor = v.minor;
    EXPECT_EQ(v.newer, hasNewerUsbDiskBehaviour(classifyOs())) << v.major << "." << v.minor;
  }
}

// A rule that gives up on a wait after some minutes must never have the
// operator switch the robot off or unplug it: the wait may be a flash.
// Switching off belongs only to the steps that ask for it, and to the
// restart, which says "mai durante una scrittura".
TEST_F(GuideTest, NoRuleForGivingUpCutsAFlashShort) {
  MarkedGuide m = markGuide(readFile(VANTOR_GUIDE));
  int rules = 0;
  for (const auto& range : sentencesOf(m)) {
    std::string sentence = lower(m.text.substr(range.first, range.second - range.first));
    if (sentence.find("minut") == std::string::npos) continue;
    ++rules;
    for (const char* act : {"spegner", "spegni", "scollegar", "staccar", "togliere la corrente"}) {
      for (std::size_t at = sentence.find(act); at != std::string::npos;
           at = sentence.find(act, at + 1)) {
        bool negated = (at >= 4 && sentence.compare(at - 4, 4, "non ") == 0) ||
                       (at >= 4 && sentence.compare(at - 4, 4, "mai ") == 0);
        EXPECT_TRUE(negated) << VANTOR_GUIDE << ":" << m.lineOf(range.first)
                             << ": a wait given up after minutes must not end in \"" << act
                             << "\": " << sentence;
      }
    }
  }
  EXPECT_GT(rules, 0);
}

}  // namespace
