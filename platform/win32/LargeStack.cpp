#include "platform/win32/LargeStack.h"

#include <pthread.h>

namespace large_stack {

void run(std::size_t bytes, const std::function<void()>& work, void (*threadEnd)()) {
  struct Job {
    const std::function<void()>* work;
    void (*threadEnd)();
    static void* run(void* param) {
      const Job& job = *static_cast<Job*>(param);
      (*job.work)();
      if (job.threadEnd) job.threadEnd();
      return nullptr;
    }
  } job{&work, threadEnd};
  pthread_attr_t attributes;
  pthread_t thread;
  const bool started = pthread_attr_init(&attributes) == 0 &&
                       pthread_attr_setstacksize(&attributes, bytes) == 0 &&
                       pthread_create(&thread, &attributes, &Job::run, &job) == 0;
  pthread_attr_destroy(&attributes);
  if (started)
    pthread_join(thread, nullptr);
  else
    work();
}

}  // namespace large_stack
