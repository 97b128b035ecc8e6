// One probe of one port at one baud rate: open it, send "a", expect ":".
//
// A probe runs on a thread of its own so that a port whose open or write
// hangs cannot stall the search. It works on a port object of its own and
// hands the open port to the context only when the module answered; once
// the main thread has given up on it, it no longer prints, logs or touches
// anything of the context: it closes its port and ends as soon as its
// pending call returns. (Cancelling that call is not always possible:
// Windows before Vista has no way to.)
//
// What can still happen after the main thread gave up: if it did so between
// the probe's last look and its write of the "a", that one "a" still goes
// out on the probe's own handle, unlogged, before the probe closes it. The
// write is not made under the lock because a failing driver can hold it,
// and the main thread must never wait for a probe. Reads are made under the
// lock (only of a byte already waiting, which never holds), so a probe
// given up reads nothing.
#ifndef VANTOR_SERIAL_PROBE_H
#define VANTOR_SERIAL_PROBE_H

#include <atomic>

#include "app/context.h"
#include "serial/serial_port.h"

// The pause that lets a freshly opened line settle before the "a", and the
// time the module then has to answer it.
constexpr int kProbeSettleMs = 50;
constexpr int kProbeAnswerMs = 1000;

struct ProbeJob {
  ConfiguratorContext* context;
  char name[kPortNameSize];
  int baud;
  int candidateIndex;
  SerialPort port;
  // Guards `abandoned` and every use of the context by the probe thread.
  pf::CRITICAL_SECTION lock;
  bool abandoned = false;
  // One reference for the main thread, one for the probe thread.
  std::atomic<int> references{2};

  void release();
};

// Probes job->name at job->baud; 1 when the module answered ":".
int probePort(ProbeJob& job);

// Starts a probe thread for the candidate at context.candidateIndex, named
// by context.portName at context.baudRate. Null, with nothing left to
// release, when no thread could be started; otherwise the caller holds one
// reference to the job.
ProbeJob* startProbe(ConfiguratorContext& context);

// Gives up a probe that took too long: from now on it leaves the console,
// the log, the port and the candidate list alone.
void abandonProbe(ConfiguratorContext& context, ProbeJob* job);

#endif
