// An unprivileged account for the cases that root would pass through its privileges.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct OrdinaryUser
{
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
};

// The account "pelloran-inst". False with a reason when not running as root or it is missing.
bool GetOrdinaryUser(OrdinaryUser& user, std::string& reason);

// The command line that runs `command` as that user with no supplementary groups.
std::vector<std::string> AsUser(const OrdinaryUser& user, const std::vector<std::string>& command);
