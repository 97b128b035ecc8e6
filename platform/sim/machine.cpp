// The simulated machine's clock, threads and timed events.
//
// One simulated thread runs at a time: it holds the "CPU" until it sleeps,
// blocks or ends. The next thread to run is the one whose wake time comes
// first (ties go to the one that went to sleep first), and the clock jumps to
// that time. Timed events run, in order, at their own time before any thread
// that wakes later. So the interleaving of the program's threads depends only
// on the program and the test, never on the host's scheduler.
#include "platform/sim/machine.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/sim/sim_internal.h"

namespace sim {
namespace {

struct ThreadKilled {};

struct ThreadRec {
  int id = 0;
  std::thread thread;  // not joinable for the main thread
  enum State { Runnable, Blocked, Done } state = Runnable;
  std::int64_t wake = 0;
  std::uint64_t seq = 0;
  bool killed = false;
  bool cancellable = false;
  bool cancelled = false;
};

thread_local int tlsThreadId = -1;
std::unique_ptr<Machine> gMachine;

}  // namespace

struct Machine::Impl {
  std::mutex mutex;
  std::condition_variable cv;
  std::int64_t now = 0;
  std::uint64_t seq = 0;
  int running = 0;
  std::vector<std::unique_ptr<ThreadRec>> threads;
  std::multimap<std::int64_t, std::function<void(std::int64_t)>> events;
  // The time of the first of them, kept with them so that a platform call,
  // which looks for due events first, need not take the lock to find none.
  std::atomic<std::int64_t> firstEvent{kForever};

  void eventsChanged() {
    firstEvent.store(events.empty() ? kForever : events.begin()->first,
                     std::memory_order_release);
  }
  std::string stopReason;
  FILE* console = nullptr;

  ThreadRec& self() {
    if (tlsThreadId < 0 || tlsThreadId >= static_cast<int>(threads.size()))
      std::abort();  // a thread the machine does not know touched it
    return *threads[static_cast<std::size_t>(tlsThreadId)];
  }

  ThreadRec* nextRunnable() {
    ThreadRec* best = nullptr;
    for (auto& t : threads) {
      if (t->state != ThreadRec::Runnable) continue;
      if (best == nullptr || t->wake < best->wake ||
          (t->wake == best->wake && t->seq < best->seq))
        best = t.get();
    }
    return best;
  }
};

namespace {

// Hands the CPU to the next thread and, unless `self` has ended, waits until
// it is this thread's turn again.
void switchAway(Machine::Impl& impl, std::unique_lock<std::mutex>& lock,
                ThreadRec& self, std::int64_t horizon) {
  for (;;) {
    ThreadRec* next = impl.nextRunnable();
    if (!impl.events.empty() &&
        (next == nullptr || impl.events.begin()->first <= next->wake)) {
      auto it = impl.events.begin();
      std::int64_t when = it->first;
      auto fn = std::move(it->second);
      impl.events.erase(it);
      impl.eventsChanged();
      impl.now = std::max(impl.now, when);
      lock.unlock();
      fn(when);  // this thread still holds the CPU
      lock.lock();
      continue;
    }
    std::string stop;
    if (next == nullptr)
      stop = "every simulated thread waits for something that cannot come";
    else if (next->wake > horizon)
      stop = "virtual time passed the test's horizon";
    if (!stop.empty()) {
      // Only the main thread may end the simulation; wake it to do so.
      impl.stopReason = stop;
      ThreadRec& main = *impl.threads[0];
      main.state = ThreadRec::Runnable;
      main.wake = impl.now;
      next = &main;
    }
    impl.now = std::max(impl.now, next->wake);
    impl.running = next->id;
    if (next != &self) {
      impl.cv.notify_all();
      if (self.state == ThreadRec::Done) return;
      impl.cv.wait(lock, [&] { return impl.running == self.id; });
    }
    if (self.killed) throw ThreadKilled{};
    if (self.id == 0 && !impl.stopReason.empty()) {
      std::string reason = impl.stopReason;
      impl.stopReason.clear();
      throw SimulationStopped{reason};
    }
    return;
  }
}

// Removes everything in an open folder. It is listed into a buffer on the
// stack: opendir takes 32 KiB from the heap for every folder, which under the
// sanitizers cost more than the rest of a machine's life where machines are
// made thousands of times a second (the fuzz targets).
void emptyFolder(int folder) {
  alignas(struct dirent64) char listing[2048];
  for (;;) {
    ssize_t got = getdents64(folder, listing, sizeof listing);
    if (got <= 0) return;
    bool removed = false;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const struct dirent64*>(listing + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      bool isFolder = entry->d_type == DT_DIR;
      struct stat info;
      if (entry->d_type == DT_UNKNOWN &&
          fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0)
        isFolder = S_ISDIR(info.st_mode);
      if (isFolder) {
        int inner = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (inner >= 0) {
          emptyFolder(inner);
          close(inner);
        }
      }
      if (unlinkat(folder, name, isFolder ? AT_REMOVEDIR : 0) == 0) removed = true;
    }
    // The listing changed under the reader: read it again from the start
    // (it is shorter now, so this ends).
    if (removed) lseek(folder, 0, SEEK_SET);
  }
}

void removeTree(const std::string& path) {
  int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return;
  emptyFolder(folder);
  close(folder);
  rmdir(path.c_str());
}

}  // namespace

Machine::Machine() : impl_(new Impl), records_(new PlatformRecords) {
  auto main = std::make_unique<ThreadRec>();
  main->id = 0;
  impl_->threads.push_back(std::move(main));
  tlsThreadId = 0;

  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") +
                        "/vantor-sim-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) std::abort();
  root_ = buffer.data();
  makeDirectory(currentDirectory);
  makeDirectory(windowsDirectory);
  impl_->console = openConsoleStream(*this);
  installSetupApi(*this);
}

Machine::~Machine() {
  endThreads();
  if (impl_->console != nullptr) fclose(impl_->console);
  removeTree(root_);
}

Machine& machine() {
  if (!gMachine) resetMachine();
  return *gMachine;
}

void resetMachine() {
  if (gMachine) gMachine->endThreads();
  gMachine.reset();
  gMachine.reset(new Machine);
}

void Machine::endThreads() {
  {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->stopReason.clear();
    for (auto& t : impl_->threads) {
      if (t->id == 0 || t->state == ThreadRec::Done) continue;
      t->killed = true;
      t->state = ThreadRec::Runnable;
      t->wake = impl_->now;
      t->seq = 0;
    }
  }
  // Let each leftover thread run once: it ends at the wait it was in.
  while (liveThreads() > 1) sleepFor(0);
  for (auto& t : impl_->threads)
    if (t->thread.joinable()) t->thread.join();
}

std::int64_t Machine::nowUs() const { return impl_->now; }

void Machine::at(std::int64_t timeUs, std::function<void(std::int64_t)> fn) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->events.emplace(std::max(timeUs, impl_->now), std::move(fn));
  impl_->eventsChanged();
}

void Machine::processDue() {
  if (onCall) {
    // The observer may make platform calls of its own.
    std::function<void()> observer = std::move(onCall);
    onCall = nullptr;
    observer();
    if (!onCall) onCall = std::move(observer);
  }
  for (;;) {
    // Most calls find nothing due.
    if (impl_->firstEvent.load(std::memory_order_acquire) > impl_->now) return;
    std::function<void(std::int64_t)> fn;
    std::int64_t when;
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if (impl_->events.empty() || impl_->events.begin()->first > impl_->now)
        return;
      auto it = impl_->events.begin();
      when = it->first;
      fn = std::move(it->second);
      impl_->events.erase(it);
      impl_->eventsChanged();
    }
    fn(when);
  }
}

std::int64_t Machine::nextEventUs() {
  return impl_->firstEvent.load(std::memory_order_acquire);
}

void Machine::sleepFor(std::int64_t us) {
  sleepUntil(impl_->now + us);
}

void Machine::sleepUntil(std::int64_t timeUs) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  ThreadRec& self = impl_->self();
  self.state = ThreadRec::Runnable;
  self.wake = std::max(timeUs, impl_->now);
  self.seq = ++impl_->seq;
  switchAway(*impl_, lock, self, horizonUs);
}

bool Machine::blockCurrent() {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  ThreadRec& self = impl_->self();
  self.state = ThreadRec::Blocked;
  self.cancellable = true;
  self.cancelled = false;
  try {
    switchAway(*impl_, lock, self, horizonUs);
  } catch (...) {
    self.cancellable = false;
    throw;
  }
  self.cancellable = false;
  return !self.cancelled;
}

int Machine::currentThread() const { return tlsThreadId; }

void Machine::wakeThread(int id) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (id < 0 || id >= static_cast<int>(impl_->threads.size())) return;
  ThreadRec& t = *impl_->threads[static_cast<std::size_t>(id)];
  if (t.state != ThreadRec::Blocked) return;
  t.state = ThreadRec::Runnable;
  t.wake = impl_->now;
  t.seq = ++impl_->seq;
}

bool Machine::cancelThreadIo(int id) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (id < 0 || id >= static_cast<int>(impl_->threads.size())) return false;
  ThreadRec& t = *impl_->threads[static_cast<std::size_t>(id)];
  if (t.state != ThreadRec::Blocked || !t.cancellable) return false;
  t.cancelled = true;
  t.state = ThreadRec::Runnable;
  t.wake = impl_->now;
  t.seq = ++impl_->seq;
  return true;
}

int Machine::liveThreads() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  int live = 0;
  for (auto& t : impl_->threads)
    if (t->state != ThreadRec::Done) ++live;
  return live;
}

int Machine::spawnThread(std::function<void()> body) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  auto rec = std::make_unique<ThreadRec>();
  ThreadRec* t = rec.get();
  t->id = static_cast<int>(impl_->threads.size());
  t->state = ThreadRec::Runnable;
  t->wake = impl_->now;
  t->seq = ++impl_->seq;
  impl_->threads.push_back(std::move(rec));
  Impl* impl = impl_.get();
  std::int64_t horizon = horizonUs;
  t->thread = std::thread([impl, t, horizon, body = std::move(body)] {
    tlsThreadId = t->id;
    bool run;
    {
      std::unique_lock<std::mutex> lock(impl->mutex);
      impl->cv.wait(lock, [&] { return impl->running == t->id; });
      run = !t->killed;
    }
    if (run) {
      try {
        body();
      } catch (ThreadKilled&) {
      }
    }
    std::unique_lock<std::mutex> lock(impl->mutex);
    t->state = ThreadRec::Done;
    switchAway(*impl, lock, *t, horizon);
  });
  return t->id;
}

FILE* Machine::consoleStream() { return impl_->console; }

int runProcess(int (*entry)()) {
  Machine& m = machine();
  int status;
  try {
    status = entry();
  } catch (ProcessExit& e) {
    status = e.status;
  }
  // The C runtime runs the handlers in the reverse order of registration.
  auto handlers = m.exitHandlers;
  m.exitHandlers.clear();
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) (*it)();
  if (m.consoleStream() != nullptr) fflush(m.consoleStream());
  return status;
}

}  // namespace sim
