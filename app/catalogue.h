// The operator's messages, numbered as the whole program refers to them.
#ifndef VANTOR_APP_CATALOGUE_H
#define VANTOR_APP_CATALOGUE_H

constexpr int kMessageCount = 45;

struct MessageCatalogue {
  const wchar_t* wideTexts[kMessageCount];
  // The texts in the console's code page; each its own heap block.
  char* texts[kMessageCount];
};

extern MessageCatalogue messageCatalogue;

// Fills the catalogue; 0, or -1 when memory ran out (nothing is then left
// allocated).
int buildMessageCatalogue();
void releaseMessageCatalogue();

// Message n in the console's code page. Messages are printf formats.
inline const char* message(int n) { return messageCatalogue.texts[n]; }

#endif
