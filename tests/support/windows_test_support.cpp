#include "tests/support/windows_test_support.h"

#include <windows.h>
#include <sddl.h>

#include <vector>

int RunCommandLine(const std::wstring& commandLine)
{
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        return -1;
    CloseHandle(process.hThread);
    DWORD exitCode = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.hProcess, &exitCode))
        exitCode = static_cast<DWORD>(-1);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

std::wstring TestProgramFolder()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            const std::wstring path(buffer.data(), length);
            return path.substr(0, path.find_last_of(L"\\/"));
        }
        buffer.resize(buffer.size() * 2);
    }
}

const char* const restrictedDacl = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

std::string DaclText(const std::string& path)
{
    DWORD needed = 0;
    GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    std::vector<char> descriptor(needed);
    if (needed == 0 || !GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.data(), needed, &needed))
        return "unreadable";
    char* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorA(descriptor.data(), SDDL_REVISION_1,
                                                              DACL_SECURITY_INFORMATION, &text, nullptr))
        return "unconvertible";
    std::string result(text);
    LocalFree(text);
    return result;
}

bool EveryoneMayRead(const std::string& path)
{
    return DaclText(path).find(";;;WD)") != std::string::npos;
}

bool SetDacl(const std::string& path, const char* sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr))
        return false;
    const BOOL set = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return set != FALSE;
}
