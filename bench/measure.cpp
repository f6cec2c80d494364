// kinovo-measure COMMAND [ARGS...]
// Runs the command and prints, on standard error after it ends, what it
// cost: "wall=S user=S sys=S maxrss_kb=N status=N". The command's own
// output goes where it would.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

double Seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: kinovo-measure COMMAND [ARGS...]\n", stderr);
    return 2;
  }
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    return 1;
  }
  if (pid == 0) {
    ::execvp(argv[1], argv + 1);
    std::fprintf(stderr, "kinovo-measure: %s: %s\n", argv[1], std::strerror(errno));
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      std::perror("wait4");
      return 1;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::fprintf(stderr, "wall=%.3f user=%.3f sys=%.3f maxrss_kb=%ld status=%d\n", wall,
               Seconds(usage.ru_utime), Seconds(usage.ru_stime), usage.ru_maxrss, code);
  return code;
}
