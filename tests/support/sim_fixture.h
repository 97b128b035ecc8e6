// Common ground of the host tests: a fresh simulated machine per test, the
// program run as a simulated process, and readers of what it left behind.
#ifndef VANTOR_TESTS_SUPPORT_SIM_FIXTURE_H
#define VANTOR_TESTS_SUPPORT_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sim/machine.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  sim::Machine& machine() { return sim::machine(); }
  // Runs the whole program as main does; its exit status.
  int runProgram();
  // The log file in the current folder, as stored (CR LF line ends) and with
  // its line ends turned back into "\n".
  std::string rawLog(const std::string& path = "vantor_config.log");
  std::string logText(const std::string& path = "vantor_config.log");
  // Builds the message catalogue for tests that call parts of the program
  // directly (runProgram builds its own).
  void useCatalogue();

 private:
  bool catalogueBuilt_ = false;
};

// CR LF back to LF.
std::string unixLines(const std::string& text);

// How many times `what` stands in `text` (overlapping ones included).
int occurrences(const std::string& text, const std::string& what);

// A text's lines, without their "\n"; and lines joined, each ended by one.
std::vector<std::string> lines(const std::string& text);
std::string joined(const std::vector<std::string>& lines);

#endif
