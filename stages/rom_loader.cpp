#include "stages/rom_loader.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"
#include "stages/file_lines.h"

namespace {

const int kHeaderEchoMs = 500;
// A record's header: eight hexadecimal digits of address, then its control
// byte as two digits, whose low five bits count the data bytes after it.
const int kHeaderLength = 10;
const int kControlAt = 8;
// The control byte's bit that asks the boot ROM to send back the data it
// holds at the address instead of storing any.
const unsigned kSendBackBit = 0x20u;
const char kEndRecord[] = "0871800000";
// What survives of kUnlimitedWaitRecord's echo (see where it is sent).
const char kPartialEcho[] = "0021B000C4E74";
const char kReadBackMark[] = "0871";

struct LineReader {
  char line[kLineLimit + 1];
  int length;
  // The piece read last did not end its line: what comes next continues it.
  bool lineOpen;

  // False when nothing more can be read.
  bool next(FILE* file) {
    const int read = readLinePiece(line, file);
    if (read < 0) {
      line[0] = '\0';
      length = -1;
      lineOpen = false;
      return false;
    }
    line[kLineLimit] = '\0';
    // A NUL byte hides the line end from the text, so whether the line
    // ended is told by all that was read.
    lineOpen = std::memchr(line, '\n', static_cast<std::size_t>(read)) == nullptr;
    length = static_cast<int>(std::strlen(line));
    if (length > 0 && line[length - 1] == '\n') line[--length] = '\0';
    return true;
  }
};

bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ||
         (c >= 'a' && c <= 'f');
}

int countLines(FILE* file) {
  std::rewind(file);
  LineReader reader;
  int total = 0;
  while (reader.next(file)) {
    ++total;
    if (std::feof(file)) break;
  }
  return total;
}

void showProgress(int lineNumber, int percent) {
  printMessage(pf::consoleOut(), kMsgUploadProgress, lineNumber, percent);
}

// One attempt of the handshake around a record: carriage return and its
// echo, the record and its echo, then the acknowledgement. The carriage
// return has the boot ROM drop whatever part of a record an attempt before
// left with it, so that each attempt starts clean.
bool sendRecordOnce(ConfiguratorContext& context, const char* record,
                    int length) {
  sendChar(context, '\r');
  if (waitForChar(context, '\r', kRecordAnswerMs) < 0) return false;
  sendText(context, record, static_cast<std::size_t>(length));
  pf::Sleep(static_cast<pf::DWORD>(context.lineDelayMs));
  if (waitForText(context, record, kRecordAnswerMs) < 0) return false;
  return waitForChar(context, '/', kRecordAnswerMs) == 0;
}

bool readBackOnce(ConfiguratorContext& context, const char* header,
                  const char* data) {
  sendChar(context, '\r');
  if (waitForChar(context, '\r', kRecordAnswerMs) < 0) return false;
  // The header alone: a request to send back carries no data.
  sendText(context, header, kHeaderLength);
  pf::Sleep(static_cast<pf::DWORD>(context.lineDelayMs));
  if (waitForText(context, header, kHeaderEchoMs) < 0) return false;
  // A wait for no text still takes a byte that is already waiting: with no
  // data to compare it would swallow the acknowledgement.
  if (data[0] != '\0' && waitForText(context, data, kRecordAnswerMs) < 0)
    return false;
  return waitForChar(context, '/', kRecordAnswerMs) == 0;
}

// Asks the boot ROM for what it stored at the record's address and compares
// it with the record's data: the record's header with the send-back bit
// set, so that the same control byte counts the bytes to send back.
bool verifyRecord(ConfiguratorContext& context, const char* record,
                  int length) {
  // A record too short for a header cannot be verified: never read past it.
  if (length < kHeaderLength) return false;
  char header[kHeaderLength + 1];
  std::memcpy(header, record, kHeaderLength);
  header[kHeaderLength] = '\0';
  unsigned control =
      static_cast<unsigned>(std::strtoul(header + kControlAt, nullptr, 16));
  std::snprintf(header + kControlAt, sizeof header - kControlAt, "%02X",
                (control | kSendBackBit) & 0xFFu);
  for (int attempt = 0; attempt < kReadBackAttempts; ++attempt)
    if (readBackOnce(context, header, record + kHeaderLength)) return true;
  return false;
}

}  // namespace

int uploadRomLoader(ConfiguratorContext& context) {
  FILE* file = context.romLoaderFile;
  int total = countLines(file);
  if (total == 0) {
    logPrint(context, "The ROM loader file is empty: nothing sent.\n");
    return 0;
  }

  std::rewind(file);
  LineReader reader;
  reader.lineOpen = false;
  for (int lineNumber = 1;; ++lineNumber) {
    // A piece that continues a line longer than the limit is never a record
    // of its own, whatever it starts with.
    bool continuation = reader.lineOpen;
    if (!reader.next(file)) {
      // Without its end record the ROM loader never starts blob. The
      // progress line is ended first, as after a record that failed.
      printFlushed(pf::consoleOut(), "\n");
      logPrint(context, "\n");
      logPrint(context,
               "The ROM loader file ended without its end record.\n");
      return 0;
    }
    char* line = reader.line;
    int percent = static_cast<int>(static_cast<long long>(lineNumber) * 100 / total);
    showProgress(lineNumber, percent);

    if (!continuation && std::strstr(line, kEndRecord) != nullptr) {
      // The end record has the boot ROM start blob, which it does without
      // any answer: there is no handshake to go through, and nothing to
      // wait for.
      sendText(context, line, static_cast<std::size_t>(reader.length));
      showProgress(lineNumber, 100);
      return 1;
    }
    if (!continuation && std::strstr(line, kUnlimitedWaitRecord) != nullptr) {
      // This record changes the timing of the boot ROM's own serial line
      // while the boot ROM echoes it: only the echo's first 13 characters
      // come back as sent, and no acknowledgement follows. The handshake
      // could never pass, so the record goes out bare and only that part of
      // its echo is awaited.
      sendText(context, line, static_cast<std::size_t>(reader.length));
      waitForText(context, kPartialEcho, kWithoutLimit);
      continue;
    }
    if (continuation || !isHexDigit(line[0])) {
      logPrint(context, "%s\n", line);
      continue;
    }

    // A record ends at its first character that is not a hexadecimal
    // digit: a comment after it is neither sent nor compared.
    int length = reader.length;
    for (int i = 1; i < length; ++i) {
      if (!isHexDigit(line[i])) {
        line[i] = '\0';
        length = i;
        break;
      }
    }
    bool sent = false;
    for (int attempt = 0; attempt < kRecordAttempts && !sent; ++attempt)
      sent = sendRecordOnce(context, line, length);
    if (!sent) {
      printFlushed(pf::consoleOut(), "\n");
      logPrint(context, "\n");
      return 0;
    }
    if (std::strstr(line, kReadBackMark) != nullptr &&
        !verifyRecord(context, line, length)) {
      consoleThenLog(context, kMsgVerifyError);
      return 0;
    }
  }
}
