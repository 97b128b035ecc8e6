// The search for the module read back from the log: which ports each
// search had, what each pass probed and how every probe ended. The program
// probes the candidates in list order and skips, for the rest of a search,
// every one that failed; the log names a port only when its probe ran, so
// a probe that never started is put on the candidate whose turn it was.
#include <cstdlib>

#include "log_reader.h"

namespace replay {

const int kPassBauds[4] = {115200, 38400, 19200, 9600};

namespace {

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string withoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

struct SearchReader {
  FieldLog& log;
  PortSearch* search = nullptr;
  ProbePass* pass = nullptr;
  Probe* probe = nullptr;
  bool portOpened = false;  // the probe under way opened its port
  bool answered = false;    // and its answer line ended
  std::vector<bool> failed;  // per candidate of the search
  std::vector<int> candidates;  // the candidate of each probe of the pass
  int baudIndex = 0;

  explicit SearchReader(FieldLog& l) : log(l) {}

  void problem(const Entry& e, const std::string& what) {
    log.problems.push_back({e.begin, e.line, what});
  }

  void newSearch(const Entry& e, std::size_t i, bool configured) {
    log.searches.emplace_back();
    search = &log.searches.back();
    search->configured = configured;
    search->entry = i;
    search->line = e.line;
    if (configured && log.configuredPort != 0)
      search->ports.push_back("COM" + std::to_string(log.configuredPort));
    pass = nullptr;
    probe = nullptr;
    failed.assign(search->ports.size(), false);
  }

  // The candidate whose turn comes after the one probed last in this
  // pass: the next one that has not failed in this search; or -1.
  int nextCandidate() const {
    std::size_t from = candidates.empty() ? 0 : static_cast<std::size_t>(candidates.back() + 1);
    if (!candidates.empty() && candidates.back() < 0) return -1;
    for (std::size_t c = from; c < search->ports.size(); ++c)
      if (!failed[c]) return static_cast<int>(c);
    return -1;
  }

  void startProbe(const Entry& e, std::size_t i, const std::string& port, int baud) {
    if (pass == nullptr) {
      problem(e, "a probe outside a pass of the search");
      return;
    }
    int candidate = nextCandidate();
    pass->probes.emplace_back();
    probe = &pass->probes.back();
    probe->port = port;
    probe->baud = baud;
    probe->entry = i;
    probe->line = e.line;
    candidates.push_back(candidate);
    portOpened = answered = false;
    if (candidate < 0) {
      problem(e, "a probe of a port that was not a candidate any more");
    } else if (!port.empty() && search->ports[static_cast<std::size_t>(candidate)] != port) {
      problem(e, "the port probed is not the one whose turn it was");
    } else if (port.empty()) {
      probe->port = search->ports[static_cast<std::size_t>(candidate)];
    }
  }

  void endProbe(ProbeOutcome outcome) {
    probe->outcome = outcome;
    int candidate = candidates.empty() ? -1 : candidates.back();
    if (probe->failsPort() && candidate >= 0)
      failed[static_cast<std::size_t>(candidate)] = true;
    if (outcome == ProbeOutcome::Found) search->ending = PortSearch::Found;
    probe = nullptr;
  }

  void text(const Entry& e, std::size_t i) {
    const std::string& t = e.bytes;
    if (t == "Porte seriali:\r\n") {
      newSearch(e, i, false);
      return;
    }
    if (startsWith(t, "Porta trovata: ") && search != nullptr && !search->configured &&
        search->passes.empty()) {
      search->ports.push_back(withoutLineEnd(t.substr(15)));
      failed.push_back(false);
      return;
    }
    if (startsWith(t, "Nessuna porta seriale trovata!")) {
      if (search == nullptr) newSearch(e, i, false);
      search->ending = PortSearch::NoPort;
      search = nullptr;
      return;
    }
    bool firstPrompt = startsWith(t, "collega il cavo seriale, accendi il robot");
    if (firstPrompt || startsWith(t, "Spegni e riaccendi il robot e premi INVIO!")) {
      if (firstPrompt) baudIndex = 0;
      // A configured port is not listed: its search starts at a prompt
      // that no search under way can take.
      if (search == nullptr || search->ending != PortSearch::Unfinished)
        newSearch(e, i, true);
      search->passes.emplace_back();
      pass = &search->passes.back();
      pass->baudIndex = baudIndex;
      pass->baud = baudIndex < 4 ? kPassBauds[baudIndex] : 0;
      pass->entry = i;
      pass->line = e.line;
      candidates.clear();
      probe = nullptr;
      ++baudIndex;
      return;
    }
    if (startsWith(t, "Connessione a ") && search != nullptr) {
      std::size_t rate = t.rfind(", baud rate ");
      std::string port = t.substr(14, rate == std::string::npos ? 0 : rate - 14);
      int baud = rate == std::string::npos ? 0 : std::atoi(t.c_str() + rate + 12);
      startProbe(e, i, port, baud);
      if (probe != nullptr && pass != nullptr && baud != pass->baud)
        problem(e, "the probe's baud rate is not the one of its pass");
      return;
    }
    if (search == nullptr) return;
    if (startsWith(t, "non posso aprire la porta.") && probe != nullptr) {
      endProbe(ProbeOutcome::NotOpened);
    } else if (startsWith(t, "porta aperta: ") && probe != nullptr) {
      portOpened = true;
    } else if (startsWith(t, "CONNESSO!") && probe != nullptr) {
      endProbe(ProbeOutcome::Found);
      search = nullptr;
    } else if (startsWith(t, "modulo V&L non trovato!") && pass != nullptr) {
      if (probe == nullptr) {
        // No probe line: the probe's thread never ran, and the main thread
        // counts it as one that ran out of time.
        startProbe(e, i, "", pass->baud);
        if (probe != nullptr) endProbe(ProbeOutcome::NotStarted);
      } else if (answered) {
        endProbe(probe->answer < 0 ? ProbeOutcome::NoAnswer : ProbeOutcome::WrongAnswer);
      } else {
        probe->hungIn = !portOpened ? ProbeHang::Open
                        : probe->answer == -2 ? ProbeHang::Read
                                              : ProbeHang::Write;
        probe->answer = -1;
        endProbe(ProbeOutcome::TimedOut);
      }
    } else if (t.find("possibile impostare la connessione") != std::string::npos) {
      search->ending = PortSearch::NotFound;
      search = nullptr;
    }
  }

  void run() {
    for (std::size_t i = 0; i < log.entries.size(); ++i) {
      const Entry& e = log.entries[i];
      if (e.kind == EntryKind::Text) {
        text(e, i);
      } else if (probe != nullptr && portOpened && !answered) {
        if (e.kind == EntryKind::Sent && e.bytes == "a") {
          probe->answer = -2;  // waiting for the answer
        } else if (e.kind == EntryKind::Received && probe->answer == -2 && e.closed) {
          answered = true;
          probe->answer = e.bytes.empty() ? -1 : static_cast<unsigned char>(e.bytes[0]);
        }
      }
    }
    if (probe != nullptr && probe->answer == -2) probe->answer = -1;
  }
};

}  // namespace

void readPortSearches(FieldLog& log) {
  SearchReader reader(log);
  reader.run();
}

}  // namespace replay
