// The server's own program judges the file before it is saved: a value beyond the 17 it
// refuses is left out, a refused one of the 17 stops the save, an untrusted program is not run.
#include "conf/configuration_file.h"
#include "conf/server_check.h"
#include "installations/server.h"
#include "tests/conf/conf_test_support.h"
#include "tests/support/program_run.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

namespace {

const std::string bin = "/usr/lib/postgresql/15/bin/";

struct Judged
{
    bool saved = false;
    ServerCheckOutcome outcome;
    wxString error;
};

// The save sequence of the review page: the server's check, the backup, the file.
Judged CheckAndSave(Server& server, const std::string& conf)
{
    Judged result;
    const wxString path = wxString::FromUTF8(conf);
    const wxDateTime now = wxDateTime::Now();
    auto merge = [&](MergedLines& merged) {
        return MergeConfigurationFile(server, path, now, nullptr, merged, result.error);
    };
    if (!JudgeByServer(server, path, merge, result.outcome, result.error))
        return result;
    bool written = false;
    MergedLines merged;
    result.saved = WriteBackupFile(server, path, path + wxT(".20260102030405"), written, result.error) &&
                   merge(merged) && WriteConfigurationFile(server, path, std::move(merged), NoteTimeStamp(now), result.error);
    return result;
}

} // namespace

TEST(ServerCheckTest, ReadsTheServersOwnWords)
{
    const std::vector<ServerRefusal> refusals = ReadServerRefusals(
        "2026-12-10 07:37:38.929 UTC [28445] LOG:  5000 is outside the valid range for parameter "
        "\"effective_io_concurrency\" (0 .. 1000)\n"
        "2026-12-10 07:37:38.929 UTC [28445] FATAL:  configuration file \"/x/c.conf\" contains errors\n");
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].name, wxT("effective_io_concurrency"));
    EXPECT_EQ(refusals[0].message,
              wxT("5000 is outside the valid range for parameter \"effective_io_concurrency\" (0 .. 1000)"));
    const std::vector<ServerRefusal> unnamed = ReadServerRefusals("x FATAL:  could not open directory\n");
    ASSERT_EQ(unnamed.size(), 1u);
    EXPECT_EQ(unnamed[0].name, wxString());
    EXPECT_EQ(unnamed[0].message, wxT("could not open directory"));
}

TEST(ServerCheckTest, PostgreSqlJudgesTheFileBeforeItIsSaved)
{
    if (!std::filesystem::exists(bin + "initdb"))
        GTEST_SKIP() << "PostgreSQL 15 is not installed (package postgresql-15)";
    const OrdinaryUser& user = TestUser();
    if (!user.available)
        GTEST_SKIP() << user.why;
    TempDir folder;
    chmod(folder.path().c_str(), 0755);
    const std::string data = folder.file("data");
    ASSERT_TRUE(MakeClusterFolder(user, data));
    auto run = [&](std::vector<std::string> command) { return RunAsClusterOwner(user, std::move(command)); };
    ASSERT_EQ(run({bin + "initdb", "-D", data, "-A", "trust", "-U", "postgres", "--no-sync", "--no-instructions",
                   "-E", "UTF8", "--locale=C"})
                  .exitCode,
              0);
    const std::string conf = data + "/postgresql.conf";
    const std::string initdbFile = ReadFileBytes(conf);
    auto record = [&](Server& server, const std::string& programFolder) {
        server.port = 5432;
        server.baseDirectory = wxString::FromUTF8(programFolder);
        server.dataDirectory = wxString::FromUTF8(data);
        server.SetVersion("15");
        server.values[workMemIndex] = wxT("8MB");
        server.reasons[workMemIndex] = wxT("8 GB of memory");
        server.extensionSettings = {
            {wxT("effective_io_concurrency"), wxT("5000"), wxT("SSD storage"), false},
            {wxT("max_parallel_workers"), wxT("6"), wxT("8 processors"), false},
            {wxT("max_worker_processes"), wxT("10"), wxT("8 processors"), true},
        };
    };
    auto shown = [&](const char* name) { return run({bin + "postgres", "-D", data, "-C", name}).standardOutput; };

    {
        SCOPED_TRACE("a refused value beyond the 17 is left out, the rest saved and taken");
        WriteFileBytes(conf, initdbFile);
        Server server;
        record(server, "/usr/lib/postgresql/15");
        const Judged judged = CheckAndSave(server, conf);
        ASSERT_TRUE(judged.saved) << judged.error.utf8_string();
        EXPECT_TRUE(judged.outcome.checked);
        EXPECT_EQ(judged.outcome.dropped, std::vector<wxString>{wxT("effective_io_concurrency")});
        ASSERT_EQ(server.dropped.size(), 1u);
        EXPECT_EQ(server.dropped[0].text,
                  wxT("5000 is outside the valid range for parameter \"effective_io_concurrency\" (0 .. 1000)"));
        const std::string saved = ReadFileBytes(conf);
        EXPECT_EQ(saved.find("\neffective_io_concurrency = 5000"), std::string::npos);
        EXPECT_NE(saved.find("# Reason: 8 processors (takes effect after a restart)\r\nmax_worker_processes = 10"),
                  std::string::npos);
        EXPECT_NE(saved.find("# Reason: 8 GB of memory\r\nwork_mem = 8MB"), std::string::npos);
        EXPECT_EQ(shown("max_parallel_workers"), "6\n");
        EXPECT_EQ(shown("max_worker_processes"), "10\n");
        EXPECT_EQ(shown("work_mem"), "8192\n");
        std::vector<std::string> leftBehind;
        for (const auto& entry : std::filesystem::directory_iterator(data))
            if (entry.path().filename().string().rfind(".pelloran-check", 0) == 0)
                leftBehind.push_back(entry.path());
        EXPECT_TRUE(leftBehind.empty()) << "the candidate is removed";
        const ProgramResult started = run({bin + "pg_ctl", "-D", data, "-l", data + "/server.log", "-w", "-t", "60",
                                           "-o", "-c listen_addresses='' -k " + data, "start"});
        EXPECT_EQ(started.exitCode, 0) << started.standardOutput << ReadFileBytes(data + "/server.log");
        if (started.exitCode == 0) {
            const ProgramResult showSql = run({bin + "psql", "-h", data, "-U", "postgres", "-At", "-c",
                                               "SHOW max_parallel_workers", "-c", "SHOW max_worker_processes"});
            EXPECT_EQ(showSql.standardOutput, "6\n10\n") << showSql.standardError;
            EXPECT_EQ(run({bin + "pg_ctl", "-D", data, "-m", "fast", "-w", "stop"}).exitCode, 0);
        }
        std::filesystem::remove(conf + ".20260102030405");
    }
    {
        SCOPED_TRACE("a refused one of the 17 stops the save with the server's words, and nothing changes");
        WriteFileBytes(conf, initdbFile);
        const auto before = FolderSnapshot(data);
        Server server;
        record(server, "/usr/lib/postgresql/15");
        server.values[workMemIndex] = wxT("10kB");
        const Judged judged = CheckAndSave(server, conf);
        EXPECT_FALSE(judged.saved);
        EXPECT_NE(judged.error.Find(wxT("10 kB is outside the valid range for parameter \"work_mem\"")), wxNOT_FOUND)
            << judged.error.utf8_string();
        EXPECT_EQ(FolderSnapshot(data), before);
    }
    {
        SCOPED_TRACE("a program another account could replace is not run; the save goes on, told so");
        TempDir programs;
        std::filesystem::create_directories(programs.file("bin"));
        std::filesystem::copy_file(bin + "postgres", programs.file("bin/postgres"));
        chmod(programs.file("bin/postgres").c_str(), 0775);
        WriteFileBytes(conf, initdbFile);
        Server server;
        record(server, programs.path());
        server.extensionSettings.erase(server.extensionSettings.begin());
        const Judged judged = CheckAndSave(server, conf);
        EXPECT_TRUE(judged.saved) << judged.error.utf8_string();
        EXPECT_FALSE(judged.outcome.checked);
        EXPECT_TRUE(judged.outcome.notice.StartsWith(wxT("The server did not check the new configuration file: ")))
            << judged.outcome.notice.utf8_string();
        EXPECT_EQ(ServerCheckUnavailable(server, wxString::FromUTF8(conf)),
                  judged.outcome.notice.Mid(wxString(wxT("The server did not check the new configuration file: ")).length()));
    }
}
