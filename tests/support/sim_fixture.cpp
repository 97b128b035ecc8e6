#include "tests/support/sim_fixture.h"

#include <sstream>

#include "app/catalogue.h"
#include "app/program.h"

void SimTest::SetUp() { sim::resetMachine(); }

void SimTest::TearDown() {
  if (catalogueBuilt_) releaseMessageCatalogue();
  sim::machine().endThreads();
}

int SimTest::runProgram() {
  try {
    return sim::runProcess(programMain);
  } catch (sim::SimulationStopped& stop) {
    ADD_FAILURE() << "the run could not go on: " << stop.reason;
    return -100;
  }
}

std::string SimTest::rawLog(const std::string& path) {
  return machine().readFile(path);
}

std::string SimTest::logText(const std::string& path) {
  return unixLines(rawLog(path));
}

void SimTest::useCatalogue() {
  ASSERT_EQ(0, buildMessageCatalogue());
  catalogueBuilt_ = true;
}

std::string unixLines(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

int occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1))
    ++n;
  return n;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}
