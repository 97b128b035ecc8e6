// Shared ground of the fuzz targets: a fresh simulated machine per input, a
// context with its log open, and a check that stops the run with a message
// libFuzzer keeps next to the input that broke it.
#ifndef VANTOR_FUZZ_FUZZ_SUPPORT_H
#define VANTOR_FUZZ_FUZZ_SUPPORT_H

#include <memory>
#include <string>

#include "app/context.h"

namespace fuzz {

// Aborts with the failed property; abort, not a return, so that libFuzzer
// saves the input as a crash.
[[noreturn]] void fail(const char* property, const char* file, int line);

// A machine in its initial state with the catalogue built (once per
// process: it outlives every machine) and the receive window emptied, since
// the window is a process-wide leftover of the previous input. The machine
// is the one endInput made.
void freshMachine();

// Ends an input: drops its machine and makes the next input's one now.
// So an input frees everything it allocated, and libFuzzer, which runs an
// input that ends with more allocations than frees a second time and then
// looks for leaks, does that only where the program really keeps memory.
void endInput();

// A context as the program has it after its start: port object created,
// log open in the current folder.
std::unique_ptr<ConfiguratorContext> openContext();

// Has the program write its log to memory instead of the file openContext
// opened. The program flushes after every piece it logs, a received byte
// being a piece of its own, and through the simulated machine's text files
// each flush is a write to a real file: for the targets that feed the waits
// thousands of bytes, one system call per byte.
void keepLogInMemory(ConfiguratorContext& context);
// What the program logged since keepLogInMemory, as it wrote it (line ends
// as "\n").
const std::string& loggedText();

// Closes what the context holds open; the machine itself is dropped by
// endInput.
void closeContext(ConfiguratorContext& context);

// True when `text` has a NUL within its first `size` bytes.
bool terminatedWithin(const char* text, std::size_t size);

}  // namespace fuzz

#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::fuzz::fail(#condition, __FILE__, __LINE__))

#endif
