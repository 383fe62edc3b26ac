// The worker's thread: a pthread, for the stack size the parser and the
// recursive executor need and for a name that shows in debuggers.
#include <pthread.h>

#include <memory>

#include "worker.hpp"

namespace kelvane::worker {

namespace {

struct ThreadStart {
  std::function<void()> body;
};

void* thread_entry(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  pthread_setname_np(pthread_self(), "brandel");
  start->body();
  return nullptr;
}

}  // namespace

WorkerHandle::~WorkerHandle() {
  if (live_) pthread_detach(thread_);
}

void WorkerHandle::join() {
  if (live_) {
    live_ = false;
    pthread_join(thread_, nullptr);
  }
}

std::expected<WorkerHandle, int> spawn(std::function<void()> body) {
  pthread_attr_t attr;
  int rc = pthread_attr_init(&attr);
  if (rc != 0) return std::unexpected(rc);
  rc = pthread_attr_setstacksize(&attr, limits::kWorkerStackSize);
  if (rc != 0) {
    pthread_attr_destroy(&attr);
    return std::unexpected(rc);
  }
  auto* start = new ThreadStart{std::move(body)};
  pthread_t thread;
  rc = pthread_create(&thread, &attr, thread_entry, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return std::unexpected(rc);
  }
  return WorkerHandle(thread);
}

}  // namespace kelvane::worker
