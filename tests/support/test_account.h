// The unprivileged accounts that tests running as root act as. They are made once, before
// the tests, by tests/support/test-accounts.sh (the ctest fixture "test_accounts").
#pragma once

#include <sys/types.h>

#include <string>

// The ids of the account `name`; false with a reason when it is missing.
bool LookUpTestAccount(const std::string& name, uid_t& uid, gid_t& gid, std::string& reason);
