#include "commandrunner_p.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QVector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

// Reaps `pid`; its exit code, or -1 when it did not exit normally.
int reap(pid_t pid)
{
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Waits until `pid` has ended, at most timeoutMs; true when it has (not yet
// reaped). A pidfd tells without polling; kernels without one are asked
// every few milliseconds.
bool waitForExit(pid_t pid, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
#ifdef SYS_pidfd_open
    const int pidfd = int(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        bool ended = false;
        for (;;) {
            const qint64 left = timeoutMs - clock.elapsed();
            if (left <= 0)
                break;
            struct pollfd p = { pidfd, POLLIN, 0 };
            const int n = ::poll(&p, 1, int(left));
            if (n > 0) {
                ended = true;
                break;
            }
            if (n < 0 && errno != EINTR)
                break;
        }
        ::close(pidfd);
        return ended;
    }
#endif
    for (;;) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (clock.elapsed() >= timeoutMs)
            return false;
        const struct timespec pause = { 0, 2 * 1000 * 1000 };
        ::nanosleep(&pause, nullptr);
    }
}

} // namespace

int runProgram(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QVector<QByteArray> encoded;
    encoded.reserve(arguments.size() + 1);
    encoded.append(QFile::encodeName(program));
    for (const QString &argument : arguments)
        encoded.append(QFile::encodeName(argument));
    QVector<char *> argv;
    for (QByteArray &a : encoded)
        argv.append(a.data());
    argv.append(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    // The program starts with no signal blocked and SIGPIPE at its default,
    // whatever this process's thread has set up for itself.
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int error = ::posix_spawn(&pid, argv.first(), &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        qWarning() << "[CONN] Could not run" << program << ":" << std::strerror(error);
        return -1;
    }

    if (!waitForExit(pid, timeoutMs)) {
        qWarning() << "[CONN]" << program << "still running after" << timeoutMs << "ms, killed";
        ::kill(pid, SIGKILL);
        reap(pid);
        return -1;
    }
    return reap(pid);
}
