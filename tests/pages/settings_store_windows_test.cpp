// The proxy settings in the registry: HKEY_CURRENT_USER\Software\PostgreSQL\Pelloran, two
// REG_SZ values, read as stored.
#include "pages/proxy_settings.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

const wchar_t* const storeKey = L"Software\\PostgreSQL\\Pelloran";

void DeleteStore()
{
    RegDeleteKeyW(HKEY_CURRENT_USER, storeKey);
}

// The value's type and text as the registry holds them; empty type when it is missing.
std::pair<DWORD, std::wstring> Stored(const wchar_t* name)
{
    wchar_t text[256] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    if (RegGetValueW(HKEY_CURRENT_USER, storeKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, text, &size) != ERROR_SUCCESS)
        return {0, L""};
    return {type, text};
}

void Store(const wchar_t* name, const std::wstring& text)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, storeKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

class SettingsStoreWindowsTest : public testing::Test
{
protected:
    void SetUp() override { DeleteStore(); }
    void TearDown() override { DeleteStore(); }
};

} // namespace

TEST_F(SettingsStoreWindowsTest, WrittenAsTwoStringValuesOfTheUsersKey)
{
    ASSERT_TRUE(WriteProxySettings(wxT("proxy1"), wxT("8080")));
    EXPECT_EQ(Stored(L"HTTP proxy host"), std::make_pair(DWORD(REG_SZ), std::wstring(L"proxy1")));
    EXPECT_EQ(Stored(L"HTTP proxy port"), std::make_pair(DWORD(REG_SZ), std::wstring(L"8080")));

    ASSERT_TRUE(WriteProxySettings(wxT(""), wxT("")));
    EXPECT_EQ(Stored(L"HTTP proxy host"), std::make_pair(DWORD(REG_SZ), std::wstring()));
    EXPECT_EQ(Stored(L"HTTP proxy port"), std::make_pair(DWORD(REG_SZ), std::wstring()));
}

TEST_F(SettingsStoreWindowsTest, ReadAsStored)
{
    struct Case {
        const char* description;
        const wchar_t* host; // null: no such value
        const wchar_t* port;
        const wchar_t* expectedHost;
        const wchar_t* expectedPort;
    };
    const Case cases[] = {
        {"no key", nullptr, nullptr, L"", L""},
        {"a port without a host", nullptr, L"3128", L"", L"3128"},
        {"references stay as typed", L"%USERDOMAIN%", L"80", L"%USERDOMAIN%", L"80"},
    };
    for (const Case& c : cases) {
        DeleteStore();
        if (c.host)
            Store(L"HTTP proxy host", c.host);
        if (c.port)
            Store(L"HTTP proxy port", c.port);
        wxString host = wxT("stale"), port = wxT("stale");
        ReadProxySettings(host, port);
        EXPECT_EQ(host, wxString(c.expectedHost)) << c.description;
        EXPECT_EQ(port, wxString(c.expectedPort)) << c.description;
    }
}
