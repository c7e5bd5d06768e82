// Whether this process can start threads. Under some user-mode emulators
// thread creation never returns; the probe runs in a forked child and gives
// up after two seconds, so the concurrency tests can skip instead of hanging.
#pragma once

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace lumvet::testing_support {

inline bool threads_available() {
  static const bool available = [] {
    const pid_t child = fork();
    if (child == 0) {
      pthread_t thread;
      if (pthread_create(&thread, nullptr, [](void*) -> void* { return nullptr; }, nullptr) != 0) {
        _exit(1);
      }
      pthread_join(thread, nullptr);
      _exit(0);
    }
    if (child < 0) return false;
    for (int tick = 0; tick < 200; ++tick) {
      int status = 0;
      if (waitpid(child, &status, WNOHANG) == child) {
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      usleep(10000);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return false;
  }();
  return available;
}

}  // namespace lumvet::testing_support
