#include "tests/conf/conf_test_support.h"

#include "tests/support/temp_dir.h"
#include "tests/support/test_account.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

const OrdinaryUser& TestUser()
{
    static const OrdinaryUser user = [] {
        OrdinaryUser made;
        made.name = "pelloran-conf";
        if (geteuid() != 0) {
            made.available = true;
            made.uid = geteuid();
            made.gid = getegid();
            return made;
        }
        if (!LookUpTestAccount(made.name, made.uid, made.gid, made.why))
            return made;
        made.available = true;
        return made;
    }();
    return user;
}

ActingAs::ActingAs(const OrdinaryUser& user)
{
    if (geteuid() != 0 || user.uid == 0)
        return;
    if (setegid(user.gid) == 0 && seteuid(user.uid) == 0)
        switched = true;
}

ActingAs::~ActingAs()
{
    if (switched) {
        if (seteuid(0) != 0 || setegid(0) != 0)
            std::abort();
    }
}

std::map<std::string, std::string> FolderSnapshot(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = entry.is_regular_file() ? ReadFileBytes(entry.path().string()) : "<not a file>";
    return files;
}

bool Shell(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

bool MakeClusterFolder(const OrdinaryUser& user, const std::string& data)
{
    std::error_code error;
    std::filesystem::create_directory(data, error);
    if (error)
        return false;
    return geteuid() != 0 || chown(data.c_str(), user.uid, user.gid) == 0;
}

ProgramResult RunAsClusterOwner(const OrdinaryUser& user, std::vector<std::string> command)
{
    if (geteuid() == 0)
        command.insert(command.begin(), {"setpriv", "--reuid=" + std::to_string(user.uid),
                                         "--regid=" + std::to_string(user.gid), "--clear-groups"});
    ProgramOptions options;
    options.timeoutSeconds = 120;
    options.environment["LC_ALL"] = "C";
    return RunProgram(command, options);
}
