// The Linux facts on fixture trees standing in for /sys, /proc and the cgroup mounts.
#include "tuning/machine_facts.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>

namespace fs = std::filesystem;

namespace {

class FactTree
{
public:
    FactTree()
    {
        roots.proc = dir.file("proc");
        roots.sys = dir.file("sys");
        roots.cgroup = dir.file("cgroup");
        subject.dataDirectory = wxString::FromUTF8(dir.file("data"));
        fs::create_directories(dir.file("data"));
    }

    void File(const std::string& name, const std::string& bytes)
    {
        fs::create_directories(fs::path(dir.file(name)).parent_path());
        WriteFileBytes(dir.file(name), bytes);
    }

    // A block device under sys/devices; `rotational` empty for a partition, which has no queue.
    std::string Device(const std::string& name, const std::string& rotational)
    {
        const std::string folder = "sys/devices/" + name;
        fs::create_directories(dir.file(folder));
        if (!rotational.empty())
            File(folder + "/queue/rotational", rotational + "\n");
        return folder;
    }

    void Slave(const std::string& device, const std::string& slave)
    {
        fs::create_directories(dir.file(device + "/slaves"));
        fs::create_directory_symlink(dir.file(slave), dir.file(device + "/slaves/" + fs::path(slave).filename().string()));
    }

    // Makes the data directory's device number lead to `device`, as /sys/dev/block does.
    void DataOn(const std::string& device)
    {
        struct stat status;
        ASSERT_EQ(stat(dir.file("data").c_str(), &status), 0);
        fs::create_directories(dir.file("sys/dev/block"));
        fs::create_directory_symlink(
            dir.file(device),
            dir.file("sys/dev/block/" + std::to_string(major(status.st_dev)) + ":" + std::to_string(minor(status.st_dev))));
    }

    MachineFacts Detect() const { return DetectMachineFacts(subject, roots); }

    TempDir dir;
    FactRoots roots;
    FactsSubject subject;
};

long AffinityOfThisProcess()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    return sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
}

} // namespace

TEST(MachineFactsLinux, StorageOfTheDataDirectorysDevice)
{
    struct Case
    {
        const char* what;
        std::function<std::string(FactTree&)> build; // gives the data directory's device
        Storage expected;
    };
    const Case cases[] = {
        {"a partition of a solid-state disk",
         [](FactTree& t) { t.Device("block/sda", "0"); return t.Device("block/sda/sda1", ""); }, Storage::ssd},
        {"a partition of a rotating disk",
         [](FactTree& t) { t.Device("block/sda", "1"); return t.Device("block/sda/sda2", ""); }, Storage::hdd},
        {"NVMe",
         [](FactTree& t) { t.Device("block/nvme0n1", "0"); return t.Device("block/nvme0n1/nvme0n1p2", ""); }, Storage::ssd},
        {"device-mapper over a solid-state and a rotating disk",
         [](FactTree& t) {
             t.Device("block/sda", "0");
             t.Device("block/sdb", "1");
             const std::string dm = t.Device("virtual/block/dm-0", "0"); // dm itself claims not to rotate
             t.Slave(dm, "sys/devices/block/sda");
             t.Slave(dm, "sys/devices/block/sdb");
             return dm;
         },
         Storage::hdd},
        {"device-mapper over two solid-state disks",
         [](FactTree& t) {
             t.Device("block/sda", "0");
             t.Device("block/sdb", "0");
             const std::string dm = t.Device("virtual/block/dm-1", "0");
             t.Slave(dm, "sys/devices/block/sda");
             t.Slave(dm, "sys/devices/block/sdb");
             return dm;
         },
         Storage::ssd},
        {"a partition of md over partitions of rotating disks, under device-mapper",
         [](FactTree& t) {
             t.Device("block/sdc", "1");
             t.Device("block/sdd", "1");
             const std::string md = t.Device("virtual/block/md0", "0");
             t.Slave(md, t.Device("block/sdc/sdc1", ""));
             t.Slave(md, t.Device("block/sdd/sdd1", ""));
             const std::string dm = t.Device("virtual/block/dm-2", "0");
             t.Slave(dm, t.Device("virtual/block/md0/md0p1", ""));
             return dm;
         },
         Storage::hdd},
        {"a rotating virtio disk",
         [](FactTree& t) { t.Device("block/vda", "1"); return t.Device("block/vda/vda1", ""); }, Storage::unknown},
        {"a rotating Xen disk", [](FactTree& t) { return t.Device("block/xvda", "1"); }, Storage::unknown},
        {"a rotating VMware disk",
         [](FactTree& t) {
             const std::string disk = t.Device("block/sde", "1");
             t.File(disk + "/device/vendor", "VMware  \n");
             return disk;
         },
         Storage::unknown},
        {"a virtio disk that says it does not rotate",
         [](FactTree& t) { return t.Device("block/vdb", "0"); }, Storage::ssd},
        {"device-mapper over a rotating virtio disk and a solid-state disk",
         [](FactTree& t) {
             t.Device("block/vda", "1");
             t.Device("block/sda", "0");
             const std::string dm = t.Device("virtual/block/dm-3", "0");
             t.Slave(dm, "sys/devices/block/vda");
             t.Slave(dm, "sys/devices/block/sda");
             return dm;
         },
         Storage::unknown},
        {"a disk whose rotation is not a number",
         [](FactTree& t) { return t.Device("block/sdf", "yes"); }, Storage::unknown},
        {"a device without a queue", [](FactTree& t) { return t.Device("virtual/block/odd/odd1", ""); },
         Storage::unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FactTree tree;
        tree.DataOn(c.build(tree));
        EXPECT_EQ(tree.Detect().storage, c.expected);
    }

    FactTree unlisted; // no /sys/dev/block entry for the device, as for a network file system
    EXPECT_EQ(unlisted.Detect().storage, Storage::unknown);
}

TEST(MachineFactsLinux, MemoryLimitAndProcessorsFromTheServersCgroup)
{
    const long affinity = AffinityOfThisProcess();
    const std::string v2 = "0::/system.slice/pg.service\n";
    const std::string v1 = "5:cpu,cpuacct:/docker/abc\n4:memory:/docker/abc\n1:name=systemd:/docker/abc\n";
    const std::string noV1Limit = "9223372036854771712\n";
    struct Case
    {
        const char* what;
        std::string selfCgroup;
        std::string serverCgroup; // of process 4242; empty: no server runs
        std::vector<std::pair<std::string, std::string>> files;
        std::optional<std::uint64_t> memoryLimitMb;
        long cpus;
    };
    const Case cases[] = {
        {"v2: the smallest limit on the way up", v2, "",
         {{"cgroup/cgroup.controllers", "cpu memory\n"},
          {"cgroup/system.slice/memory.max", "1073741824\n"},
          {"cgroup/system.slice/pg.service/memory.max", "2147483648\n"}},
         1024, affinity},
        {"v2: no limit anywhere", v2, "",
         {{"cgroup/cgroup.controllers", "cpu memory\n"},
          {"cgroup/system.slice/memory.max", "max\n"},
          {"cgroup/system.slice/pg.service/memory.max", "max\n"},
          {"cgroup/system.slice/pg.service/cpu.max", "max 100000\n"}},
         std::nullopt, affinity},
        {"v2: a quota of half a processor", v2, "",
         {{"cgroup/cgroup.controllers", "cpu memory\n"}, {"cgroup/system.slice/pg.service/cpu.max", "50000 100000\n"}},
         std::nullopt, 1},
        {"v2: a quota of 1.5 processors is rounded up", v2, "",
         {{"cgroup/cgroup.controllers", "cpu memory\n"}, {"cgroup/system.slice/cpu.max", "150000 100000\n"}},
         std::nullopt, std::min(affinity, 2L)},
        {"v1: limit and quota", v1, "",
         {{"cgroup/memory/docker/abc/memory.limit_in_bytes", "536870912\n"},
          {"cgroup/memory/docker/memory.limit_in_bytes", noV1Limit},
          {"cgroup/cpu/docker/abc/cpu.cfs_quota_us", "50000\n"},
          {"cgroup/cpu/docker/abc/cpu.cfs_period_us", "100000\n"}},
         512, 1},
        {"v1: no limit, no quota", v1, "",
         {{"cgroup/memory/docker/abc/memory.limit_in_bytes", noV1Limit},
          {"cgroup/cpu/docker/abc/cpu.cfs_quota_us", "-1\n"},
          {"cgroup/cpu/docker/abc/cpu.cfs_period_us", "100000\n"}},
         std::nullopt, affinity},
        {"v1 in a cgroup namespace: the mount is the cgroup", v1, "",
         {{"cgroup/memory/memory.limit_in_bytes", "268435456\n"}}, 256, affinity},
        {"the running server's cgroup, not the wizard's", v2, "0::/postgres\n",
         {{"cgroup/cgroup.controllers", "cpu memory\n"},
          {"cgroup/system.slice/pg.service/memory.max", "2147483648\n"},
          {"cgroup/postgres/memory.max", "4294967296\n"}},
         4096, affinity},
        {"a path that climbs out of the hierarchy is not the kernel's", "0::/../etc\n", "",
         {{"cgroup/cgroup.controllers", "cpu memory\n"}, {"etc/memory.max", "1048576\n"}}, std::nullopt, affinity},
        {"a limit that is not a number", v2, "",
         {{"cgroup/cgroup.controllers", "cpu memory\n"}, {"cgroup/system.slice/pg.service/memory.max", "1G\n"}},
         std::nullopt, affinity},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FactTree tree;
        tree.File("proc/self/cgroup", c.selfCgroup);
        if (!c.serverCgroup.empty()) {
            tree.File("proc/4242/cgroup", c.serverCgroup);
            tree.subject.serverProcess = 4242;
        }
        for (const auto& [name, bytes] : c.files)
            tree.File(name, bytes);
        const MachineFacts facts = tree.Detect();
        EXPECT_EQ(facts.memoryLimitMb, c.memoryLimitMb);
        EXPECT_EQ(facts.cpus, c.cpus);
    }
}

TEST(MachineFactsLinux, HugePagesAndWalSpace)
{
    struct Case
    {
        const char* what;
        std::string meminfo;
        std::optional<std::uint64_t> total;
        std::optional<std::uint64_t> pageKb;
    };
    const Case cases[] = {
        {"reserved pages", "MemTotal:  16318412 kB\nHugePages_Total:     512\nHugePages_Free:  512\nHugepagesize:       2048 kB\n",
         512, 2048},
        {"none reserved", "HugePages_Total:       0\nHugepagesize:    1048576 kB\n", 0, 1048576},
        {"no huge pages in the kernel", "MemTotal:  16318412 kB\n", std::nullopt, std::nullopt},
        {"figures that are not numbers", "HugePages_Total: 12x\nHugepagesize: 2048 MB\n", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FactTree tree;
        tree.File("proc/meminfo", c.meminfo);
        const MachineFacts facts = tree.Detect();
        EXPECT_EQ(facts.hugepagesTotal, c.total);
        EXPECT_EQ(facts.hugepageKb, c.pageKb);
    }

    FactTree tree;
    EXPECT_FALSE(tree.Detect().walFreeMb) << "no WAL folder";
    fs::create_directory(tree.dir.file("data/pg_xlog")); // before 10
    EXPECT_TRUE(tree.Detect().walFreeMb);
}

TEST(MachineFactsLinux, ThisMachine)
{
    TempDir dir;
    fs::create_directories(dir.file("pg_wal"));
    FactsSubject subject;
    subject.dataDirectory = wxString::FromUTF8(dir.path());
    const std::string packaged = "/usr/lib/postgresql/15";
    if (fs::exists(packaged + "/bin/pg_config"))
        subject.baseDirectory = wxString::FromUTF8(packaged);
    const MachineFacts facts = DetectMachineFacts(subject);
    ASSERT_TRUE(facts.cpus);
    EXPECT_GE(*facts.cpus, 1);
    EXPECT_TRUE(facts.storage);
    EXPECT_TRUE(facts.walFreeMb);
    if (!subject.baseDirectory.empty()) {
        ASSERT_TRUE(facts.features);
        EXPECT_TRUE(facts.features->find_first_not_of("lz4,zstdlvm") == std::string::npos) << *facts.features;
    }
    for (const std::string& item : FactItems(facts))
        std::cout << item << "\n";
}
