// Console control events, their handlers and slim reader/writer locks. The
// system delivers a control event on a thread of its own, so a handler can
// wait for a lock that the program's thread holds; this model keeps its own
// lock, apart from the rest of the stand-in's, which the program's thread
// may hold while it waits for the handler.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "StandInState.h"

namespace standin {
namespace detail {
namespace {

struct LockState {
  bool exclusive = false;
  int shared = 0;
};

struct Events {
  std::mutex lock;
  std::condition_variable changed;
  std::map<const void *, LockState> locks;
  int waiting = 0;  // threads blocked on a lock
  std::vector<PHANDLER_ROUTINE> handlers;
  std::thread delivery;
  bool delivered = false;
  bool ended = false;
  std::function<void()> onEnd;
};

Events &TheEvents() {
  static Events events;
  return events;
}

// The process ends: the test's hook looks at what is left.
void End(Events &e) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> guard(e.lock);
    if (e.ended) {
      return;
    }
    e.ended = true;
    hook = e.onEnd;
  }
  if (hook) {
    hook();
  }
}

template <typename Ready>
void WaitFor(Events &e, std::unique_lock<std::mutex> &held, Ready ready) {
  if (ready()) {
    return;
  }
  ++e.waiting;
  e.changed.notify_all();
  e.changed.wait(held, ready);
  --e.waiting;
}

}  // namespace

void ResetEvents() {
  Events &e = TheEvents();
  if (e.delivery.joinable()) {
    e.delivery.join();
  }
  std::lock_guard<std::mutex> guard(e.lock);
  e.locks.clear();
  e.waiting = 0;
  e.handlers.clear();
  e.delivered = false;
  e.ended = false;
  e.onEnd = nullptr;
}

void EndProcess(DWORD by) {
  Events &e = TheEvents();
  if (by == kKilled) {
    End(e);
    return;
  }
  if (e.delivery.joinable()) {
    return;  // one event a run
  }
  std::vector<PHANDLER_ROUTINE> handlers;
  {
    std::lock_guard<std::mutex> guard(e.lock);
    handlers = e.handlers;
  }
  e.delivery = std::thread([&e, handlers, by] {
    // The last handler set is asked first; TRUE handles the event, except
    // a closed window, which ends the process all the same.
    bool handled = false;
    for (auto it = handlers.rbegin(); it != handlers.rend() && !handled; ++it) {
      handled = (*it)(by) != FALSE;
    }
    if (!handled || by == CTRL_CLOSE_EVENT) {
      End(e);
    }
    std::lock_guard<std::mutex> guard(e.lock);
    e.delivered = true;
    e.changed.notify_all();
  });
  std::unique_lock<std::mutex> held(e.lock);
  e.changed.wait(held, [&e] { return e.delivered || e.waiting > 0; });
}

}  // namespace detail

using namespace detail;

void OnProcessEnd(std::function<void()> hook) {
  Events &e = TheEvents();
  std::lock_guard<std::mutex> guard(e.lock);
  e.onEnd = std::move(hook);
}

bool AwaitProcessEnd() {
  Events &e = TheEvents();
  if (e.delivery.joinable()) {
    e.delivery.join();
  }
  std::lock_guard<std::mutex> guard(e.lock);
  return e.ended;
}

std::size_t ControlHandlerCount() {
  Events &e = TheEvents();
  std::lock_guard<std::mutex> guard(e.lock);
  return e.handlers.size();
}

}  // namespace standin

using namespace standin;
using namespace standin::detail;

void AcquireSRWLockExclusive(PSRWLOCK srw) {
  Events &e = TheEvents();
  std::unique_lock<std::mutex> held(e.lock);
  LockState &state = e.locks[srw];
  WaitFor(e, held, [&state] { return !state.exclusive && state.shared == 0; });
  state.exclusive = true;
}

void ReleaseSRWLockExclusive(PSRWLOCK srw) {
  Events &e = TheEvents();
  std::lock_guard<std::mutex> guard(e.lock);
  e.locks[srw].exclusive = false;
  e.changed.notify_all();
}

void AcquireSRWLockShared(PSRWLOCK srw) {
  Events &e = TheEvents();
  std::unique_lock<std::mutex> held(e.lock);
  LockState &state = e.locks[srw];
  WaitFor(e, held, [&state] { return !state.exclusive; });
  ++state.shared;
}

void ReleaseSRWLockShared(PSRWLOCK srw) {
  Events &e = TheEvents();
  std::lock_guard<std::mutex> guard(e.lock);
  --e.locks[srw].shared;
  e.changed.notify_all();
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
  Events &e = TheEvents();
  std::lock_guard<std::mutex> guard(e.lock);
  if (add) {
    e.handlers.push_back(handler);
    return TRUE;
  }
  const auto it = std::find(e.handlers.rbegin(), e.handlers.rend(), handler);
  if (it == e.handlers.rend()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  e.handlers.erase(std::next(it).base());
  return TRUE;
}
