#include "serial/discovery.h"

#include <cstdio>

#include "app/catalogue.h"
#include "app/console.h"
#include "app/context.h"
#include "serial/port_list.h"
#include "serial/probe.h"
#include "serial/traffic.h"

namespace {

void buildCandidateList(ConfiguratorContext& context) {
  if (context.configuredPort != 0) {
    context.candidateCount = 1;
    std::snprintf(context.candidates[0].name, kPortNameSize, "%s",
                  context.portName);
    context.candidates[0].state.store(Pending);
    return;
  }
  listSerialPorts(context);
}

void promptOperator(ConfiguratorContext& context) {
  if (context.baudIndex == 0) {
    printMessage(pf::consoleOut(), kMsgConnectCablePowerOnPressEnter);
    logPrint(context, "%s\n", message(kMsgConnectCablePowerOnPressEnter));
  } else {
    logThenConsole(context, kMsgPowerCyclePressEnter);
  }
  waitForEnter();
  logPrint(context, "\n");
}

// Probes one candidate on its own thread and waits for its verdict, giving
// up after probeTimeoutMs.
void probeCandidate(ConfiguratorContext& context, PortCandidate& candidate) {
  candidate.state.store(Pending);
  std::snprintf(context.portName, kPortNameSize, "%s", candidate.name);
  ProbeJob* job = startProbe(context);
  if (job == nullptr) {
    // Nothing will ever answer: the candidate ends as a probe that ran out
    // of time does, without the wait.
    candidate.state.store(Failed);
    consoleThenLog(context, kMsgModuleNotFound);
    return;
  }
  int elapsed = 0;
  bool timedOut = false;
  while (candidate.state.load() == Pending) {
    pf::Sleep(kPollMs);
    elapsed += kPollMs;
    // A verdict that came during the last pause is too late all the same.
    if (elapsed >= context.probeTimeoutMs) {
      timedOut = true;
      break;
    }
  }
  if (timedOut) {
    abandonProbe(context, job);
    candidate.state.store(Failed);
    consoleThenLog(context, kMsgModuleNotFound);
  }
  if (context.probeThread != nullptr) pf::CloseHandle(context.probeThread);
  context.probeThread = nullptr;
  job->release();
}

}  // namespace

int findModule(ConfiguratorContext& context) {
  buildCandidateList(context);
  if (context.candidateCount == 0) {
    consoleThenLog(context, kMsgNoSerialPort);
    return 0;
  }
  while (context.baudIndex < context.baudCount) {
    context.baudRate = context.baudRates[context.baudIndex];
    context.lineDelayMs = context.lineDelays[context.baudIndex];
    promptOperator(context);
    bool found = false;
    for (context.candidateIndex = 0;
         context.candidateIndex < context.candidateCount && !found;
         ++context.candidateIndex) {
      PortCandidate& candidate = context.candidates[context.candidateIndex];
      if (candidate.state.load() == Failed) continue;
      probeCandidate(context, candidate);
      found = candidate.state.load() == Found;
    }
    ++context.baudIndex;
    if (found) return 1;
  }
  return 0;
}
