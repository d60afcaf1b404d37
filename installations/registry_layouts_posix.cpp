#include "installations/registry_layouts.h"

#include "installations/registry_reg_file.h"
#include "installations/server_program.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const wxChar* const servicesKey = wxT("SOFTWARE\\PostgreSQL\\Services\\");
const wxChar* const installationsKey = wxT("SOFTWARE\\PostgreSQL\\Installations\\");
const int includeDepthLimit = 10;

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

void ReadSettings(const fs::path& file, int depth, Settings& settings);

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

void ReadIncludedFolder(const fs::path& folder, int depth, Settings& settings)
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
        ReadSettings(file, depth, settings);
}

// The settings of a configuration file with its includes; the last occurrence wins, as in
// the server itself.
void ReadSettings(const fs::path& file, int depth, Settings& settings)
{
    if (depth > includeDepthLimit)
        return;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::string name;
        std::string value;
        if (!ParseSettingLine(line, name, value))
            continue;
        const fs::path target = fs::path(value).is_absolute() ? fs::path(value) : file.parent_path() / value;
        if (name == "include" || name == "include_if_exists")
            ReadSettings(target, depth + 1, settings);
        else if (name == "include_dir")
            ReadIncludedFolder(target, depth + 1, settings);
        else
            settings[name] = value;
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
void ReadConfiguration(Cluster& cluster)
{
    Settings settings;
    ReadSettings(cluster.confFolder / "postgresql.conf", 0, settings);
    if (settings.count("data_directory"))
        cluster.dataDirectory = settings["data_directory"];
    ReadSettings(cluster.dataDirectory / "postgresql.auto.conf", 0, settings);
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
void ReadInitdbLog(Cluster& cluster, const fs::path& log)
{
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
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

void AddDebianClusters(const ServerLayouts& layouts, std::vector<Cluster>& clusters)
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
            ReadConfiguration(cluster);
            clusters.push_back(cluster);
        }
    }
}

// A cluster named after its data directory.
Cluster DataDirectoryCluster(const std::string& serviceName, const fs::path& dataDirectory, const fs::path& confFolder,
                             const fs::path& base, const std::string& productCode, const std::string& versionFallback)
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
    ReadConfiguration(cluster);
    return cluster;
}

// PGDG's <root>/<version>/data with /usr/pgsql-<version>, then the distribution's own
// <root>/data with the system's program.
void AddRedHatClusters(const ServerLayouts& layouts, std::vector<Cluster>& clusters)
{
    const fs::path root = Native(layouts.pgsqlRoot);
    for (const std::string& version : VersionFolders(root)) {
        if (!HoldsConfiguration(root / version / "data"))
            continue;
        Cluster cluster = DataDirectoryCluster("postgresql-" + version, root / version / "data", root / version / "data",
                                               Native(layouts.versionedProgramPrefix) + version, "pgsql-" + version, version);
        ReadInitdbLog(cluster, root / version / "initdb.log");
        clusters.push_back(cluster);
    }
    if (HoldsConfiguration(root / "data")) {
        const fs::path base = fs::path(Native(layouts.systemProgramFolder)).parent_path();
        Cluster cluster = DataDirectoryCluster("postgresql", root / "data", root / "data", base, "postgresql", "");
        for (const char* log : {"initdb_postgresql.log", "initdb.log"})
            ReadInitdbLog(cluster, root / log);
        clusters.push_back(cluster);
    }
}

void AddArchCluster(const ServerLayouts& layouts, std::vector<Cluster>& clusters)
{
    const fs::path data = Native(layouts.archDataDirectory);
    if (!HoldsConfiguration(data))
        return;
    const fs::path base = fs::path(Native(layouts.systemProgramFolder)).parent_path();
    clusters.push_back(DataDirectoryCluster("postgresql", data, data, base, "postgresql", ""));
}

std::vector<std::string> ReadLines(const fs::path& file)
{
    std::vector<std::string> lines;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
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
    std::ifstream in(commandLine, std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    while (std::getline(in, argument, '\0'))
        arguments.push_back(argument);
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

// Every postmaster of this machine that this user may look at: a postgres process whose
// working directory (where the server puts itself: its data directory) holds a
// postmaster.pid naming it. Children of a postmaster are not named there.
std::vector<RunningServer> RunningServers(const fs::path& processRoot)
{
    std::vector<std::pair<long, RunningServer>> found;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(processRoot, error)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }))
            continue;
        const std::vector<std::string> command = ReadLines(entry.path() / "comm");
        if (command.empty() || (command[0] != "postgres" && command[0] != "postmaster"))
            continue;
        const std::string workingDirectory = ReadLink(entry.path() / "cwd");
        if (workingDirectory.empty())
            continue;
        const std::vector<std::string> pidFile = ReadLines(fs::path(workingDirectory) / "postmaster.pid");
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
void AddRunningServers(const ServerLayouts& layouts, std::vector<Cluster>& clusters)
{
    for (const RunningServer& server : RunningServers(Native(layouts.processRoot))) {
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
                                               confFolder, base, "postgres@" + base.string(), "");
        cluster.dataDirectory = server.dataDirectory;
        if (server.port != 0)
            cluster.port = server.port;
        clusters.push_back(cluster);
    }
}

} // namespace

void AddInstalledServers(RegFileRegistry& registry, const ServerLayouts& layouts)
{
    std::vector<Cluster> clusters;
    AddDebianClusters(layouts, clusters);
    AddRedHatClusters(layouts, clusters);
    AddArchCluster(layouts, clusters);
    AddRunningServers(layouts, clusters);

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
            const wxString serverVersion = ServerProgramVersion(Wide((cluster.baseDirectory / "bin" / "postgres").string()));
            if (!serverVersion.empty())
                registry.SetString(machine, installationsKey + productCode, wxT("Version"), serverVersion);
            registry.SetString(machine, installationsKey + productCode, wxT("Base Directory"),
                               Wide(cluster.baseDirectory.string()));
        }
    }
}
