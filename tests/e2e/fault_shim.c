/* Loaded with LD_PRELOAD into the real program to stop or fail it at a chosen step while it
 * changes files in one folder, which nothing else can do on demand.
 *
 * A step is one call that changes a file under PELLORAN_FAULT_DIR: write, fsync, fdatasync,
 * ftruncate, fchmod, fchown, fsetxattr, close (of a file there), rename, link, unlink,
 * chmod, chown, setxattr. Calls on anything else (sockets, pipes, other folders) are not
 * counted and pass untouched.
 *
 *   PELLORAN_FAULT_LOG=FILE      appends "<step> <call> <path>" for every step
 *   PELLORAN_FAULT_KILL_AT=N     SIGKILL before step N runs (1 = the first)
 *   PELLORAN_FAULT_ENOSPC_AT=N   step N, if it is a write, fails with ENOSPC, and so does
 *                                every later write to the same file
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static const char* folder;
static size_t folderLength;
static long killAt, enospcAt;
static int logFd = -1;
static long steps;
static char fullFdPath[PATH_MAX]; /* the file whose writes fail once ENOSPC has begun */

__attribute__((constructor)) static void Setup(void)
{
    folder = getenv("PELLORAN_FAULT_DIR");
    folderLength = folder ? strlen(folder) : 0;
    const char* value = getenv("PELLORAN_FAULT_KILL_AT");
    killAt = value ? atol(value) : 0;
    value = getenv("PELLORAN_FAULT_ENOSPC_AT");
    enospcAt = value ? atol(value) : 0;
    value = getenv("PELLORAN_FAULT_LOG");
    if (value)
        logFd = (int)syscall(SYS_openat, AT_FDCWD, value, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

static int Inside(const char* path)
{
    if (!folder || !path || folderLength == 0)
        return 0;
    char resolved[PATH_MAX];
    const char* p = path;
    if (path[0] != '/') {
        if (!getcwd(resolved, sizeof resolved))
            return 0;
        size_t n = strlen(resolved);
        snprintf(resolved + n, sizeof resolved - n, "/%s", path);
        p = resolved;
    }
    return strncmp(p, folder, folderLength) == 0 && (p[folderLength] == '/' || p[folderLength] == 0);
}

static int FdPath(int fd, char* out, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    if (n <= 0)
        return 0;
    out[n] = 0;
    return 1;
}

static int FdInside(int fd, char* path, size_t size)
{
    if (!folder)
        return 0;
    struct stat info;
    if (fstat(fd, &info) != 0 || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)))
        return 0;
    return FdPath(fd, path, size) && Inside(path);
}

/* Counts a step; kills when asked; returns the step number. */
static long Step(const char* call, const char* path)
{
    ++steps;
    if (logFd >= 0) {
        char line[PATH_MAX + 64];
        int n = snprintf(line, sizeof line, "%ld %s %s\n", steps, call, path ? path : "");
        if (n > 0)
            syscall(SYS_write, logFd, line, (size_t)n);
    }
    if (killAt && steps == killAt)
        syscall(SYS_kill, getpid(), SIGKILL);
    return steps;
}

#define REAL(name) static __typeof__(name)* real_##name; if (!real_##name) real_##name = dlsym(RTLD_NEXT, #name)

ssize_t write(int fd, const void* buffer, size_t count)
{
    REAL(write);
    char path[PATH_MAX];
    if (FdInside(fd, path, sizeof path)) {
        long step = Step("write", path);
        if ((enospcAt && step == enospcAt) || (fullFdPath[0] && strcmp(path, fullFdPath) == 0)) {
            snprintf(fullFdPath, sizeof fullFdPath, "%s", path);
            errno = ENOSPC;
            return -1;
        }
    }
    return real_write(fd, buffer, count);
}

#define FD_CALL(name, signature, args)                       \
    int name signature                                      \
    {                                                       \
        REAL(name);                                         \
        char path[PATH_MAX];                                \
        if (FdInside(fd, path, sizeof path))                \
            Step(#name, path);                              \
        return real_##name args;                            \
    }

FD_CALL(fsync, (int fd), (fd))
FD_CALL(fdatasync, (int fd), (fd))
FD_CALL(fchmod, (int fd, mode_t mode), (fd, mode))
FD_CALL(fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
FD_CALL(ftruncate, (int fd, off_t length), (fd, length))
FD_CALL(fsetxattr, (int fd, const char* name, const void* value, size_t size, int flags),
        (fd, name, value, size, flags))

int close(int fd)
{
    REAL(close);
    char path[PATH_MAX];
    if (FdInside(fd, path, sizeof path))
        Step("close", path);
    return real_close(fd);
}

#define PATH_CALL(name, signature, args, path)               \
    int name signature                                      \
    {                                                       \
        REAL(name);                                         \
        if (Inside(path))                                   \
            Step(#name, path);                              \
        return real_##name args;                            \
    }

/* A name given relative to a folder's descriptor, as a whole path. */
static const char* PathAt(int dir, const char* path, char* full, size_t size)
{
    if (!path || path[0] == '/' || dir == AT_FDCWD || !FdPath(dir, full, size))
        return path;
    size_t n = strlen(full);
    snprintf(full + n, size - n, "/%s", path);
    return full;
}

#define PATH_AT_CALL(name, signature, args, dir, path)      \
    int name signature                                      \
    {                                                       \
        REAL(name);                                         \
        char full[PATH_MAX];                                \
        const char* whole = PathAt(dir, path, full, sizeof full); \
        if (Inside(whole))                                  \
            Step(#name, whole);                             \
        return real_##name args;                            \
    }

PATH_CALL(rename, (const char* from, const char* to), (from, to), to)
PATH_AT_CALL(renameat, (int fromDir, const char* from, int toDir, const char* to),
             (fromDir, from, toDir, to), toDir, to)
PATH_AT_CALL(renameat2, (int fromDir, const char* from, int toDir, const char* to, unsigned flags),
             (fromDir, from, toDir, to, flags), toDir, to)
PATH_CALL(link, (const char* from, const char* to), (from, to), to)
PATH_AT_CALL(linkat, (int fromDir, const char* from, int toDir, const char* to, int flags),
             (fromDir, from, toDir, to, flags), toDir, to)
PATH_CALL(unlink, (const char* path), (path), path)
PATH_AT_CALL(unlinkat, (int dir, const char* path, int flags), (dir, path, flags), dir, path)
PATH_CALL(chmod, (const char* path, mode_t mode), (path, mode), path)
PATH_CALL(chown, (const char* path, uid_t owner, gid_t group), (path, owner, group), path)
PATH_CALL(lchown, (const char* path, uid_t owner, gid_t group), (path, owner, group), path)
PATH_CALL(setxattr, (const char* path, const char* name, const void* value, size_t size, int flags),
          (path, name, value, size, flags), path)
PATH_CALL(lsetxattr, (const char* path, const char* name, const void* value, size_t size, int flags),
          (path, name, value, size, flags), path)
