// SetupRollback over the stand-in: what it keeps before DriverPrep's purge, and what a rollback
// leaves of the INF store and the install folder after a run that failed.
#include "admin_only.h"
#include "driverprep.h"
#include "install_layout.h"
#include "setup_rollback.h"
#include "temp_store.h"

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace {

const std::string kNamesDevice = "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Models]\r\n%Dev%=Install," + kDeviceId + "\r\n";
const std::string kNewDriver = kNamesDevice + "; the run's version\r\n";
const std::string kTool = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; the tool\r\n";
const std::wstring kFolder = kInstallFolder;
const std::wstring kLog = L"C:\\setup.log";

class Rollback : public TempStoreTest {
protected:
    void SetUp() override
    {
        TempStoreTest::SetUp();
        MakeFolder(L"C:\\Program Files");
    }
    int Run(std::vector<std::wstring> args)
    {
        std::wstring logArg = L"/log=" + kLog;
        args.insert(args.begin(), L"SetupRollback.exe");
        args.push_back(logArg);
        std::vector<wchar_t *> argv;
        for (std::wstring &arg : args) argv.push_back(&arg[0]);
        RollbackOptions options;
        if (!ParseRollbackOptions((int)argv.size(), argv.data(), &options)) return kRollbackBadArguments;
        return RunRollbackMode(&options);
    }
    int Keep() { return Run({L"/keep", L"/version=0.9.0", L"/place=brellan.inf", L"/place=amd64\\co.dll"}); }
    std::string Log()
    {
        std::ifstream in(hostwin::HostPath(kLog), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The staging of a run: PkgStage's copies, one under the lowest free name.
    void Stage()
    {
        PutInf(L"oem3.inf", kNewDriver);   // the name DriverPrep freed
        PutInf(L"oem3.pnf", "precompiled new");
        PutInf(L"oem9.inf", kTool);
        PutInf(L"oem9.pnf", "precompiled tool");
    }
};

// An earlier driver's copy, purged, and its name reused by the run's copy; a copy of the tool
// beside it; a copy that was there before and names another device stays. All of it goes back.
TEST_F(Rollback, FailedRunLeavesTheStoreAsItFoundIt)
{
    PutInf(L"oem3.inf", kNamesDevice);
    PutInf(L"oem3.pnf", "precompiled old");
    PutInf(L"oem5.inf", kTool);
    PutInf(L"setupapi.dev.log", "log");
    const auto before = Tree(L"C:\\Windows\\inf");
    ASSERT_EQ(kRollbackDone, Keep());
    PurgeStaleInfs();
    ASSERT_FALSE(Exists(kInf + L"oem3.inf"));
    Stage();

    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_EQ(before, Tree(L"C:\\Windows\\inf"));
    EXPECT_FALSE(Exists(kRollbackFolder));
    std::vector<std::wstring> uninstalled;
    for (const hostwin::UninstallCall &call : hostwin::UninstallCalls()) {
        EXPECT_EQ(0u, call.flags);
        uninstalled.push_back(call.infName);
    }
    EXPECT_EQ(std::vector<std::wstring>({L"oem9.inf", L"oem3.inf"}), uninstalled) << "the new copies, then the reused name";
    const std::string log = Log();
    for (const char *line : {"removed C:\\Windows\\inf\\oem9.inf, staged by the run", "removed C:\\Windows\\inf\\oem3.inf, staged by the run",
                             "put back C:\\Windows\\inf\\oem3.inf", "put back C:\\Windows\\inf\\oem3.pnf", "rolled back (files put back: 2, copies removed: 2)"})
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
}

TEST_F(Rollback, CopyADeviceUsesStaysAndTheRollbackSaysSo)
{
    PutInf(L"oem3.inf", kNamesDevice);
    ASSERT_EQ(kRollbackDone, Keep());
    PurgeStaleInfs();
    Stage();
    hostwin::UseByDevice(L"oem3.inf");

    EXPECT_EQ(kRollbackIncomplete, Run({L"/rollback"}));
    EXPECT_FALSE(Exists(kInf + L"oem9.inf"));
    EXPECT_EQ(kNewDriver, Tree(L"C:\\Windows\\inf")["oem3.inf"]) << "the device's new copy stays";
    EXPECT_NE(std::string::npos, Log().find("left C:\\Windows\\inf\\oem3.inf: a device already uses it")) << Log();
    EXPECT_FALSE(Exists(kRollbackFolder));
}

// The install folder: a file that stood there is back with its bytes, the run's new files and the
// folders made for them are gone; a folder that did not exist goes too.
TEST_F(Rollback, InstallFolderIsAsTheRunFoundIt)
{
    for (bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "the folder held an earlier version" : "no folder before");
        std::filesystem::remove_all(hostwin::HostPath(L"C:\\Program Files\\Quillmere"));
        if (existed) Put(kFolder + L"\\brellan.inf", "earlier");
        const auto before = Tree(kFolder);
        ASSERT_EQ(kRollbackDone, Keep());
        Put(kFolder + L"\\brellan.inf", kNewDriver);
        Put(kFolder + L"\\amd64\\co.dll", "co-installer");
        EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
        EXPECT_EQ(before, Tree(kFolder));
        EXPECT_EQ(existed, Exists(kFolder));
        EXPECT_EQ(existed, Exists(L"C:\\Program Files\\Quillmere")) << "nor the folder above it";
    }
}

// An uninstall removes the product's copies (those naming the device, those equal to the install
// folder's INF files) and no other; one a device uses stops it, and the rollback that follows
// leaves the product whole.
TEST_F(Rollback, UninstallStoppedByADeviceLeavesTheProductWhole)
{
    Put(kFolder + L"\\flashwright.inf", kTool);
    Put(kFolder + L"\\brellan.inf", kNewDriver);
    PutInf(L"oem3.inf", kNewDriver);
    PutInf(L"oem3.pnf", "precompiled");
    PutInf(L"oem4.inf", kTool);
    PutInf(L"oem5.inf", "[Version]\r\n; another product\r\n");
    const auto store = Tree(L"C:\\Windows\\inf");
    const auto folder = Tree(kFolder);
    ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/place=flashwright.inf", L"/place=brellan.inf"}));
    hostwin::UseByDevice(L"oem4.inf");
    EXPECT_EQ(kRollbackInUse, Run({L"/remove-copies"}));
    EXPECT_FALSE(Exists(kInf + L"oem3.inf"));
    EXPECT_TRUE(Exists(kInf + L"oem5.inf"));
    EXPECT_NE(std::string::npos, Log().find("left C:\\Windows\\inf\\oem4.inf: a device already uses it")) << Log();
    std::filesystem::remove_all(hostwin::HostPath(kFolder));   // the uninstall went on no further

    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_EQ(store, Tree(L"C:\\Windows\\inf"));
    EXPECT_EQ(folder, Tree(kFolder));
}

// An upgrade removes the copies of the earlier version's INF files that it replaced with other
// bytes, and keeps those it carries unchanged.
TEST_F(Rollback, UpgradeRemovesOnlyCopiesOfReplacedInfs)
{
    Put(kFolder + L"\\flashwright.inf", kTool);
    Put(kFolder + L"\\brellan.inf", kNamesDevice);
    PutInf(L"oem4.inf", kTool);
    PutInf(L"oem6.inf", kNamesDevice);
    ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/place=flashwright.inf", L"/place=brellan.inf"}));
    Put(kFolder + L"\\brellan.inf", kNewDriver);   // the new version's device INF; the tool's unchanged
    EXPECT_EQ(kRollbackDone, Run({L"/remove-replaced-copies"}));
    EXPECT_TRUE(Exists(kInf + L"oem4.inf"));
    EXPECT_FALSE(Exists(kInf + L"oem6.inf"));
}

// Everything DriverPrep's content match can remove is kept: the rollback's own reading of a
// file's bytes finds the ID wherever DriverPrep finds it.
TEST_F(Rollback, KeepsEveryCopyThePurgeCanRemove)
{
    const std::string far = Filler(16384 - 7) + kDeviceId;   // across the rollback's chunk
    const struct {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"8-bit", kNamesDevice},
        {"across DriverPrep's chunk", Filler(1014) + kDeviceId},
        {"across the rollback's chunk", far},
        {"UTF-16LE", Utf16(far, false, true)},
        {"UTF-16BE", Utf16(kNamesDevice, true, true)},
        {"8-bit after a byte-order mark", "\xFF\xFE" + kNamesDevice},
        {"another device", "USB\\VID_8817&PID_3403"},
        {"lower case", "usb\\vid_8817&pid_3402"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = PutInf(L"oem1.inf", c.bytes);
        EXPECT_EQ(InfMentionsDevice(path.c_str()), BytesNameDevice(path.c_str()));
    }
}

TEST_F(Rollback, WithoutAWholeKeepNothingIsTouched)
{
    PutInf(L"oem3.inf", kNamesDevice);
    Put(std::wstring(kRollbackFolder) + L"\\store-names", "cut off while keeping");
    const auto before = Tree(L"C:\\");
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    auto after = Tree(L"C:\\");
    for (const char *gone : {"Program Files/Quillmere/Brellan Flashwright Setup Rollback/",
                             "Program Files/Quillmere/Brellan Flashwright Setup Rollback/store-names"})
        EXPECT_EQ(1u, before.count(gone) - after.count(gone)) << gone;
    EXPECT_EQ(kNamesDevice, after["Windows/inf/oem3.inf"]);
    EXPECT_TRUE(hostwin::UninstallCalls().empty());

    // A keep refuses a rollback folder it did not make itself.
    Put(std::wstring(kRollbackFolder) + L"\\planted", "");
    EXPECT_EQ(kRollbackIncomplete, Keep());
    EXPECT_TRUE(Exists(std::wstring(kRollbackFolder) + L"\\planted"));
}

TEST_F(Rollback, CommandLineIsRefusedWhenNotWellFormed)
{
    const std::vector<std::vector<std::wstring>> refused = {
        {L"/undo"}, {L"/rollback", L"/place=brellan.inf"}, {L"/keep", L"/place=..\\x"}, {L"/keep", L"/place=C:\\x"},
        {L"/keep", L"/place=\\x"}, {L"/keep", L"/place=a\\\\b"}, {L"/keep", L"/place="}, {L"/keep", L"/log="},
    };
    for (const auto &args : refused) {
        SCOPED_TRACE(::testing::PrintToString(args[args.size() - 1]));
        EXPECT_EQ(kRollbackBadArguments, Run(args));
    }
    EXPECT_FALSE(Exists(kRollbackFolder));
}

// The descriptor the package gives the folder it runs its programs from (Wine keeps no file
// security, so this is where it is proven): a protected DACL, nothing inherited, full access for
// SYSTEM and the Administrators group alone.
TEST(PackageFolders, ProgramsFolderIsSystemsAndAdministratorsAlone)
{
    const std::wstring sddl = kAdminOnlySddl;
    ASSERT_EQ(0u, sddl.find(L"D:P(")) << "a protected DACL and no owner, group or SACL";
    std::set<std::wstring> trustees;
    for (size_t at = sddl.find(L'('); at != std::wstring::npos; at = sddl.find(L'(', at + 1)) {
        std::wistringstream ace(sddl.substr(at + 1, sddl.find(L')', at) - at - 1));
        std::vector<std::wstring> fields;
        for (std::wstring field; std::getline(ace, field, L';');) fields.push_back(field);
        ASSERT_EQ(6u, fields.size());
        EXPECT_EQ(L"A", fields[0]) << "allowed, never denied";
        EXPECT_EQ(L"OICI", fields[1]) << "inherited by the programs written into it";
        EXPECT_EQ(L"FA", fields[2]);
        trustees.insert(fields[5]);
    }
    EXPECT_EQ((std::set<std::wstring>{L"SY", L"BA"}), trustees);
}

}  // namespace
