#include "tests/installations/ordinary_user.h"

#include "tests/support/test_account.h"

#include <unistd.h>

bool GetOrdinaryUser(OrdinaryUser& user, std::string& reason)
{
    // Switching to the account, and the files handed to it, need root.
    if (geteuid() != 0) {
        reason = "not running as root: cannot act as the account pelloran-inst";
        return false;
    }
    user.name = "pelloran-inst";
    return LookUpTestAccount(user.name, user.uid, user.gid, reason);
}

std::vector<std::string> AsUser(const OrdinaryUser& user, const std::vector<std::string>& command)
{
    std::vector<std::string> line = {"setpriv", "--reuid=" + std::to_string(user.uid),
                                     "--regid=" + std::to_string(user.gid), "--clear-groups", "--"};
    line.insert(line.end(), command.begin(), command.end());
    return line;
}
