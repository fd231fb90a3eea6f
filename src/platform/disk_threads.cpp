#include "platform/disk_threads.h"

#include <mutex>
#include <vector>

namespace {

std::mutex& Lock() {
  static std::mutex lock;
  return lock;
}

// Real handles (GetCurrentThread's is a pseudo-handle, valid on its own
// thread only), with the THREAD_TERMINATE right CancelSynchronousIo needs.
std::vector<HANDLE>& Threads() {
  static std::vector<HANDLE> threads;
  return threads;
}

}  // namespace

void CountAsDiskThread() {
  HANDLE thread = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentThread(), ::GetCurrentProcess(), &thread,
                         THREAD_TERMINATE, FALSE, 0)) {
    return;
  }
  std::lock_guard<std::mutex> lock(Lock());
  Threads().push_back(thread);
}

void CancelDiskCalls() {
  std::lock_guard<std::mutex> lock(Lock());
  // An ended thread, or one in no call, has nothing to cancel
  // (ERROR_NOT_FOUND).
  for (HANDLE thread : Threads()) ::CancelSynchronousIo(thread);
}
