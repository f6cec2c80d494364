// A program started the way QProcess starts one: a clone() sharing our
// memory, on a small stack of its own, that closes a descriptor and execs.
// The first call of an interposed function happens in that child; it must
// not need more than such a stack, nor change the parent's memory.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

namespace {

int child(void*) {
    const int fd = ::open("/dev/null", O_RDONLY);
    ::fcntl(fd, F_GETFD);
    ::dup2(fd, 100);
    ::close(100);
    ::close(fd);
    char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
    ::execv(argv[0], argv);
    ::_exit(127);
}

}  // namespace

int main() {
    std::vector<char> stack(4 * 1024);
    const pid_t pid = ::clone(child, stack.data() + stack.size(), CLONE_VM | CLONE_VFORK | SIGCHLD, nullptr);
    if (pid < 0) {
        std::perror("clone");
        return 2;
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return 3;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "child ended with status %d\n", status);
        return 1;
    }
    return 0;
}
