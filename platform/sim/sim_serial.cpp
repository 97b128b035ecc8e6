// Serial ports of the simulated machine. A port's far end is whatever the
// test plugs into its hooks; bytes it delivers become readable at the time
// it says, and reads wait on the virtual clock exactly as a synchronous
// ReadFile without time-outs waits on a real line.
#include <algorithm>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

SimPort* portOf(pf::HANDLE handle) {
  HandleInfo info = lookupHandle(handle);
  if (info.kind != HandleKind::Port) return nullptr;
  return machine().ports[static_cast<std::size_t>(info.index)].get();
}

// The bytes at the front of the queue that have arrived by `now`; one that
// has not yet arrived holds back everything queued after it.
std::size_t readable(SimPort& port, std::int64_t now) {
  std::size_t n = std::min(port.rxReadable, port.rx.size());
  while (n < port.rx.size() && port.rx[n].at <= now) ++n;
  port.rxReadable = n;
  return n;
}

void advance(SimPort& port) {
  if (port.advance) port.advance(machine().nowUs());
}

// Waits for the far end, the queue or a timed event to change something.
// False when the wait was cancelled.
bool waitForLine(SimPort& port) {
  Machine& m = machine();
  std::int64_t now = m.nowUs();
  std::int64_t next = kForever;
  // The first byte still on its way is the one after the readable ones.
  std::size_t arrived = readable(port, now);
  if (arrived < port.rx.size()) next = port.rx[arrived].at;
  if (port.nextEventUs) next = std::min(next, port.nextEventUs());
  next = std::min(next, m.nextEventUs());
  if (next != kForever) {
    m.sleepUntil(next);
    return true;
  }
  port.blockedThreads.push_back(m.currentThread());
  bool woken = m.blockCurrent();
  auto& blocked = port.blockedThreads;
  blocked.erase(std::remove(blocked.begin(), blocked.end(), m.currentThread()),
                blocked.end());
  return woken;
}

}  // namespace

void SimPort::wakeBlocked() {
  for (int id : blockedThreads) machine().wakeThread(id);
}

void SimPort::deliver(const std::string& bytes, std::int64_t availableAtUs) {
  deliver(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
          availableAtUs);
}

void SimPort::deliver(const std::uint8_t* bytes, std::size_t size,
                      std::int64_t availableAtUs) {
  if (!isOpen) return;
  for (std::size_t i = 0; i < size; ++i) rx.push_back(RxByte{bytes[i], availableAtUs});
  wakeBlocked();
}

void SimPort::releaseHang() {
  hangReleased = true;
  wakeBlocked();
}

SimPort& Machine::addPort(const std::string& name) {
  ports.push_back(std::make_unique<SimPort>());
  ports.back()->name = name;
  return *ports.back();
}

SimPort* Machine::port(const std::string& name) {
  for (auto& p : ports)
    if (lowerCase(p->name) == lowerCase(name)) return p.get();
  return nullptr;
}

}  // namespace sim

namespace pf {

HANDLE CreateFileA(const char* name, DWORD, DWORD, void*, DWORD, DWORD,
                   HANDLE) {
  if (sim::enterFails(sim::Call::CreateFileA)) return INVALID_HANDLE_VALUE;
  sim::Machine& m = sim::machine();
  std::string device = name != nullptr ? name : "";
  if (device.compare(0, 4, "\\\\.\\") != 0) return INVALID_HANDLE_VALUE;
  device = device.substr(4);
  for (std::size_t i = 0; i < m.ports.size(); ++i) {
    sim::SimPort& port = *m.ports[i];
    if (sim::lowerCase(port.name) != sim::lowerCase(device)) continue;
    if (port.openHangs) {
      port.hangReleased = false;
      while (!port.hangReleased) {
        port.blockedThreads.push_back(m.currentThread());
        bool woken = m.blockCurrent();
        auto& b = port.blockedThreads;
        b.erase(std::remove(b.begin(), b.end(), m.currentThread()), b.end());
        if (!woken) return INVALID_HANDLE_VALUE;
      }
    }
    if (port.createFails || port.gone || port.isOpen) return INVALID_HANDLE_VALUE;
    port.isOpen = true;
    ++port.opens;
    port.rx.clear();
    port.rxReadable = 0;
    return sim::makeHandle(sim::HandleKind::Port, static_cast<int>(i));
  }
  return INVALID_HANDLE_VALUE;
}

BOOL SetCommMask(HANDLE file, DWORD mask) {
  bool fails = sim::enterFails(sim::Call::SetCommMask);
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails || port->maskFails || port->gone) return 0;
  port->lastMask = mask;
  return 1;
}

BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts) {
  bool fails = sim::enterFails(sim::Call::SetCommTimeouts);
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails || port->timeoutsFails || port->gone) return 0;
  port->lastTimeouts = *timeouts;
  return 1;
}

BOOL SetCommState(HANDLE file, const DCB* dcb) {
  bool fails = sim::enterFails(sim::Call::SetCommState);
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails || port->stateFails || port->gone) return 0;
  port->lastDcb = *dcb;
  if (port->onConfigured) port->onConfigured(sim::machine().nowUs(), *dcb);
  return 1;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD count, DWORD* read, void*) {
  bool fails = sim::enterFails(sim::Call::ReadFile);
  if (read != nullptr) *read = 0;
  // What a failed read leaves in the buffer is undefined: never a byte of
  // the line, and never to be taken for one.
  if (buffer != nullptr) std::memset(buffer, 0xEE, count);
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails) return 0;
  sim::Machine& m = sim::machine();
  for (;;) {
    m.processDue();
    if (port->gone) return 0;
    sim::advance(*port);
    if (sim::readable(*port, m.nowUs()) >= count) break;
    if (!sim::waitForLine(*port)) return 0;
  }
  auto* out = static_cast<std::uint8_t*>(buffer);
  for (DWORD i = 0; i < count; ++i) {
    out[i] = port->rx.front().byte;
    port->rx.pop_front();
  }
  port->rxReadable -= count;
  if (read != nullptr) *read = count;
  if (port->onRead) port->onRead(m.nowUs(), out, count);
  return 1;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD count, DWORD* written,
               void*) {
  bool fails = sim::enterFails(sim::Call::WriteFile);
  if (written != nullptr) *written = 0;
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails || port->gone) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  port->written.append(reinterpret_cast<const char*>(bytes), count);
  if (written != nullptr) *written = count;
  if (port->onWrite) port->onWrite(sim::machine().nowUs(), bytes, count);
  port->wakeBlocked();
  return 1;
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* status) {
  bool fails = sim::enterFails(sim::Call::ClearCommError);
  sim::SimPort* port = sim::portOf(file);
  if (errors != nullptr) *errors = 0;
  if (port == nullptr || fails || port->gone) return 0;
  sim::advance(*port);
  if (status != nullptr)
    status->cbInQue =
        static_cast<DWORD>(sim::readable(*port, sim::machine().nowUs()));
  return 1;
}

BOOL SetCommBreak(HANDLE file) {
  bool fails = sim::enterFails(sim::Call::SetCommBreak);
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails || port->gone) return 0;
  port->inBreak = true;
  port->breakStarts.push_back(sim::machine().nowUs());
  return 1;
}

BOOL ClearCommBreak(HANDLE file) {
  bool fails = sim::enterFails(sim::Call::ClearCommBreak);
  sim::SimPort* port = sim::portOf(file);
  if (port == nullptr || fails || port->gone) return 0;
  if (port->inBreak) {
    std::int64_t now = sim::machine().nowUs();
    port->inBreak = false;
    port->breakEnds.push_back(now);
    if (port->onBreak) port->onBreak(now, now - port->breakStarts.back());
  }
  return 1;
}

}  // namespace pf
