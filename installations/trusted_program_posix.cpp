#include "installations/trusted_program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

namespace {

bool IsTrustedStep(const std::string& path, uid_t self)
{
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0)
        return false;
    return (info.st_uid == 0 || info.st_uid == self) && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

wxString TrustedProgramPath(const wxString& program)
{
    const wxCharBuffer given = program.fn_str();
    if (!given.data() || !*given.data())
        return wxString();
    char* resolved = ::realpath(given.data(), nullptr);
    if (!resolved)
        return wxString();
    const std::string path = resolved;
    std::free(resolved);
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        return wxString();
    const uid_t self = ::geteuid();
    // realpath gives an absolute path without links, "." or ".."; walk up to the root.
    for (std::string step = path;;) {
        if (!IsTrustedStep(step, self))
            return wxString();
        if (step == "/")
            break;
        const std::size_t slash = step.rfind('/');
        step = slash == 0 ? std::string("/") : step.substr(0, slash);
    }
    return wxString(path.c_str(), *wxConvFileName);
}
