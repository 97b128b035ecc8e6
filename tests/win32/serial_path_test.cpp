// The serial path of the real Windows build: SerialPort and the logged
// primitives on a real communications handle, against the device model on
// a pseudo-terminal mapped as COM5. Prints one line per check and exits
// with 0 only when all passed.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/catalogue.h"
#include "app/context.h"
#include "serial/prompt_watcher.h"
#include "serial/traffic.h"

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok" : "FAILED", what);
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string readAll(const char* path) {
  std::string content;
  FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return content;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) content.append(buffer, n);
  std::fclose(f);
  return content;
}

}  // namespace

int main() {
  if (buildMessageCatalogue() < 0) return 2;
  ConfiguratorContext context;
  if (context.openLog("serial_path.log") < 0) return 2;
  check(context.port->open("COM5", 115200, 0) == OpenOk, "open COM5 at 115200");

  context.port->writeByte('a');
  int waited = 0;
  while (context.port->bytesWaiting() == 0 && waited < 3000) {
    pf::Sleep(5);
    waited += 5;
  }
  check(context.port->bytesWaiting() == 1, "one byte waiting after the probe");
  pf::DWORD errors = 0xFFFFFFFFu;
  check(pf::ClearCommError(context.port->handle, &errors, nullptr) != 0 &&
            errors == 0,
        "the error state is read without asking for the status");
  check(context.port->readByte() == ':', "the boot ROM answers the probe with ':'");

  // A record with its handshake, as the ROM loader upload sends it.
  const char record[] = "0A1B2C3D02ABCD";
  sendChar(context, '\r');
  check(waitForChar(context, '\r', 1000) == 0, "carriage return echoed");
  sendText(context, record, std::strlen(record));
  pf::Sleep(5);
  check(waitForText(context, record, 1000) == 0, "record echoed");
  check(waitForChar(context, '/', 1000) == 0, "record acknowledged");

  // Its read-back, taken with one blocking read of the whole answer.
  const char header[] = "0A1B2C3D22";
  sendChar(context, '\r');
  check(waitForChar(context, '\r', 1000) == 0, "carriage return echoed again");
  context.port->write(header, 10);
  char answer[16] = {};
  check(context.port->read(answer, 15) == 15, "blocking read of 15 bytes");
  check(std::memcmp(answer, "0A1B2C3D22ABCD/", 15) == 0,
        "read-back returns the stored data");

  std::fclose(context.log);
  context.log = nullptr;
  context.port->close();
  std::string log = readAll("serial_path.log");
  const std::string expected =
      " -> \r\r\n <- \r\r\n -> 0A1B2C3D02ABCD\r\n <- 0A1B2C3D02ABCD\r\n"
      " <- /\r\n -> \r\r\n <- \r\r\n";
  check(log == expected, "the log holds the traffic in its notation");
  if (log != expected) std::printf("log was: [%s]\n", log.c_str());
  releaseMessageCatalogue();
  return failures == 0 ? 0 : 1;
}
