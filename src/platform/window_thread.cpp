#include "platform/window_thread.h"

#include <atomic>
#include <cassert>

namespace {

thread_local bool tWindowThread = false;
std::atomic<unsigned> gCallsOnWindowThread{0};

}  // namespace

void MarkWindowThread(bool isWindowThread) { tWindowThread = isWindowThread; }

void NoteFileCall() {
  if (!tWindowThread) return;
  gCallsOnWindowThread.fetch_add(1, std::memory_order_relaxed);
  assert(!"a file call on the window's thread");
}

unsigned FileCallsOnWindowThread() { return gCallsOnWindowThread.load(std::memory_order_relaxed); }
