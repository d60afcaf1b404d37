// The Windows sources of the machine facts: the disks under the data directory's volume and
// their seek penalty, the processors the server may use, and the free space of its WAL folder.
// Memory limits, huge pages and the build's features are not known here.
#include "tuning/machine_facts.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A volume spread over more disks than this is not one a server's data lives on.
const DWORD extentLimit = 32;

class OwnedHandle
{
public:
    explicit OwnedHandle(HANDLE handle) : handle(handle) {}
    ~OwnedHandle()
    {
        if (IsOpen())
            CloseHandle(handle);
    }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    bool IsOpen() const { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle; }

private:
    HANDLE handle;
};

// Opened for queries only: no access right is asked, so no administrator is needed.
HANDLE OpenForQueries(const std::wstring& device)
{
    return CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

enum class SeekPenalty { none, some, unknown };

SeekPenalty DiskSeekPenalty(DWORD disk)
{
    const OwnedHandle drive(OpenForQueries(L"\\\\.\\PhysicalDrive" + std::to_wstring(disk)));
    if (!drive.IsOpen())
        return SeekPenalty::unknown;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceSeekPenaltyProperty;
    query.QueryType = PropertyStandardQuery;
    DEVICE_SEEK_PENALTY_DESCRIPTOR penalty = {};
    DWORD returned = 0;
    if (!DeviceIoControl(drive.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &penalty, sizeof penalty,
                         &returned, nullptr)
        || returned < sizeof penalty)
        return SeekPenalty::unknown;
    return penalty.IncursSeekPenalty ? SeekPenalty::some : SeekPenalty::none;
}

Storage DetectStorage(const wxString& dataDirectory)
{
    wchar_t mountPoint[MAX_PATH + 1] = {};
    wchar_t volume[MAX_PATH + 1] = {};
    if (dataDirectory.empty() || !GetVolumePathNameW(dataDirectory.wc_str(), mountPoint, MAX_PATH + 1)
        || !GetVolumeNameForVolumeMountPointW(mountPoint, volume, MAX_PATH + 1))
        return Storage::unknown;
    std::wstring device = volume; // "\\?\Volume{...}\": the volume itself is without the last "\"
    if (!device.empty() && device.back() == L'\\')
        device.pop_back();
    const OwnedHandle opened(OpenForQueries(device));
    if (!opened.IsOpen())
        return Storage::unknown;
    std::vector<unsigned char> buffer(sizeof(VOLUME_DISK_EXTENTS) + extentLimit * sizeof(DISK_EXTENT));
    DWORD returned = 0;
    if (!DeviceIoControl(opened.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), &returned, nullptr)
        || returned < sizeof(VOLUME_DISK_EXTENTS))
        return Storage::unknown;
    const auto* extents = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    const DWORD count = std::min(extents->NumberOfDiskExtents, extentLimit);
    if (count == 0)
        return Storage::unknown;
    bool anyUnknown = false;
    for (DWORD i = 0; i < count; ++i) {
        switch (DiskSeekPenalty(extents->Extents[i].DiskNumber)) {
        case SeekPenalty::some:
            return Storage::hdd;
        case SeekPenalty::unknown:
            anyUnknown = true;
            break;
        case SeekPenalty::none:
            break;
        }
    }
    return anyUnknown ? Storage::unknown : Storage::ssd;
}

long CountBits(DWORD_PTR mask)
{
    long count = 0;
    for (; mask != 0; mask &= mask - 1)
        ++count;
    return count;
}

// The server's affinity, the wizard's when the server cannot be asked. A mask covers one
// processor group only; on a machine of several groups every active processor is counted.
std::optional<long> DetectProcessors(long serverProcess)
{
    if (GetActiveProcessorGroupCount() > 1)
        return static_cast<long>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
    DWORD_PTR processMask = 0;
    DWORD_PTR systemMask = 0;
    if (serverProcess > 0) {
        const OwnedHandle server(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(serverProcess)));
        if (server.IsOpen() && GetProcessAffinityMask(server.get(), &processMask, &systemMask) && processMask != 0)
            return CountBits(processMask);
    }
    if (GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask) && processMask != 0)
        return CountBits(processMask);
    const DWORD active = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return active > 0 ? std::optional<long>(static_cast<long>(active)) : std::nullopt;
}

std::optional<std::uint64_t> WalFreeMegabytes(const wxString& dataDirectory)
{
    if (dataDirectory.empty())
        return std::nullopt;
    // pg_xlog was renamed pg_wal in 10.
    for (const wchar_t* name : {L"pg_wal", L"pg_xlog"}) {
        const std::wstring folder = std::wstring(dataDirectory.wc_str()) + L"\\" + name;
        const DWORD attributes = GetFileAttributesW(folder.c_str());
        ULARGE_INTEGER available = {};
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
            && GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr))
            return static_cast<std::uint64_t>(available.QuadPart) >> 20;
    }
    return std::nullopt;
}

} // namespace

MachineFacts DetectMachineFacts(const FactsSubject& subject, const FactRoots&)
{
    MachineFacts facts;
    facts.cpus = DetectProcessors(subject.serverProcess > 0 ? subject.serverProcess
                                                            : RunningServerProcess(subject.dataDirectory));
    facts.storage = DetectStorage(subject.dataDirectory);
    facts.walFreeMb = WalFreeMegabytes(subject.dataDirectory);
    return facts;
}
