#include "serial/probe.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "serial/traffic.h"

namespace {

// Message 17 with a port name and a baud rate filled in.
const std::size_t kConnectingTextSize = 96;

struct SectionGuard {
  explicit SectionGuard(pf::CRITICAL_SECTION& section) : section_(section) {
    pf::EnterCriticalSection(&section_);
  }
  ~SectionGuard() { pf::LeaveCriticalSection(&section_); }
  SectionGuard(const SectionGuard&) = delete;
  SectionGuard& operator=(const SectionGuard&) = delete;

 private:
  pf::CRITICAL_SECTION& section_;
};

// Runs `speak` with the context only while the main thread still waits for
// this probe.
template <typename Speak>
bool whileWanted(ProbeJob& job, Speak speak) {
  SectionGuard guard(job.lock);
  if (job.abandoned) return false;
  speak(*job.context);
  return true;
}

// True once the main thread has given up on this probe, whose port is then
// closed at once: an abandoned probe does nothing more on the line. Asked
// before every use of the port, since the pause or call before it may have
// outlasted the time the probe was given.
bool givenUp(ProbeJob& job) {
  bool abandoned;
  {
    SectionGuard guard(job.lock);
    abandoned = job.abandoned;
  }
  if (abandoned) job.port.close();
  return abandoned;
}

// The outcome is published last: the main thread goes on the moment it
// sees the state change.
void publish(ProbeJob& job, int state) {
  whileWanted(job, [&](ConfiguratorContext& context) {
    if (state == Found) context.port->adopt(job.port);
    context.candidates[job.candidateIndex].state.store(state);
  });
  job.port.close();  // still ours only when it was not handed over
}

pf::DWORD PF_WINAPI probeThreadMain(void* argument) {
  ProbeJob* job = static_cast<ProbeJob*>(argument);
  probePort(*job);
  job->release();
  return 0;
}

}  // namespace

void ProbeJob::release() {
  if (references.fetch_sub(1) == 1) {
    pf::DeleteCriticalSection(&lock);
    this->~ProbeJob();
    pf::free(this);
  }
}

int probePort(ProbeJob& job) {
  char text[kConnectingTextSize];
  std::snprintf(text, sizeof text, message(kMsgConnectingTo), job.name, job.baud);
  whileWanted(job, [&](ConfiguratorContext& context) {
    printFlushed(pf::consoleOut(), "%s", text);
    printFlushed(context.log, "%s", text);
  });

  if (job.port.open(job.name, job.baud, 0) != OpenOk) {
    whileWanted(job, [](ConfiguratorContext& context) {
      logThenConsole(context, kMsgCannotOpenPort);
    });
    publish(job, Failed);
    return 0;
  }
  // An open that hung past the probe time, one that no cancel could end,
  // returns here.
  if (givenUp(job)) return 0;
  whileWanted(job, [](ConfiguratorContext& context) {
    logThenConsole(context, kMsgPortOpened);
  });

  pf::Sleep(kProbeSettleMs);
  if (givenUp(job)) return 0;
  job.port.writeByte('a');
  whileWanted(job, [](ConfiguratorContext& context) {
    logPrint(context, " -> %c\n", 'a');
    logPrint(context, " <- ");
  });
  int answer = -1;
  for (int elapsed = 0; elapsed <= kProbeAnswerMs; elapsed += kPollMs) {
    bool taken = false;
    bool wanted = whileWanted(job, [&](ConfiguratorContext& context) {
      // Under the lock, so that a probe given up never reads: a byte that
      // is already waiting is read at once, and the main thread's wait for
      // the lock stays short.
      if (job.port.bytesWaiting() <= 0) return;
      answer = job.port.readByte();
      taken = true;
      logPrint(context, "%c", static_cast<char>(answer));
    });
    if (!wanted) {
      job.port.close();
      return 0;
    }
    if (taken) break;
    pf::Sleep(kPollMs);
  }
  whileWanted(job, [](ConfiguratorContext& context) { logPrint(context, "\n"); });

  if (answer == ':') {
    whileWanted(job, [](ConfiguratorContext& context) {
      logThenConsole(context, kMsgConnected);
    });
    publish(job, Found);
    return 1;
  }
  whileWanted(job, [](ConfiguratorContext& context) {
    consoleThenLog(context, kMsgModuleNotFound);
  });
  job.port.close();
  publish(job, NoAnswer);
  return 0;
}

ProbeJob* startProbe(ConfiguratorContext& context) {
  void* block = pf::malloc(sizeof(ProbeJob));
  if (block == nullptr) return nullptr;
  ProbeJob* job = new (block) ProbeJob();
  job->context = &context;
  std::snprintf(job->name, sizeof job->name, "%s", context.portName);
  job->baud = context.baudRate;
  job->candidateIndex = context.candidateIndex;
  pf::InitializeCriticalSection(&job->lock);
  // Windows 95 and 98 fail the call without a place for the thread's id.
  pf::DWORD threadId = 0;
  context.probeThread =
      pf::CreateThread(nullptr, 0, probeThreadMain, job, 0, &threadId);
  if (context.probeThread == nullptr) {
    job->release();  // the thread's reference: it never ran
    job->release();  // and the caller's, who gets nothing to wait for
    return nullptr;
  }
  return job;
}

void abandonProbe(ConfiguratorContext& context, ProbeJob* job) {
  {
    SectionGuard guard(job->lock);
    job->abandoned = true;
  }
  // A port the probe handed over during the last pause is not wanted any
  // more either.
  context.port->close();
  if (context.probeThread != nullptr) pf::CancelSynchronousIo(context.probeThread);
}
