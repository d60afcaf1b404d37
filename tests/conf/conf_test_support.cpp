#include "tests/conf/conf_test_support.h"

#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <pwd.h>
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
        if (!getpwnam(made.name.c_str()))
            Shell("useradd --system --no-create-home --shell /usr/sbin/nologin " + made.name + " >/dev/null 2>&1");
        const passwd* entry = getpwnam(made.name.c_str());
        if (!entry) {
            made.why = "useradd could not make the user " + made.name;
            return made;
        }
        made.available = true;
        made.uid = entry->pw_uid;
        made.gid = entry->pw_gid;
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
