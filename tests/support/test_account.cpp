#include "tests/support/test_account.h"

#include <pwd.h>

bool LookUpTestAccount(const std::string& name, uid_t& uid, gid_t& gid, std::string& reason)
{
    const passwd* entry = getpwnam(name.c_str());
    if (!entry) {
        reason = "the test account " + name +
                 " is missing: tests/support/test-accounts.sh makes it (ctest runs it first as the fixture "
                 "test_accounts)";
        return false;
    }
    uid = entry->pw_uid;
    gid = entry->pw_gid;
    return true;
}
