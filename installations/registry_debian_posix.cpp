#include "installations/registry_debian.h"

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

} // namespace

void AddDebianClusters(RegFileRegistry& registry, const DebianLayout& layout)
{
    const fs::path configurationRoot = Native(layout.configurationRoot);
    const fs::path programRoot = Native(layout.programRoot);
    std::vector<std::string> versions = Subfolders(configurationRoot);
    versions.erase(std::remove_if(versions.begin(), versions.end(),
                                  [](const std::string& name) { return !std::isdigit(static_cast<unsigned char>(name[0])); }),
                   versions.end());
    std::sort(versions.begin(), versions.end(), VersionBefore);

    const RegistryRoot machine = RegistryRoot::localMachine;
    for (const std::string& version : versions) {
        std::vector<std::string> clusters = Subfolders(configurationRoot / version);
        std::sort(clusters.begin(), clusters.end());
        const wxString productCode = Wide("postgresql-" + version);
        bool installationMade = false;
        for (const std::string& cluster : clusters) {
            const fs::path folder = configurationRoot / version / cluster;
            std::error_code error;
            if (!fs::is_regular_file(folder / "postgresql.conf", error))
                continue;
            Settings settings;
            ReadSettings(folder / "postgresql.conf", 0, settings);

            const wxString key = servicesKey + Wide("postgresql@" + version + "-" + cluster);
            registry.SetString(machine, key, wxT("Display Name"), Wide("PostgreSQL " + version + " (" + cluster + ")"));
            long port = 5432;
            if (settings.count("port")) {
                char* end = nullptr;
                const std::string& text = settings["port"];
                port = std::strtol(text.c_str(), &end, 10);
                if (text.empty() || *end != '\0' || port < 1 || port > 65535)
                    port = 0; // the server would not start with it either: no port value
            }
            if (port != 0)
                registry.SetDword(machine, key, wxT("Port"), static_cast<std::uint32_t>(port));
            registry.SetString(machine, key, wxT("Data Directory"), Wide(folder.string()));
            registry.SetString(machine, key, wxT("Database Superuser"), wxT("postgres"));
            const std::string dataDirectory = settings.count("data_directory")
                                                  ? settings["data_directory"]
                                                  : "/var/lib/postgresql/" + version + "/" + cluster;
            bool owned = false;
            const std::string account = AccountOwning(dataDirectory, owned);
            if (owned)
                registry.SetString(machine, key, wxT("Service Account"), Wide(account));
            registry.SetString(machine, key, wxT("Product Code"), productCode);

            if (!installationMade) {
                installationMade = true;
                const fs::path base = programRoot / version;
                const wxString serverVersion = ServerProgramVersion(Wide((base / "bin" / "postgres").string()));
                if (!serverVersion.empty())
                    registry.SetString(machine, installationsKey + productCode, wxT("Version"), serverVersion);
                registry.SetString(machine, installationsKey + productCode, wxT("Base Directory"), Wide(base.string()));
            }
        }
    }
}
