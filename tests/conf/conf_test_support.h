// What the configuration file tests share: an ordinary user to act as, and folder snapshots.
#pragma once

#include "tests/support/program_run.h"

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

// An ordinary user made for these tests (root ignores permission bits).
struct OrdinaryUser
{
    bool available = false;
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why; // when not available
};
const OrdinaryUser& TestUser();

// Acts as the user (effective ids) for its lifetime; nothing to switch when not root.
class ActingAs
{
public:
    explicit ActingAs(const OrdinaryUser& user);
    ~ActingAs();
    ActingAs(const ActingAs&) = delete;
    ActingAs& operator=(const ActingAs&) = delete;

private:
    bool switched = false;
};

// Makes a PostgreSQL data directory's folder, owned by `user` when the tests run as root
// (the server refuses to run as root); false when it could not be given to the user.
bool MakeClusterFolder(const OrdinaryUser& user, const std::string& data);

// Runs a PostgreSQL program as the owner of a folder MakeClusterFolder made, in the C locale.
ProgramResult RunAsClusterOwner(const OrdinaryUser& user, std::vector<std::string> command);

// Every file of a folder (hidden ones included) with its bytes.
std::map<std::string, std::string> FolderSnapshot(const std::string& folder);

// Runs a shell command; true when it exits with 0.
bool Shell(const std::string& command);
