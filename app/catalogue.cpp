#include "app/catalogue.h"

#include <clocale>
#include <cstring>

#include "platform/platform.h"

MessageCatalogue messageCatalogue;

namespace {

const wchar_t* const kTexts[kMessageCount] = {
  /*  0 */ L"\nUtilit\u00e0 di configurazione modulo Vantor&Lumis\n---------------------------------------------\n\n",
  /*  1 */ L"Nomi dei file:\n",
  /*  2 */ L"Porte seriali:\n",
  /*  3 */ L"Porta trovata: %s\n",
  /*  4 */ L"Non posso creare l'oggetto com port!\n",
  /*  5 */ L"Nessuna porta seriale trovata!\n",
  /*  6 */ L"Accertati che il jumper centrale sia correttamente inserito sul modulo Vantor&Lumis, ",
  /*  7 */ L"Accertati di aver rimosso il jumper dal modulo Vantor&Lumis, ",
  /*  8 */ L"accendi il modulo Vantor&Lumis e premi invio!",
  /*  9 */ L"Non posso aprire il file %s\n",
  /* 10 */ L"\nNon \u00e8 possibile impostare la connessione.\n",
  /* 11 */ L"\nBootloader caricato\n\n",
  /* 12 */ L"\nPremere invio per terminare!\n",
  /* 13 */ L"collega il cavo seriale, accendi il robot e premi INVIO!",
  /* 14 */ L"collega il cavo seriale, e accendi il robot e premi INVIO contemporaneamente!",
  /* 15 */ L"modulo V&L non trovato!\n",
  /* 16 */ L"\nSpegni e riaccendi il robot e premi INVIO!",
  /* 17 */ L"Connessione a %s, baud rate %d... ",
  /* 18 */ L"non posso aprire la porta.\n",
  /* 19 */ L"porta aperta: ",
  /* 20 */ L"CONNESSO!\n",
  /* 21 */ L"\rCaricamento linea %d - Trasferimento completato: %d%%",
  /* 22 */ L"Trasferimento blob in corso",
  /* 23 */ L"SPEGNI il robot, RIMUOVI il jumper e riaccendi il robot! ",
  /* 24 */ L"trasferito\n",
  /* 25 */ L"Eliminazione %s",
  /* 26 */ L"Collega il cavo USB!\n",
  /* 27 */ L"Fatto\n",
  /* 28 */ L"Trovato disco %s\n",
  /* 29 */ L"Disco %s rimosso\n",
  /* 30 */ L"Rimozione disco %s... ",
  /* 31 */ L"Scollega il cavo USB!\n",
  /* 32 */ L"Rimuovi unit\u00e0 %s\n",
  /* 33 */ L"Scollega e ricollega il cavo USB!\n",
  /* 34 */ L"Nella finestra 'Scollegamento o rimozione di una periferica hardware', seleziona 'Disco USB (Altamec K-Ferro04 Boot %s:)' e cliccare su 'Interrompi'\n",
  /* 35 */ L"Copia di %s in %s... ",
  /* 36 */ L"non posso copiare il file\n",
  /* 37 */ L"Attendere...",
  /* 38 */ L"Errore: file non trovato\n",
  /* 39 */ L"Procedura non completata: riprovare dall'inizio\n",
  /* 40 */ L"Configurazione terminata!\n",
  /* 41 */ L"SPEGNI il robot e scollega i cavi USB e seriale\n",
  /* 42 */ L"\nErrore di verifica!\n",
  /* 43 */ L"\nTerminale pronto (premi ^A due volte per uscire)\n\n",
  /* 44 */ L"Accertati che il jumper NON sia inserito sul modulo Vantor&Lumis,\ncollega il cavo seriale, accendi il robot,\nATTENDI il messaggio 'K-Ferro04 - Ready' e premi INVIO!\n",
};

// Bytes of one character in the console's code page, or '?' when the code
// page has none: a message must never come out cut or empty.
std::size_t convertChar(wchar_t c, char* out) {
  const wchar_t one[2] = {c, 0};
  char bytes[16];
  std::size_t n = pf::wcstombs(bytes, one, sizeof bytes);
  if (n == static_cast<std::size_t>(-1) || n == 0 || n >= sizeof bytes) {
    bytes[0] = '?';
    n = 1;
  }
  if (out != nullptr) std::memcpy(out, bytes, n);
  return n;
}

char* convertText(const wchar_t* wide) {
  std::size_t n = pf::wcstombs(nullptr, wide, 0);
  if (n != static_cast<std::size_t>(-1)) {
    char* text = static_cast<char*>(pf::malloc(n + 1));
    if (text == nullptr) return nullptr;
    if (pf::wcstombs(text, wide, n + 1) == n) {
      text[n] = '\0';
      return text;
    }
    pf::free(text);
  }
  // Some character has no byte in this code page: convert one by one.
  n = 0;
  for (const wchar_t* p = wide; *p != 0; ++p) n += convertChar(*p, nullptr);
  char* text = static_cast<char*>(pf::malloc(n + 1));
  if (text == nullptr) return nullptr;
  std::size_t at = 0;
  for (const wchar_t* p = wide; *p != 0; ++p) at += convertChar(*p, text + at);
  text[at] = '\0';
  return text;
}

}  // namespace

int buildMessageCatalogue() {
  for (int i = 0; i < kMessageCount; ++i) {
    messageCatalogue.wideTexts[i] = kTexts[i];
    messageCatalogue.texts[i] = nullptr;
  }
  pf::setlocale(LC_ALL, ".OCP");
  for (int i = 0; i < kMessageCount; ++i) {
    messageCatalogue.texts[i] = convertText(messageCatalogue.wideTexts[i]);
    if (messageCatalogue.texts[i] == nullptr) {
      releaseMessageCatalogue();
      return -1;
    }
  }
  return 0;
}

void releaseMessageCatalogue() {
  for (int i = 0; i < kMessageCount; ++i) {
    pf::free(messageCatalogue.texts[i]);
    messageCatalogue.texts[i] = nullptr;
  }
}
