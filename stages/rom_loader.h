#ifndef VANTOR_STAGES_ROM_LOADER_H
#define VANTOR_STAGES_ROM_LOADER_H

struct ConfiguratorContext;

// Tries of a record, and of its read-back, before the pass is given up;
// each record starts both counts afresh.
constexpr int kRecordAttempts = 5;
constexpr int kReadBackAttempts = 5;
// The limit of each wait within a try: the carriage return's echo, the
// record's echo (or the read-back's data) and the acknowledgement.
constexpr int kRecordAnswerMs = 1000;
// The one record whose echo is awaited without limit, and only in part.
inline constexpr char kUnlimitedWaitRecord[] = "0021B000C4E7400402";

// Sends the ROM loader file, record by record, to the boot ROM on the open
// port. 1 once the end record has gone out; 0 when a record or a read-back
// failed five times, or the file cannot be a ROM loader (empty, or no end
// record). Leaves the file and the port open.
int uploadRomLoader(ConfiguratorContext& context);

#endif
