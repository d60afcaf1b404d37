#include "installations/registry_layouts.h"

#include "installations/registry_reg_file.h"
#include "installations/regular_file.h"
#include "installations/server_program.h"
#include "installations/trusted_program.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wxChar* const servicesKey = wxT("SOFTWARE\\PostgreSQL\\Services\\");
const wxChar* const installationsKey = wxT("SOFTWARE\\PostgreSQL\\Installations\\");
const int includeDepthLimit = 10;
// Files read for one server's configuration, includes and all: include lines in a loop
// otherwise multiply at every level of depth.
const int configurationFileBudget = 64;

using Settings = std::map<std::string, std::string>;

std::string Native(const wxString& text)
{
    const wxCharBuffer bytes = text.fn_str();
    return bytes.data() ? std::string(bytes.data()) : std::string();
}

wxString Wide(const std::string& text)
{
    return wxString(text.c_str(), *wxConvFileName);
}

// One server's configuration as it is read, within the budget of files.
struct ConfigurationReader
{
    explicit ConfigurationReader(std::ostream& warnings) : warnings(warnings) {}
    std::ostream& warnings;
    Settings settings;
    int filesLeft = configurationFileBudget;
};

void ReadSettings(const fs::path& file, int depth, ConfigurationReader& reader);

// A file of discovery, whole; a missing one is silent, a refused one a warning naming it.
bool ReadDiscoveryFile(const fs::path& file, std::string& bytes, std::ostream& warnings)
{
    wxString reason;
    switch (ReadRegularFile(Wide(file.string()), configurationFileLimit, bytes, reason)) {
    case FileRead::read:
        return true;
    case FileRead::missing:
        return false;
    case FileRead::failed:
        break;
    }
    warnings << file.string() << ": " << reason.utf8_str() << "\n";
    return false;
}

std::vector<std::string> SplitLines(const std::string& bytes, char separator = '\n')
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size()) {
        const size_t end = std::min(bytes.find(separator, start), bytes.size());
        lines.push_back(bytes.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A small file of the process tree; empty when it cannot be read, as when the process is gone.
std::string ReadProcessFile(const fs::path& file)
{
    std::string bytes;
    bool more = false;
    wxString reason;
    ReadFileStart(Wide(file.string()), 65536, bytes, more, reason);
    return bytes;
}

// One "name = value" line of a server configuration file; false for blank and comment lines.
bool ParseSettingLine(const std::string& line, std::string& name, std::string& value)
{
    size_t i = 0;
    auto skipBlanks = [&]() {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
    };
    skipBlanks();
    const size_t start = i;
    while (i < line.size() && (std::isalnum(static_cast<unsigned char>(line[i])) || line[i] == '_' || line[i] == '.'))
        ++i;
    if (i == start)
        return false;
    name = line.substr(start, i - start);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    skipBlanks();
    if (i < line.size() && line[i] == '=')
        ++i;
    skipBlanks();
    value.clear();
    if (i < line.size() && line[i] == '\'') {
        for (++i; i < line.size(); ++i) {
            if (line[i] == '\'' && i + 1 < line.size() && line[i + 1] == '\'') {
                value += '\'';
                ++i;
            } else if (line[i] == '\\' && i + 1 < line.size()) {
                value += line[++i];
            } else if (line[i] == '\'') {
                return true;
            } else {
                value += line[i];
            }
        }
        return false; // unterminated: the server would refuse the file
    }
    while (i < line.size() && line[i] != '#' && !std::isspace(static_cast<unsigned char>(line[i])))
        value += line[i++];
    return true;
}

void ReadIncludedFolder(const fs::path& folder, int depth, ConfigurationReader& reader)
{
    std::error_code error;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 5 && name[0] != '.' && name.compare(name.size() - 5, 5, ".conf") == 0
            && entry.is_regular_file(error))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files)
        ReadSettings(file, depth, reader);
}

// The settings of a configuration file with its includes; the last occurrence wins, as in
// the server itself.
void ReadSettings(const fs::path& file, int depth, ConfigurationReader& reader)
{
    if (depth > includeDepthLimit)
        return;
    if (reader.filesLeft-- <= 0) {
        if (reader.filesLeft == -1)
            reader.warnings << file.string() << ": more than " << configurationFileBudget
                            << " configuration files are included; it and the rest are not read\n";
        return;
    }
    std::string bytes;
    if (!ReadDiscoveryFile(file, bytes, reader.warnings))
        return;
    for (const std::string& line : SplitLines(bytes)) {
        std::string name;
        std::string value;
        if (!ParseSettingLine(line, name, value))
            continue;
        const fs::path target = fs::path(value).is_absolute() ? fs::path(value) : file.parent_path() / value;
        if (name == "include" || name == "include_if_exists")
            ReadSettings(target, depth + 1, reader);
        else if (name == "include_dir")
            ReadIncludedFolder(target, depth + 1, reader);
        else
            reader.settings[name] = value;
    }
}

std::string AccountOwning(const std::string& path, bool& found)
{
    struct stat status;
    found = stat(path.c_str(), &status) == 0;
    if (!found)
        return std::string();
    if (const passwd* entry = getpwuid(status.st_uid))
        return entry->pw_name;
    return std::to_string(status.st_uid);
}

// Version folders in version order ("9.6" before "15"), then by name.
bool VersionBefore(const std::string& a, const std::string& b)
{
    const long majorA = std::strtol(a.c_str(), nullptr, 10);
    const long majorB = std::strtol(b.c_str(), nullptr, 10);
    if (majorA != majorB)
        return majorA < majorB;
    const size_t dotA = a.find('.');
    const size_t dotB = b.find('.');
    const long minorA = dotA == std::string::npos ? -1 : std::strtol(a.c_str() + dotA + 1, nullptr, 10);
    const long minorB = dotB == std::string::npos ? -1 : std::strtol(b.c_str() + dotB + 1, nullptr, 10);
    if (minorA != minorB)
        return minorA < minorB;
    return a < b;
}

std::vector<std::string> Subfolders(const fs::path& folder)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        if (entry.is_directory(error))
            names.push_back(entry.path().filename().string());
    return names;
}

// The subfolders named by a version number, in version order.
std::vector<std::string> VersionFolders(const fs::path& root)
{
    std::vector<std::string> versions = Subfolders(root);
    versions.erase(std::remove_if(versions.begin(), versions.end(),
                                  [](const std::string& name) { return !std::isdigit(static_cast<unsigned char>(name[0])); }),
                   versions.end());
    std::sort(versions.begin(), versions.end(), VersionBefore);
    return versions;
}

// One cluster found in a layout or running, before it becomes keys.
struct Cluster
{
    std::string serviceName;
    std::string version;    // "15", "9.6": the display name's
    std::string where;      // the display name's cluster name or data directory
    fs::path confFolder;    // the folder of its postgresql.conf: the record's data directory
    fs::path dataDirectory; // where PG_VERSION and postmaster.pid are
    fs::path baseDirectory; // <base>/bin/postgres runs it
    std::string productCode;
    long port = 5432; // 0: the configured one would be refused by the server too
    std::string locale;
    std::string encoding;
};

long PortSetting(const Settings& settings)
{
    const auto found = settings.find("port");
    if (found == settings.end())
        return 5432;
    char* end = nullptr;
    const std::string& text = found->second;
    const long port = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || port < 1 || port > 65535)
        return 0;
    return port;
}

// Port, locale and data directory from the cluster's configuration, read as the server
// reads it: postgresql.conf, then the data directory's postgresql.auto.conf.
void ReadConfiguration(Cluster& cluster, std::ostream& warnings)
{
    ConfigurationReader reader(warnings);
    Settings& settings = reader.settings;
    ReadSettings(cluster.confFolder / "postgresql.conf", 0, reader);
    if (settings.count("data_directory"))
        cluster.dataDirectory = settings["data_directory"];
    ReadSettings(cluster.dataDirectory / "postgresql.auto.conf", 0, reader);
    cluster.port = PortSetting(settings);
    // initdb records the locale it chose in the lc_* settings it writes.
    for (const char* name : {"lc_ctype", "lc_messages"})
        if (settings.count(name) && !settings[name].empty()) {
            cluster.locale = settings[name];
            break;
        }
}

// The quoted text after `marker` on a line of an initdb log.
std::string QuotedAfter(const std::string& line, const std::string& marker)
{
    const size_t at = line.find(marker);
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + marker.size();
    const size_t end = line.find('"', start);
    return end == std::string::npos ? std::string() : line.substr(start, end - start);
}

// The locale and encoding that initdb reported choosing, where the packaging kept its output.
void ReadInitdbLog(Cluster& cluster, const fs::path& log, std::ostream& warnings)
{
    std::string bytes;
    if (!ReadDiscoveryFile(log, bytes, warnings))
        return;
    for (const std::string& line : SplitLines(bytes)) {
        const std::string locale = QuotedAfter(line, "initialized with locale \"");
        if (!locale.empty())
            cluster.locale = locale;
        for (const char* marker : {"encoding has accordingly been set to \"", "encoding has been set to \""}) {
            const std::string encoding = QuotedAfter(line, marker);
            if (!encoding.empty())
                cluster.encoding = encoding;
        }
    }
}

bool HoldsConfiguration(const fs::path& folder)
{
    std::error_code error;
    return fs::is_regular_file(folder / "postgresql.conf", error);
}

void AddDebianClusters(const ServerLayouts& layouts, std::vector<Cluster>& clusters, std::ostream& warnings)
{
    const fs::path configurationRoot = Native(layouts.debianConfigurationRoot);
    for (const std::string& version : VersionFolders(configurationRoot)) {
        std::vector<std::string> names = Subfolders(configurationRoot / version);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            Cluster cluster;
            cluster.confFolder = configurationRoot / version / name;
            if (!HoldsConfiguration(cluster.confFolder))
                continue;
            cluster.serviceName = "postgresql@" + version + "-" + name;
            cluster.version = version;
            cluster.where = name;
            cluster.dataDirectory = "/var/lib/postgresql/" + version + "/" + name;
            cluster.baseDirectory = fs::path(Native(layouts.debianProgramRoot)) / version;
            cluster.productCode = "postgresql-" + version;
            ReadConfiguration(cluster, warnings);
            clusters.push_back(cluster);
        }
    }
}

// A cluster named after its data directory.
Cluster DataDirectoryCluster(const std::string& serviceName, const fs::path& dataDirectory, const fs::path& confFolder,
                             const fs::path& base, const std::string& productCode, const std::string& versionFallback,
                             std::ostream& warnings)
{
    Cluster cluster;
    cluster.serviceName = serviceName;
    cluster.dataDirectory = dataDirectory;
    cluster.confFolder = confFolder;
    const std::string version = Native(DataDirectoryVersion(Wide(dataDirectory.string())));
    cluster.version = version.empty() ? versionFallback : version;
    cluster.where = dataDirectory.string();
    cluster.baseDirectory = base;
    cluster.productCode = productCode;
    ReadConfiguration(cluster, warnings);
    return cluster;
}

// PGDG's <root>/<version>/data with /usr/pgsql-<version>, then the distribution's own
// <root>/data with the system's program.
void AddRedHatClusters(const ServerLayouts& layouts, std::vector<Cluster>& clusters, std::ostream& warnings)
{
    const fs::path root = Native(layouts.pgsqlRoot);
    for (const std::string& version : VersionFolders(root)) {
        if (!HoldsConfiguration(root / version / "data"))
            continue;
        Cluster cluster = DataDirectoryCluster("postgresql-" + version, root / version / "data", root / version / "data",
                                               Native(layouts.versionedProgramPrefix) + version, "pgsql-" + version, version,
                                               warnings);
        ReadInitdbLog(cluster, root / version / "initdb.log", warnings);
        clusters.push_back(cluster);
    }
    if (HoldsConfiguration(root / "data")) {
        const fs::path base = fs::path(Native(layouts.systemProgramFolder)).parent_path();
        Cluster cluster = DataDirectoryCluster("postgresql", root / "data", root / "data", base, "postgresql", "", warnings);
        for (const char* log : {"initdb_postgresql.log", "initdb.log"})
            ReadInitdbLog(cluster, root / log, warnings);
        clusters.push_back(cluster);
    }
}

void AddArchCluster(const ServerLayouts& layouts, std::vector<Cluster>& clusters, std::ostream& warnings)
{
    const fs::path data = Native(layouts.archDataDirectory);
    if (!HoldsConfiguration(data))
        return;
    const fs::path base = fs::path(Native(layouts.systemProgramFolder)).parent_path();
    clusters.push_back(DataDirectoryCluster("postgresql", data, data, base, "postgresql", "", warnings));
}

std::string ReadLink(const fs::path& link)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.string();
}

struct RunningServer
{
    fs::path dataDirectory;
    fs::path program;
    fs::path configurationFile; // empty: the data directory's postgresql.conf
    long port = 0;
};

// The configuration file a server was told to use on its command line, if any.
fs::path ConfigurationFileArgument(const fs::path& commandLine)
{
    const std::vector<std::string> arguments = SplitLines(ReadProcessFile(commandLine), '\0');
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string value = arguments[i];
        if (value == "-c" && i + 1 < arguments.size())
            value = arguments[++i];
        else if (value.rfind("--", 0) == 0)
            value = value.substr(2);
        std::replace(value.begin(), value.begin() + std::min(value.find('='), value.size()), '-', '_');
        if (value.rfind("config_file=", 0) == 0)
            return value.substr(12);
    }
    return fs::path();
}

// The one account a process runs as (real, effective, saved and file-system user the same);
// false when they differ or cannot be read.
bool ProcessAccount(const fs::path& process, uid_t& account)
{
    for (const std::string& line : SplitLines(ReadProcessFile(process / "status"))) {
        if (line.rfind("Uid:", 0) != 0)
            continue;
        std::istringstream fields(line.substr(4));
        long ids[4] = {-1, -1, -1, -1};
        fields >> ids[0] >> ids[1] >> ids[2] >> ids[3];
        if (!fields || ids[0] < 0 || ids[1] != ids[0] || ids[2] != ids[0] || ids[3] != ids[0])
            return false;
        account = static_cast<uid_t>(ids[0]);
        return true;
    }
    return false;
}

// Every postmaster of this machine that this user may look at and that the wizard may trust:
// a postgres process whose working directory (where the server puts itself: its data
// directory) holds a postmaster.pid naming it, and whose account owns that folder and is root
// or the database account of a packaged layout. Anyone can start a program called postgres
// in a folder of their own; such a server is left out. Children of a postmaster are not
// named in postmaster.pid.
std::vector<RunningServer> RunningServers(const fs::path& processRoot, const std::set<uid_t>& databaseAccounts,
                                          std::ostream& warnings)
{
    std::vector<std::pair<long, RunningServer>> found;
    std::map<std::string, std::vector<std::string>> pidFiles;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(processRoot, error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        const std::vector<std::string> command = SplitLines(ReadProcessFile(entry.path() / "comm"));
        if (command.empty() || (command[0] != "postgres" && command[0] != "postmaster"))
            continue;
        uid_t account = 0;
        struct stat folder;
        // The working directory is looked at through the process, not by a name that could
        // since have been made to point elsewhere.
        if (!ProcessAccount(entry.path(), account) || (account != 0 && databaseAccounts.count(account) == 0)
            || stat((entry.path() / "cwd").c_str(), &folder) != 0 || folder.st_uid != account)
            continue;
        const std::string workingDirectory = ReadLink(entry.path() / "cwd");
        if (workingDirectory.empty())
            continue;
        // A server's children share its folder: its postmaster.pid is read (and refused) once.
        auto pidFileOf = pidFiles.find(workingDirectory);
        if (pidFileOf == pidFiles.end()) {
            std::string pidBytes;
            ReadDiscoveryFile(fs::path(workingDirectory) / "postmaster.pid", pidBytes, warnings);
            pidFileOf = pidFiles.emplace(workingDirectory, SplitLines(pidBytes)).first;
        }
        const std::vector<std::string>& pidFile = pidFileOf->second;
        if (pidFile.size() < 4 || pidFile[0] != name)
            continue;
        RunningServer server;
        server.dataDirectory = workingDirectory;
        // The server's own spelling of its data directory, when it is the same folder.
        if (fs::path(pidFile[1]).is_absolute() && fs::equivalent(pidFile[1], workingDirectory, error) && !error)
            server.dataDirectory = pidFile[1];
        std::string program = ReadLink(entry.path() / "exe");
        const std::string replaced = " (deleted)";
        if (program.size() > replaced.size() && program.compare(program.size() - replaced.size(), replaced.size(), replaced) == 0)
            program.erase(program.size() - replaced.size());
        server.program = program;
        server.configurationFile = ConfigurationFileArgument(entry.path() / "cmdline");
        if (!server.configurationFile.empty() && server.configurationFile.is_relative())
            server.configurationFile = server.dataDirectory / server.configurationFile;
        char* end = nullptr;
        const long port = std::strtol(pidFile[3].c_str(), &end, 10);
        server.port = *end == '\0' && port >= 1 && port <= 65535 ? port : 0;
        found.emplace_back(std::strtol(name.c_str(), nullptr, 10), server);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<RunningServer> servers;
    for (auto& [pid, server] : found)
        servers.push_back(server);
    return servers;
}

// Running servers give their port to the packaged cluster of the same data directory, and
// are added as clusters of their own otherwise.
void AddRunningServers(const ServerLayouts& layouts, std::vector<Cluster>& clusters, std::ostream& warnings)
{
    // The database account of a packaged layout owns its clusters' configuration folders,
    // which the layout places where only root decides.
    std::set<uid_t> databaseAccounts;
    for (const Cluster& cluster : clusters) {
        struct stat folder;
        if (stat(cluster.confFolder.c_str(), &folder) == 0)
            databaseAccounts.insert(folder.st_uid);
    }
    for (const RunningServer& server : RunningServers(Native(layouts.processRoot), databaseAccounts, warnings)) {
        const auto same = std::find_if(clusters.begin(), clusters.end(), [&server](const Cluster& cluster) {
            std::error_code error;
            return fs::equivalent(cluster.dataDirectory, server.dataDirectory, error) && !error;
        });
        if (same != clusters.end()) {
            if (server.port != 0)
                same->port = server.port;
            continue;
        }
        // A configuration file of another name cannot be a record's: it is always postgresql.conf.
        if (!server.configurationFile.empty() && server.configurationFile.filename() != "postgresql.conf")
            continue;
        const fs::path base = server.program.parent_path().parent_path();
        const fs::path confFolder =
            server.configurationFile.empty() ? server.dataDirectory : server.configurationFile.parent_path();
        Cluster cluster = DataDirectoryCluster("postgres@" + server.dataDirectory.string(), server.dataDirectory,
                                               confFolder, base, "postgres@" + base.string(), "", warnings);
        cluster.dataDirectory = server.dataDirectory;
        if (server.port != 0)
            cluster.port = server.port;
        clusters.push_back(cluster);
    }
}

// The version of a cluster's installed server program: what the program reports when the
// wizard may run it, the layout's or data directory's version when it may not (it is then
// never started); none without a program.
wxString InstalledVersion(const Cluster& cluster)
{
    const wxString program = Wide((cluster.baseDirectory / "bin" / "postgres").string());
    if (!TrustedProgramPath(program).empty())
        return ServerProgramVersion(program);
    std::error_code error;
    return fs::is_regular_file(Native(program), error) ? Wide(cluster.version) : wxString();
}

} // namespace

void AddInstalledServers(RegFileRegistry& registry, const ServerLayouts& layouts, std::ostream& warnings)
{
    std::vector<Cluster> clusters;
    AddDebianClusters(layouts, clusters, warnings);
    AddRedHatClusters(layouts, clusters, warnings);
    AddArchCluster(layouts, clusters, warnings);
    AddRunningServers(layouts, clusters, warnings);

    const RegistryRoot machine = RegistryRoot::localMachine;
    std::set<std::string> serviceNames;
    std::set<std::string> productCodes;
    // Key names come from folder names: a backslash would split them into nested keys.
    const auto keyName = [](std::string name) {
        std::replace(name.begin(), name.end(), '\\', '/');
        return name;
    };
    for (const Cluster& cluster : clusters) {
        std::string serviceName = keyName(cluster.serviceName);
        if (!serviceNames.insert(serviceName).second) {
            serviceName += "@" + keyName(cluster.dataDirectory.string());
            serviceNames.insert(serviceName);
        }
        const wxString key = servicesKey + Wide(serviceName);
        registry.SetString(machine, key, wxT("Display Name"), Wide("PostgreSQL " + cluster.version + " (" + cluster.where + ")"));
        if (cluster.port != 0)
            registry.SetDword(machine, key, wxT("Port"), static_cast<std::uint32_t>(cluster.port));
        registry.SetString(machine, key, wxT("Data Directory"), Wide(cluster.confFolder.string()));
        bool owned = false;
        const std::string account = AccountOwning(cluster.dataDirectory.string(), owned);
        // initdb makes the account that runs it the superuser; packagers run it as postgres.
        registry.SetString(machine, key, wxT("Database Superuser"), owned ? Wide(account) : wxString(wxT("postgres")));
        if (owned)
            registry.SetString(machine, key, wxT("Service Account"), Wide(account));
        if (!cluster.encoding.empty())
            registry.SetString(machine, key, wxT("Encoding"), Wide(cluster.encoding));
        if (!cluster.locale.empty())
            registry.SetString(machine, key, wxT("Locale"), Wide(cluster.locale));
        const wxString productCode = Wide(keyName(cluster.productCode));
        registry.SetString(machine, key, wxT("Product Code"), productCode);

        if (productCodes.insert(keyName(cluster.productCode)).second) {
            const wxString serverVersion = InstalledVersion(cluster);
            if (!serverVersion.empty())
                registry.SetString(machine, installationsKey + productCode, wxT("Version"), serverVersion);
            registry.SetString(machine, installationsKey + productCode, wxT("Base Directory"),
                               Wide(cluster.baseDirectory.string()));
        }
    }
}
