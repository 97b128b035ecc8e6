// What a vantor_config.log says happened, for the workshop: which step the
// run reached, why it stopped, what the module holds now and which row of
// the operator's guide tells what to check before a rerun. Built on the log
// reader's entries; a file that is not a log of this program is refused,
// with the line where reading stopped, never guessed at.
#ifndef VANTOR_TOOLS_REPLAY_EXPLAIN_H
#define VANTOR_TOOLS_REPLAY_EXPLAIN_H

#include <string>
#include <vector>

#include "log_reader.h"

namespace replay {

// The steps of a run in procedure order; their ids are the CSV's.
enum class Step {
  Start, Discovery, RomLoader, BlobPrompt, BootLoaderDownload, BootLoaderFlash,
  PowerCycle, KernelUsbDisk, KernelCopy, KernelRemoval, KernelFlash,
  RamdiskUsbDisk, RamdiskCopy, RamdiskRemoval, RamdiskFlash, End,
};
const char* stepId(Step step);

enum class Outcome { Complete, Failed, Cut, Unreadable };
const char* outcomeId(Outcome outcome);

// Every way a run can end that a log shows, each with its one row of the
// operator's guide.
enum class Ending {
  Complete,
  // Failed: message 39 closes the log.
  FileNotOpened, ConfigurationNotRead, NoSerialPort, NoConnection, VerifyError,
  RecordFailed, RomLoaderUnusable, BlobNotReached, BootLoaderRefused,
  NoPromptAfterRestart, AdapterGone, CopyFailed, ImageNotOnDisk, UsbDiskNotConnected,
  // Cut: the log stops in a wait without limit, or anywhere else.
  CutWaitingForEcho, CutWaitingForRestart, CutWaitingForDrive, CutInRemoval,
  CutAfterRemoval, CutInFlash, CutElsewhere,
  Unknown,
};

struct EndingInfo {
  Ending ending;
  const char* table;  // the guide's table, by its first header cell
  const char* row;    // the row, by the exact text of its first cell
  const char* label;  // a few English words
};
// Every ending but Complete and Unknown, with its guide row.
const std::vector<EndingInfo>& endingRows();
const EndingInfo* endingInfo(Ending ending);

// The images in procedure order.
enum Image { Blob = 0, Kernel = 1, Ramdisk = 2, NoImage = -1 };
const char* imageId(int image);

// The row of the guide's table of what the module holds, for what the log
// shows flashed and the flash it shows started and not confirmed.
const char* stateRow(int flashedCount, int interrupted);
extern const char kStateTable[];

// One ROM loader upload: from CONNESSO! to where it stopped, then the
// reconnection to blob at 115200.
struct Upload {
  std::string port;
  int baud = 0;
  int line = 0;            // CONNESSO!
  enum Result { Running, Complete, RecordFailed, VerifyFailed, Empty, WithoutEnd,
                WaitingForEcho } result = Running;
  int records = 0;         // records sent, each once
  int pieces = 0;          // lines of the file read, as the progress counts them
  std::string record;      // the record (or read-back header) sent last
  int recordPiece = 0;     // its line of the file
  std::size_t recordEntry = 0;
  int endLine = 0;         // where the upload ended
  enum Blob { NotTried, Reopening, NotReopened, Reopened, NoPrompt, PromptError,
              Confirmed } blob = NotTried;
  int blobLine = 0;
  bool promptError = false;  // "*** serial port error" came with a prompt
};

struct ImageStep {
  bool started = false;
  int line = 0;            // the USB cable prompt
  int usbTries = 0;        // "usbddisk" commands
  bool connected = false;  // on the last of them
  std::string drive;
  int driveLine = 0;
  enum Copy { NoCopy, Copying, Copied, CopyFailed } copy = NoCopy;
  std::string copyText;    // the copy's line, without its outcome
  std::string copyReason;  // the English line after a failed copy
  int copyLine = 0;
  enum Removal { NotRemoved, Automatic, AppletAfterEject, Applet } removal = NotRemoved;
  std::string ejectLine;   // the eject's English line
  bool removed = false;
  int removedLine = 0;
  bool statusAsked = false;
  enum Flash { NotFlashed, Flashing, Flashed, NotOnDisk } flash = NotFlashed;
  int flashLine = 0;
};

struct BootLoaderStep {
  enum Download { NotStarted, Asked, Refused, FileMissing, Sending, NoPrompt,
                  Transferred } download = NotStarted;
  int downloadLine = 0;
  enum Flash { NotFlashed, Flashing, Flashed } flash = NotFlashed;
  int flashLine = 0;
  enum Restart { NotAsked, Waiting, Autoboot, NoPromptAfterAutoboot, PromptError,
                 Confirmed } restart = NotAsked;
  int restartLine = 0;
};

struct Explanation {
  Outcome outcome = Outcome::Unreadable;
  Step stoppedAt = Step::Start;
  Ending ending = Ending::Unknown;
  int message = -1;        // the catalogue message that names the cause
  int passes = 0;
  std::string port;        // where the module answered last
  int baud = 0;
  int flashedCount = 0;    // blob, kernel, ramdisk confirmed in this order
  int interrupted = NoImage;
  std::string detail;      // one English sentence

  // Unreadable: why, and the line of the log where reading stopped.
  std::string error;
  int errorLine = 0;

  // The account.
  std::vector<Upload> uploads;
  BootLoaderStep bootLoader;
  ImageStep images[2];     // kernel, ramdisk
  int causeLine = 0;       // the last message that names the cause
  std::string causeText;
  std::vector<std::size_t> exchange;  // the entries of the exchange that failed
  int lastLine = 0;        // the last line of the log
};

// The explanation of a log read by readLog.
Explanation explainLog(const FieldLog& log);

// One English sentence on how the run ended, for the CSV's detail column.
std::string describeEnding(const Explanation& x);

// A text of the log for a person: the program's Italian letters (in the
// console's code page) in UTF-8, control and other bytes escaped.
std::string shownText(const std::string& bytes);

// The account for the workshop, in English, quoting the operator's guide.
std::string explainText(const FieldLog& log, const Explanation& x, const std::string& file);

// Many logs at once.
struct ExplainedFile {
  std::string file;
  Explanation explanation;
};
extern const char kCsvHeader[];
std::string csvRow(const std::string& file, const Explanation& x);
std::string summaryTable(const std::vector<ExplainedFile>& runs);
// The CSV's detail of a file that is not a log of this program (or, with
// errorLine 0, that could not be read: error says why).
std::string unreadableDetail(const Explanation& x);

// Whether the log is one this program wrote; empty when it is, else why
// not, with the line where reading stopped.
std::string checkProgramLog(const FieldLog& log, int* line);

}  // namespace replay

#endif
