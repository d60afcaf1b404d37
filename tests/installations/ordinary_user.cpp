#include "tests/installations/ordinary_user.h"

#include "tests/support/program_run.h"

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {
const char* const accountName = "pelloran-inst";

bool Lookup(OrdinaryUser& user)
{
    const passwd* entry = getpwnam(accountName);
    if (!entry)
        return false;
    user.name = accountName;
    user.uid = entry->pw_uid;
    user.gid = entry->pw_gid;
    return true;
}
} // namespace

bool GetOrdinaryUser(OrdinaryUser& user, std::string& reason)
{
    // Switching to the account, and the files handed to it, need root.
    if (geteuid() != 0) {
        reason = "not running as root: cannot act as the account " + std::string(accountName);
        return false;
    }
    if (Lookup(user))
        return true;
    // Other tests may hold the account files' lock for a moment; try a few times.
    for (int attempt = 0; attempt < 10; ++attempt) {
        const ProgramResult result = RunProgram({"useradd", "--system", "--user-group", "--no-create-home",
                                                 "--shell", "/usr/sbin/nologin", accountName});
        if (Lookup(user))
            return true;
        reason = "useradd failed: " + result.standardError;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

std::vector<std::string> AsUser(const OrdinaryUser& user, const std::vector<std::string>& command)
{
    std::vector<std::string> line = {"setpriv", "--reuid=" + std::to_string(user.uid),
                                     "--regid=" + std::to_string(user.gid), "--clear-groups", "--"};
    line.insert(line.end(), command.begin(), command.end());
    return line;
}
