// The lines the program writes into its log, recognised by what they say:
// the catalogue's messages as the program has them (built by the program's
// own catalogue, in the console's code page) and its few English lines.
// A piece the log reader took for the program's that is none of these was
// not written by this program.
#ifndef VANTOR_TOOLS_REPLAY_PROGRAM_LINES_H
#define VANTOR_TOOLS_REPLAY_PROGRAM_LINES_H

#include <string>
#include <vector>

namespace replay {

enum class LineId {
  None,  // no line of the program
  // messages
  FileNames, SerialPorts, PortFound, NoSerialPort, CannotOpenFile, NoConnection,
  BootLoaderLoaded, FirstPrompt, ModuleNotFound, PowerCyclePrompt, Connecting,
  CannotOpenPort, PortOpened, Connected, BlobTransferring, PowerOffRemoveJumper,
  Transferred, PlugUsb, Done, DiskFound, DiskRemoved, RemovingDisk, UnplugUsb,
  ReplugUsb, StopDiskInApplet, Copying, CopyDone, CopyFailed, CannotCopy,
  ImageNotOnDisk, NotCompleted, VerifyError,
  // the program's English lines
  ClosingPort, OpeningPort, PortReopened, AdapterGone, RomLoaderEmpty,
  RomLoaderWithoutEnd, ImageEmpty, CopyCancelled, EjectInvalidDrive,
  EjectUnsupported, EjectNoLibrary, Ejected, EjectRefused, EjectError,
};

// What the program line `text` (without its line end) is; None when the
// program writes no such line. With `partial`, a text that is only the
// beginning of one (the end of a log cut short) counts too.
LineId programLine(const std::string& text, bool partial = false);

// The catalogue message a line begins with, or -1 for an English line.
int lineMessage(LineId id);

// The texts of the English lines as the program's sources write them
// (printf formats, one piece per write), for a test to find them there.
const std::vector<std::string>& englishLineTexts();

// How the program's own writes begin as the log stores them (the text up
// to its first directive, CR LF for a line feed): where one stands, a piece
// of the program's begins and module output does not.
const std::vector<std::string>& pieceOpenings();

}  // namespace replay

#endif
