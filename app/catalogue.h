// The operator's messages, in the console's code page.
#ifndef VANTOR_APP_CATALOGUE_H
#define VANTOR_APP_CATALOGUE_H

constexpr int kMessageCount = 45;

// The operator's messages, by what the operator reads. Each name's value is
// the message's number, by which the catalogue is indexed; the functions
// that print a message take a name, so that a bare number does not compile.
enum MessageId : int {
  kMsgBanner = 0,
  kMsgFileNames = 1,
  kMsgSerialPorts = 2,
  kMsgPortFound = 3,
  kMsgNoPortObject = 4,
  kMsgNoSerialPort = 5,
  kMsgCheckJumperIn = 6,
  kMsgCheckJumperOut = 7,
  kMsgPowerModulePressEnter = 8,
  kMsgCannotOpenFile = 9,
  kMsgNoConnection = 10,
  kMsgBootLoaderLoaded = 11,
  kMsgPressEnterToEnd = 12,
  kMsgConnectCablePowerOnPressEnter = 13,
  kMsgConnectCablePowerOnWithEnter = 14,
  kMsgModuleNotFound = 15,
  kMsgPowerCyclePressEnter = 16,
  kMsgConnectingTo = 17,
  kMsgCannotOpenPort = 18,
  kMsgPortOpened = 19,
  kMsgConnected = 20,
  kMsgUploadProgress = 21,
  kMsgBlobTransferring = 22,
  kMsgPowerOffRemoveJumperPowerOn = 23,
  kMsgTransferred = 24,
  kMsgErasing = 25,
  kMsgPlugUsbCable = 26,
  kMsgDone = 27,
  kMsgDiskFound = 28,
  kMsgDiskRemoved = 29,
  kMsgRemovingDisk = 30,
  kMsgUnplugUsbCable = 31,
  kMsgRemoveDrive = 32,
  kMsgReplugUsbCable = 33,
  kMsgStopDiskInApplet = 34,
  kMsgCopying = 35,
  kMsgCannotCopy = 36,
  kMsgPleaseWait = 37,
  kMsgImageNotOnDisk = 38,
  kMsgNotCompleted = 39,
  kMsgConfigurationDone = 40,
  kMsgPowerOffUnplugCables = 41,
  kMsgVerifyError = 42,
  kMsgTerminalReady = 43,
  kMsgJumperOutWaitForReady = 44,
};


// A message as the printing functions take it: made from a name only, never
// from a bare number, and, unlike the enumeration itself, a type that may
// stand last before the "..." of a function with a variable argument list.
struct Message {
  constexpr Message(MessageId name) : id(name) {}
  MessageId id;
};

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
inline const char* message(MessageId n) { return messageCatalogue.texts[n]; }

#endif
