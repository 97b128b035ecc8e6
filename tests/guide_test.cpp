// The operator's guide quotes the program's messages between « and »; each
// quote must be what the console shows: the catalogue's texts after the
// program's own conversion to the console's code page, with example values
// where a message takes arguments. A quote may run several messages
// together, as they share one line on the screen.
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/catalogue.h"
#include "platform/sim/codepage.h"
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

}  // namespace
