// Prints the program's operator messages as a JSON list, as its catalogue
// holds them before they are converted to the console's code page, so that
// the Wine harness expects the program's own texts rather than copies.
#include <cstdio>

#include "app/catalogue.h"

int main() {
  if (buildMessageCatalogue() != 0) return 1;
  std::printf("[");
  for (int i = 0; i < kMessageCount; ++i) {
    std::printf(i == 0 ? "\"" : ",\n\"");
    for (const wchar_t* c = messageCatalogue.wideTexts[i]; *c != 0; ++c) {
      if (*c >= 0x20 && *c < 0x7F && *c != '"' && *c != '\\')
        std::putchar(static_cast<char>(*c));
      else
        std::printf("\\u%04x", static_cast<unsigned>(*c));
    }
    std::printf("\"");
  }
  std::printf("]\n");
  releaseMessageCatalogue();
  return 0;
}
