// Runs a command K times and times each run from just before spawning it to
// its first complete output line and to its exit; also reports its peak RSS.
//
//   exec_timer --runs K -- /path/to/program args...
//
// One line per run on stdout:
//   RUN <i> line_us=<n|-1> exit_us=<n> maxrss_kib=<n> cpu_us=<n> status=<wait status>
//       stderr_bytes=<n> out=<stdout, newlines as \n>
//
// It is deliberately plain C on libc only: a child's ru_maxrss also counts the
// pages of the process it was spawned from, so the spawner has to stay far
// smaller than anything it measures.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

long long nowUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

constexpr long long kRunTimeoutUs = 90LL * 1000000;  // above the tool's own 60 s limit
constexpr size_t kOutCap = 4096;

int runOnce(int index, char** argv) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) < 0 || pipe2(err, O_CLOEXEC) < 0) {
        std::perror("exec_timer: pipe");
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    pid_t pid = 0;
    const long long t0 = nowUs();
    int r = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (r != 0) {
        std::fprintf(stderr, "exec_timer: spawn %s: %s\n", argv[0], std::strerror(r));
        close(out[0]);
        close(err[0]);
        return -1;
    }

    static char text[kOutCap];
    size_t textLen = 0;
    size_t errBytes = 0;
    long long tLine = -1;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        long long left = t0 + kRunTimeoutUs - nowUs();
        if (left <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (poll(fds, 2, static_cast<int>(left / 1000) + 1) < 0 && errno != EINTR) break;
        char buf[4096];
        if (fds[0].revents) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) {
                outOpen = false;
            } else {
                if (tLine < 0 && std::memchr(buf, '\n', static_cast<size_t>(n))) tLine = nowUs();
                size_t take = static_cast<size_t>(n) < kOutCap - textLen ? static_cast<size_t>(n) : kOutCap - textLen;
                std::memcpy(text + textLen, buf, take);
                textLen += take;
            }
        }
        if (fds[1].revents) {
            ssize_t n = read(err[0], buf, sizeof buf);
            if (n <= 0)
                errOpen = false;
            else
                errBytes += static_cast<size_t>(n);
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
    }
    const long long tExit = nowUs();
    const long long cpuUs = (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000000LL + ru.ru_utime.tv_usec +
                            ru.ru_stime.tv_usec;

    std::printf("RUN %d line_us=%lld exit_us=%lld maxrss_kib=%ld cpu_us=%lld status=%d stderr_bytes=%zu out=", index,
                tLine < 0 ? -1 : tLine - t0, tExit - t0, ru.ru_maxrss, cpuUs, status, errBytes);
    for (size_t i = 0; i < textLen; ++i) {
        if (text[i] == '\n')
            std::fputs("\\n", stdout);
        else
            std::putchar(text[i]);
    }
    std::putchar('\n');
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 1;
    int i = 1;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        } else {
            break;
        }
    }
    if (i >= argc || runs < 1) {
        std::fprintf(stderr, "usage: exec_timer [--runs K] -- /path/to/program [args...]\n");
        return 2;
    }
    for (int k = 0; k < runs; ++k)
        if (runOnce(k, argv + i) < 0) return 1;
    return 0;
}
