#include "installations/file_path.h"
#include "installations/server.h"

#include <gtest/gtest.h>

TEST(ServerTest, NewRecordIsEmpty)
{
    Server server;
    EXPECT_EQ(server.port, 0);
    EXPECT_EQ(server.versionNumber.major, 0);
    EXPECT_EQ(server.versionNumber.minor, 0);
    EXPECT_TRUE(server.GetConfFilePath().empty());
    for (const wxString& value : server.values)
        EXPECT_TRUE(value.empty());
}

TEST(ServerTest, ConfigurationFilePath)
{
    struct Case {
        const char* description;
        int port;
        const char* dataDirectory;
        const char* baseDirectory;
        const char* expected;
    };
    const Case cases[] = {
        {"discovered: data directory and file name", 5432, "/srv/data", "/usr/lib/postgresql/15", "/srv/data/postgresql.conf"},
        {"discovered: no doubled separator", 5432, "/srv/data/", "", "/srv/data/postgresql.conf"},
        {"hand-chosen: exactly the chosen path", 0, "/etc/pg/", "/etc/pg/custom.conf", "/etc/pg/custom.conf"},
        {"hand-chosen: nothing chosen", 0, "", "", ""},
    };
    // The cases are written with "/"; each platform joins with its own separator.
    const auto native = [](const char* path) {
        wxString text(path);
        text.Replace(wxT("/"), wxString(pathSeparator));
        return text;
    };
    for (const Case& c : cases) {
        Server server;
        server.port = c.port;
        server.dataDirectory = native(c.dataDirectory);
        server.baseDirectory = native(c.baseDirectory);
        EXPECT_EQ(server.GetConfFilePath(), native(c.expected)) << c.description;
    }
}

TEST(ServerTest, VersionNumbersFromText)
{
    struct Case {
        const char* text;
        int major;
        int minor;
    };
    const Case cases[] = {
        {"8.4", 8, 4}, {"8", 8, 0}, {"8.3.7", 8, 3}, {"9.0.1", 9, 0}, {"", 0, 0},
        {"15.18", 15, 18}, {" 10.2", 10, 2}, {"beta", 0, 0}, {"9.x", 9, 0}, {"12rc1.4", 12, 4},
        {"99999999999.1", 2147483647, 1},
    };
    for (const Case& c : cases) {
        Server server;
        server.SetVersion(c.text);
        EXPECT_EQ(server.version, wxString(c.text));
        EXPECT_EQ(server.versionNumber.major, c.major) << "version text '" << c.text << "'";
        EXPECT_EQ(server.versionNumber.minor, c.minor) << "version text '" << c.text << "'";
    }
}
