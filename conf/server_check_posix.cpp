#include "conf/server_check.h"

#include "conf/active_settings.h"
#include "conf/conf_file.h"
#include "installations/server.h"
#include "installations/server_program.h"
#include "installations/trusted_program.h"

#include <wx/filename.h>
#include <wx/intl.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

const int checkTimeoutMilliseconds = 30000;
const std::size_t checkOutputLimit = 64 * 1024;

// What the check needs, or why it cannot run.
struct CheckSetting
{
    wxString program;
    wxString dataFolder;
    ProgramAccount owner;
    wxString whyNot;
};

CheckSetting FindCheckSetting(const Server& server, const wxString& confPath)
{
    CheckSetting setting;
    // A discovered installation names its program folder; a hand-chosen file is matched to
    // the packaged program of its version.
    setting.program = server.port != 0 && !server.baseDirectory.empty()
                          ? wxFileName(server.baseDirectory + wxT("/bin/postgres")).GetFullPath()
                          : FindConfFileServer(confPath).program;
    if (setting.program.empty() || !wxFileName::FileExists(setting.program)) {
        setting.whyNot = _("no server program was found for it.");
        return setting;
    }
    if (TrustedProgramPath(setting.program).empty()) {
        setting.whyNot = _("its server program may not be run, as an account other than root could have replaced it: ") +
                         setting.program;
        return setting;
    }
    setting.dataFolder = DataDirectoryOf(confPath, server.dataDirectory);
    struct stat info;
    const wxCharBuffer folder = setting.dataFolder.fn_str();
    if (setting.dataFolder.empty() || !folder.data() || ::stat(folder.data(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        setting.whyNot = _("its data directory was not found.");
        return setting;
    }
    if (info.st_uid == 0) {
        setting.whyNot = _("its data directory belongs to root, and the server does not run as root.");
        return setting;
    }
    if (::geteuid() != 0 && ::geteuid() != info.st_uid) {
        setting.whyNot = _("its server runs as another account, which only root may act as.");
        return setting;
    }
    setting.owner = {static_cast<unsigned>(info.st_uid), static_cast<unsigned>(info.st_gid)};
    return setting;
}

// The candidate beside the configuration file, readable by the owner alone; removed when done.
class CandidateFile
{
public:
    CandidateFile(const wxString& confPath, const std::string& bytes, const ProgramAccount& owner)
    {
        const wxCharBuffer folder = wxFileName(confPath).GetPath().fn_str();
        if (!folder.data())
            return;
        std::string pattern = std::string(folder.data()) + "/.pelloran-check-XXXXXX";
        const int file = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (file < 0)
            return;
        path = pattern;
        bool whole = ::geteuid() != 0 || ::fchown(file, owner.user, owner.group) == 0;
        for (std::size_t done = 0; whole && done < bytes.size();) {
            const ssize_t wrote = ::write(file, bytes.data() + done, bytes.size() - done);
            whole = wrote > 0;
            done += whole ? static_cast<std::size_t>(wrote) : 0;
        }
        ready = ::close(file) == 0 && whole;
    }
    ~CandidateFile()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
    CandidateFile(const CandidateFile&) = delete;
    CandidateFile& operator=(const CandidateFile&) = delete;

    std::string path;
    bool ready = false;
};

} // namespace

wxString ServerCheckUnavailable(const Server& server, const wxString& confPath)
{
    return FindCheckSetting(server, confPath).whyNot;
}

ServerVerdict AskServer(const Server& server, const wxString& confPath, const std::string& candidate,
                        const std::vector<wxString>& names)
{
    ServerVerdict verdict;
    const CheckSetting setting = FindCheckSetting(server, confPath);
    if (!setting.whyNot.empty()) {
        verdict.whyNotRun = setting.whyNot;
        return verdict;
    }
    const CandidateFile file(confPath, candidate, setting.owner);
    if (!file.ready) {
        verdict.whyNotRun = _("no file to check could be written beside it.");
        return verdict;
    }
    ProgramRunOptions options;
    options.account = setting.owner;
    options.keepErrors = true;
    const std::string dataFolder = setting.dataFolder.fn_str().data();
    for (const wxString& name : names) {
        std::string output;
        // Reads the candidate as a start would, without touching the live file or a running server.
        const ProgramRun run =
            RunTrustedProgram(setting.program, {"-D", dataFolder, "-c", "config_file=" + file.path, "-C", name.ToStdString()},
                              checkOutputLimit, checkTimeoutMilliseconds, output, options);
        if (run == ProgramRun::notRun) {
            verdict.whyNotRun = _("its server program could not be run: ") + setting.program;
            return verdict;
        }
        verdict.ran = true;
        // The whole file is read on every run, so the first refusal names all there are.
        if (run == ProgramRun::failed) {
            verdict.refusals = ReadServerRefusals(output);
            return verdict;
        }
    }
    return verdict;
}
