// vantor_explain LOG                 the run in words, for the workshop
// vantor_explain --csv LOG...        one row per log, for spreadsheets and scripts
// vantor_explain --summary LOG...    how many runs ended where, the most common first
//
// Exit status 0; 2 when a file cannot be read or is not a log of
// vantor_config (the CSV and the summary still show the others).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "explain.h"
#include "log_reader.h"

namespace {

// Far above any real log, which holds a run of some minutes.
const std::streamoff kLargestLog = 256LL * 1024 * 1024;

void usage() {
  std::fputs(
      "usage: vantor_explain LOG\n"
      "       vantor_explain --csv LOG...\n"
      "       vantor_explain --summary LOG...\n",
      stderr);
}

// The file's bytes, or an error.
bool readFile(const std::string& path, std::string& bytes, std::string& error) {
  std::error_code failed;
  if (!std::filesystem::is_regular_file(path, failed)) {
    bool there = !failed && std::filesystem::exists(path, failed);
    error = there ? "is not a regular file" : "cannot be read";
    return false;
  }
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (size < 0) {
    error = "cannot be read";
    return false;
  }
  if (size > kLargestLog) {
    error = "is far too large to be a log of vantor_config";
    return false;
  }
  in.seekg(0);
  std::ostringstream content;
  content << in.rdbuf();
  bytes = content.str();
  return true;
}

replay::ExplainedFile explainFile(const std::string& path) {
  replay::ExplainedFile run{path, {}};
  std::string bytes, error;
  if (!readFile(path, bytes, error)) {
    run.explanation.error = error;
    run.explanation.errorLine = 0;
    return run;
  }
  replay::FieldLog log = replay::readLog(bytes);
  run.explanation = replay::explainLog(log);
  return run;
}

void refuse(const replay::ExplainedFile& run) {
  std::fprintf(stderr, "vantor_explain: %s: %s\n", run.file.c_str(),
               replay::unreadableDetail(run.explanation).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  enum { Text, Csv, Summary } mode = Text;
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--csv") == 0 && i == 1) mode = Csv;
    else if (std::strcmp(argv[i], "--summary") == 0 && i == 1) mode = Summary;
    else if (argv[i][0] == '-' && argv[i][1] == '-') {
      usage();
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  if (files.empty() || (mode == Text && files.size() != 1)) {
    usage();
    return 2;
  }

  if (mode == Text) {
    std::string bytes, error;
    if (!readFile(files[0], bytes, error)) {
      std::fprintf(stderr, "vantor_explain: %s: the path %s.\n", files[0].c_str(), error.c_str());
      return 2;
    }
    replay::FieldLog log = replay::readLog(bytes);
    replay::ExplainedFile run{files[0], replay::explainLog(log)};
    if (run.explanation.outcome == replay::Outcome::Unreadable) {
      refuse(run);
      return 2;
    }
    std::fputs(replay::explainText(log, run.explanation, files[0]).c_str(), stdout);
    return 0;
  }

  int status = 0;
  std::vector<replay::ExplainedFile> runs;
  for (const std::string& file : files) {
    runs.push_back(explainFile(file));
    if (runs.back().explanation.outcome == replay::Outcome::Unreadable) {
      refuse(runs.back());
      status = 2;
    }
  }
  if (mode == Csv) {
    std::printf("%s\n", replay::kCsvHeader);
    for (const replay::ExplainedFile& run : runs)
      std::printf("%s\n", replay::csvRow(run.file, run.explanation).c_str());
  } else {
    std::fputs(replay::summaryTable(runs).c_str(), stdout);
  }
  return status;
}
