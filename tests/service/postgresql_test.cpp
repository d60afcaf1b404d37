// Every set of values the service returns for PostgreSQL 15 is one that PostgreSQL 15 takes:
// written into the postgresql.conf of a data directory made by initdb, each value reads back
// through "postgres -C" as written, without a configuration error. Real PostgreSQL 15; the
// server runs as an ordinary user because it refuses to run as root.
#include "service_process.h"

#include "tuning/http_transport.h"

#include "../support/program_run.h"
#include "../support/temp_dir.h"
#include "../support/test_account.h"
#include "../tuning/loopback_https.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

namespace {

const std::string postgresBin = "/usr/lib/postgresql/15/bin/";
const char* const checkUser = "pelloran-check";

// The command, run as the ordinary user when this test runs as root.
std::vector<std::string> AsChecker(std::vector<std::string> command)
{
    if (geteuid() != 0)
        return command;
    std::vector<std::string> wrapped = {"setpriv", std::string("--reuid=") + checkUser,
                                        std::string("--regid=") + checkUser, "--clear-groups", "--"};
    wrapped.insert(wrapped.end(), command.begin(), command.end());
    return wrapped;
}

// What "postgres -C" shows for `value`: memory in the parameter's own unit (8kB blocks or
// kB), times in seconds, everything else as written.
std::string Shown(const std::string& name, const std::string& value)
{
    static const std::set<std::string> blocks = {"shared_buffers", "wal_buffers", "effective_cache_size"};
    static const std::set<std::string> kilobytes = {"work_mem", "maintenance_work_mem"};
    if (blocks.count(name) || kilobytes.count(name)) {
        std::size_t end = 0;
        const unsigned long long number = std::stoull(value, &end);
        const std::string unit = value.substr(end);
        const unsigned long long kb = unit == "GB" ? number * 1024 * 1024 : unit == "MB" ? number * 1024 : number;
        EXPECT_TRUE(unit == "GB" || unit == "MB" || unit == "kB") << name << " = " << value;
        if (blocks.count(name)) {
            EXPECT_EQ(kb % 8, 0u) << name << " = " << value << " is not a whole number of 8kB blocks";
            return std::to_string(kb / 8);
        }
        return std::to_string(kb);
    }
    if (name == "autovacuum_naptime")
        return value == "1min" ? "60" : value;
    return value;
}

bool SameSetting(const std::string& shown, const std::string& expected)
{
    if (shown == expected)
        return true;
    char* end1 = nullptr;
    char* end2 = nullptr;
    const double a = std::strtod(shown.c_str(), &end1);
    const double b = std::strtod(expected.c_str(), &end2);
    return *end1 == '\0' && *end2 == '\0' && !shown.empty() && std::fabs(a - b) < 1e-9; // "4" and "4.0"
}

TEST(PostgreSql15, AcceptsEveryValueTheServiceReturns)
{
    if (access((postgresBin + "postgres").c_str(), X_OK) != 0)
        GTEST_SKIP() << "PostgreSQL 15 is not installed (postgresql-15)";
    uid_t checkUid = 0;
    gid_t checkGid = 0;
    std::string missing;
    if (geteuid() == 0)
        ASSERT_TRUE(LookUpTestAccount(checkUser, checkUid, checkGid, missing)) << missing;

    TempDir folder;
    chmod(folder.path().c_str(), 0755);
    const std::string cluster = folder.file("cluster");
    mkdir(cluster.c_str(), 0755);
    if (geteuid() == 0) {
        ASSERT_EQ(RunProgram({"chown", std::string(checkUser) + ":" + checkUser, cluster}).exitCode, 0);
    }
    const std::string data = cluster + "/data";
    const ProgramResult init =
        RunProgram(AsChecker({postgresBin + "initdb", "-D", data, "-A", "trust", "--no-sync"}), ProgramOptions{{}, {}, "", "/", 120});
    ASSERT_EQ(init.exitCode, 0) << init.standardError;
    const std::string conf = data + "/postgresql.conf";
    const std::string original = ReadFileBytes(conf);

    const Certificate certificate = MakeCertificate(folder.path(), "localhost");
    setenv(caFileVariable, certificate.certificateFile.c_str(), 1);
    ServiceProcess service({"--listen", "127.0.0.1:0", "--cert", certificate.certificateFile, "--key",
                            certificate.keyFile, "--access-log", "/dev/null"},
                           folder.file("service.err"));
    ASSERT_TRUE(service.Ready()) << ReadFileBytes(folder.file("service.err"));

    std::set<std::pair<std::string, std::string>> checked;
    int sets = 0;
    for (unsigned long long megabytes = 512; megabytes <= 1024ULL * 1024; megabytes *= 2)
        for (const char* usage : {"33", "66", "100"})
            for (const char* bits : {"64", "32"}) {
                const std::string id = "pg-" + std::to_string(megabytes) + "-" + usage + "-" + bits;
                const std::string what = std::to_string(megabytes) + " MB, usage " + usage + ", " + bits + "-bit";
                auto proxy = MakeClient(service.Endpoint());
                Params announcement(Announcement(id, "15.18", "Linux", usage));
                char* verdict = nullptr;
                ASSERT_EQ(proxy->validateUser(announcement.get(), &verdict), SOAP_OK);
                ASSERT_STREQ(verdict, "0");
                Params request(ValuesRequestTexts(id, usage, std::to_string(megabytes), bits));
                ns2__getQuorvelInfoResponse response;
                ASSERT_EQ(proxy->getQuorvelInfo(request.get(), response), SOAP_OK) << what;
                const auto pairs = DecodePairs(response);
                ASSERT_EQ(pairs.size(), 17u);

                std::string block = "\n# values of the tuning service\n";
                for (const auto& [name, value] : pairs)
                    if (!value.empty())
                        block += name + " = " + value + "\n";
                WriteFileBytes(conf, original + block);
                ++sets;

                bool first = true; // every set is read at least once; each value once overall
                for (const auto& [name, value] : pairs) {
                    if (value.empty() || (!first && checked.count({name, value})))
                        continue;
                    first = false;
                    checked.insert({name, value});
                    const ProgramResult shown =
                        RunProgram(AsChecker({postgresBin + "postgres", "-D", data, "-C", name}), ProgramOptions{{}, {}, "", "/", 60});
                    ASSERT_EQ(shown.exitCode, 0) << what << ": " << name << " = " << value << "\n" << shown.standardError;
                    std::string line = shown.standardOutput;
                    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                        line.pop_back();
                    EXPECT_TRUE(SameSetting(line, Shown(name, value)))
                        << what << ": " << name << " = " << value << " shows as " << line;
                }
            }
    EXPECT_EQ(sets, 72);
    unsetenv(caFileVariable);
}

} // namespace
