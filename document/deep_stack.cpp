#include "document/deep_stack.h"

#include <pthread.h>

namespace scene {

namespace {

struct Call {
  const std::function<void()>* f;
  std::exception_ptr error;
};

void* Enter(void* arg) {
  Call& c = *static_cast<Call*>(arg);
  try {
    (*c.f)();
  } catch (...) {
    c.error = std::current_exception();
  }
  return nullptr;
}

}  // namespace

void OnDeepStack(const std::function<void()>& f) {
  Call call{&f, nullptr};
  pthread_attr_t attr;
  pthread_t thread;
  bool started = false;
  if (pthread_attr_init(&attr) == 0) {
    started = pthread_attr_setstacksize(&attr, kDeepStackBytes) == 0 &&
              pthread_create(&thread, &attr, Enter, &call) == 0;
    pthread_attr_destroy(&attr);
  }
  if (!started) {
    f();
    return;
  }
  pthread_join(thread, nullptr);
  if (call.error) std::rethrow_exception(call.error);
}

}  // namespace scene
