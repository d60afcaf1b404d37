// Prints how long the installation layer takes: reading a large registry export, files
// made to be slow (one key with 100,000 values, 50,000 key removals, a key nested a million
// levels deep), the discovery walk over it, this machine's registry with its packaged clusters, and the
// configuration file's access test and rights.
#include "installations/discovery.h"
#include "installations/registry_layouts.h"
#include "installations/registry_reg_file.h"
#include "installations/server.h"

#include <wx/init.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Milliseconds(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Processor time of this process, which a busy machine does not stretch.
double ProcessorMilliseconds()
{
    return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

template <typename F>
double Median(int runs, F&& body)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        body();
        times.push_back(Milliseconds(start));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// A registry editor export (UTF-16LE) of `count` services in each view of a 64-bit machine.
std::string Export(int count)
{
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    for (const char* node : {"", "Wow6432Node\\"}) {
        for (int i = 0; i < count; ++i) {
            const std::string code = std::to_string(i);
            text += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(node) + "PostgreSQL\\Services\\pgsql-" + code +
                    "]\r\n\"Display Name\"=\"PostgreSQL 8.4 number " + code +
                    "\"\r\n\"Port\"=dword:00001538\r\n\"Data Directory\"=\"C:\\\\Program Files\\\\PostgreSQL\\\\8.4\\\\data" +
                    code + "\"\r\n\"Database Superuser\"=\"postgres\"\r\n\"Service Account\"=\"NT AUTHORITY\\\\NetworkService\"\r\n"
                    "\"Encoding\"=\"UTF8\"\r\n\"Locale\"=\"English_United States.1252\"\r\n"
                    "\"Branding\"=hex(2):25,00,50,00,52,00,4f,00,47,00,52,00,41,00,4d,00,46,00,49,00,4c,00,45,00,53,00,\\\r\n"
                    "  25,00,5c,00,50,00,6f,00,73,00,74,00,67,00,72,00,65,00,53,00,51,00,4c,00,00,00\r\n"
                    "\"Product Code\"=\"{" + code + "}\"\r\n"
                    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\" + std::string(node) + "PostgreSQL\\Installations\\{" + code +
                    "}]\r\n\"Version\"=\"8.4\"\r\n\"Base Directory\"=\"C:\\\\Program Files\\\\PostgreSQL\\\\8.4\"\r\n";
        }
    }
    std::vector<unsigned char> wide = Utf16FromText(wxString::FromUTF8(text.c_str()));
    wide.resize(wide.size() - 2);
    return "\xFF\xFE" + std::string(wide.begin(), wide.end());
}

} // namespace

int main()
{
    wxInitializer initializer;
    const int services = 1000;
    const std::string bytes = Export(services);
    std::ostringstream warnings;

    const double load = Median(9, [&] {
        RegFileRegistry registry(true);
        registry.LoadText(bytes, wxT("bench.reg"), warnings);
    });
    std::printf("read a %.1f MiB UTF-16LE export, %d services: %.1f ms (%.1f MiB/s)\n", bytes.size() / 1048576.0,
                2 * services, load, bytes.size() / 1048576.0 / (load / 1000.0));

    std::string values = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many]\r\n";
    for (int i = 0; i < 100000; ++i)
        values += "\"Value " + std::to_string(i) + "\"=dword:" + std::to_string(i % 10) + "\r\n";
    double processor = 0;
    const double manyValues = Median(3, [&] {
        const double start = ProcessorMilliseconds();
        RegFileRegistry registry;
        registry.LoadText(values, wxT("values.reg"), warnings);
        processor = ProcessorMilliseconds() - start;
    });
    std::printf("read one key with 100,000 values (%.1f MiB): %.1f ms (last run %.1f ms of processor time)\n",
                values.size() / 1048576.0, manyValues, processor);

    std::string removals = "Windows Registry Editor Version 5.00\r\n";
    for (int i = 0; i < 50000; ++i)
        removals += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Many\\Key " + std::to_string(i) + "]\r\n";
    for (int i = 0; i < 50000; ++i)
        removals += "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Many\\Key " + std::to_string(i) + "]\r\n";
    const double manyRemovals = Median(3, [&] {
        const double start = ProcessorMilliseconds();
        RegFileRegistry registry;
        registry.LoadText(removals, wxT("removals.reg"), warnings);
        processor = ProcessorMilliseconds() - start;
    });
    std::printf("read 50,000 keys, then remove them: %.1f ms (last run %.1f ms of processor time)\n", manyRemovals,
                processor);

    std::string deepKey = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 1000000; ++i)
        deepKey += "\\k";
    deepKey += "]\r\n";
    const double deep = Median(3, [&] {
        std::ostringstream refused;
        RegFileRegistry registry;
        registry.LoadText(deepKey, wxT("deep.reg"), refused);
    });
    std::printf("refuse one key nested 1,000,000 levels deep (%.1f MiB): %.1f ms\n", deepKey.size() / 1048576.0, deep);

    RegFileRegistry registry(true);
    registry.LoadText(bytes, wxT("bench.reg"), warnings);
    size_t listed = 0;
    const double walk = Median(9, [&] {
        listed = 0;
        DiscoverInstallations(registry, [&listed](const wxString&, Server* server) {
            ++listed;
            delete server;
        });
    });
    std::printf("discovery, two views, %zu listed: %.1f ms (%.1f us per service)\n", listed, walk,
                walk * 1000.0 / listed);

    const double machine = Median(5, [&] {
        std::ostringstream quiet;
        MachineRegistrySources sources;
        LoadMachineRegistry(sources, quiet);
    });
    std::printf("this machine's registry (packaged layouts and running servers, postgres --version once per "
                "program): %.1f ms\n", machine);

    // The walk over the processes alone: every layout root moved where nothing is.
    ServerLayouts processesOnly;
    for (wxString* root : {&processesOnly.debianConfigurationRoot, &processesOnly.debianProgramRoot,
                           &processesOnly.pgsqlRoot, &processesOnly.versionedProgramPrefix,
                           &processesOnly.archDataDirectory, &processesOnly.systemProgramFolder})
        *root = wxT("/nonexistent");
    const double processes = Median(9, [&] {
        RegFileRegistry running;
        std::ostringstream quiet;
        AddInstalledServers(running, processesOnly, quiet);
    });
    std::printf("running servers found through /proc: %.2f ms\n", processes);

    char folder[] = "/tmp/pelloran-bench-XXXXXX";
    if (!mkdtemp(folder))
        return 1;

    // Configuration files made to be costly: ten lines that include their own file, and a 1 GiB
    // sparse file; each read stops at the bounds.
    ServerLayouts hostile = processesOnly;
    hostile.debianConfigurationRoot = wxString::FromUTF8(folder) + wxT("/etc");
    const std::string loop = std::string(folder) + "/etc/15/loop";
    const std::string sparse = std::string(folder) + "/etc/15/sparse";
    std::system(("mkdir -p " + loop + " " + sparse + " && truncate -s 1G " + sparse + "/postgresql.conf").c_str());
    if (std::FILE* loopFile = std::fopen((loop + "/postgresql.conf").c_str(), "w")) {
        for (int i = 0; i < 10; ++i)
            std::fputs("include 'postgresql.conf'\n", loopFile);
        std::fclose(loopFile);
    }
    const double bounded = Median(5, [&] {
        RegFileRegistry registry;
        std::ostringstream quiet;
        AddInstalledServers(registry, hostile, quiet);
    });
    std::printf("an include loop and a 1 GiB sparse file, read to their bounds: %.1f ms\n", bounded);
    std::system(("rm -rf " + std::string(folder) + "/etc").c_str());
    const std::string conf = std::string(folder) + "/postgresql.conf";
    const std::string temporary = conf + ".tmp";
    std::FILE* file = std::fopen(conf.c_str(), "w");
    if (!file)
        return 1;
    std::fputs("port = 5432\n", file);
    std::fclose(file);
    std::system(("setfacl -m u:nobody:r,g:daemon:rw " + conf).c_str());
    Server server;
    server.baseDirectory = wxString::FromUTF8(conf.c_str());
    const int checks = 2000;
    const double check = Median(3, [&] {
        for (int i = 0; i < checks; ++i)
            server.CheckConfAccess();
    });
    std::printf("access test of a hand-chosen file with an ACL (rights read and written back): %.1f us\n",
                check * 1000.0 / checks);
    const double apply = Median(3, [&] {
        for (int i = 0; i < checks; ++i) {
            std::fclose(std::fopen(temporary.c_str(), "w"));
            server.ApplyFileSecurity(wxString::FromUTF8(temporary.c_str()));
            unlink(temporary.c_str());
        }
    });
    std::printf("rights given to a new file (create, apply, remove): %.1f us\n", apply * 1000.0 / checks);
    unlink(conf.c_str());
    rmdir(folder);
    return 0;
}
