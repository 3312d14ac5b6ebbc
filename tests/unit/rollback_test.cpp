// SetupRollback over the stand-in: what it keeps before DriverPrep's purge, and what a rollback
// leaves of the INF store, the install folder and the detection value after a run that failed.
#include "admin_only.h"
#include "device_match.h"
#include "driverprep.h"
#include "install_layout.h"
#include "setup_rollback.h"
#include "temp_store.h"

#include <sddl.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <set>
#include <sstream>

namespace {

const std::string kNamesDevice = "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Models]\r\n%Dev%=Install," + kDeviceId + "\r\n";
const std::string kNewDriver = kNamesDevice + "; the run's version\r\n";
const std::string kTool = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; the tool\r\n";
const std::string kOtherVendor = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; another vendor's package\r\n";
const std::wstring kFolder = kInstallFolder;
const std::wstring kLog = L"C:\\setup.log";
const std::wstring kPrograms = L"C:\\Programs";
const std::wstring kState = kRollbackFolder;
const std::wstring kClass = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{88bae032-5a81-49f0-bc3d-a4ff138216d6}\\";

class Rollback : public TempStoreTest {
protected:
    void SetUp() override
    {
        TempStoreTest::SetUp();
        MakeFolder(L"C:\\Program Files\\Quillmere");
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
    // The package's work list, as the build writes it, with the run's INF files beside it.
    void WriteWork(const std::string &tool, const std::string &device, const std::vector<std::wstring> &places)
    {
        Put(kPrograms + L"\\flashwright.inf", tool);
        Put(kPrograms + L"\\brellan.inf", device);
        std::wstring text = L"inf\tflashwright.inf\ninf\tbrellan.inf\n";
        for (const std::wstring &place : places) text += L"place\t" + place + L"\n";
        std::string bytes;
        for (wchar_t c : text) bytes += {(char)(c & 0xFF), (char)(c >> 8)};
        Put(kPrograms + L"\\work.txt", bytes);
    }
    int Keep(const std::string &device = kNewDriver)
    {
        WriteWork(kTool, device, {L"flashwright.inf", L"brellan.inf", L"amd64\\co.dll"});
        return Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt"});
    }
    std::string Log()
    {
        std::ifstream in(hostwin::HostPath(kLog), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    ::testing::AssertionResult Logged(const std::string &line)
    {
        std::string log = Log();
        if (log.find(line) != std::string::npos) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "no line \"" << line << "\" in:\n" << log;
    }
    // The staging of a run: PkgStage's copies, the device's under the name DriverPrep freed.
    void Stage()
    {
        PutInf(L"oem3.inf", kNewDriver);
        PutInf(L"oem3.pnf", "precompiled new");
        PutInf(L"oem9.inf", kTool);
        PutInf(L"oem9.pnf", "precompiled tool");
    }
    static std::string Narrow(const std::wstring &text) { return std::string(text.begin(), text.end()); }
    static std::set<std::string> Names(const std::map<std::string, std::string> &tree)
    {
        std::set<std::string> names;
        for (const auto &entry : tree) names.insert(entry.first);
        return names;
    }
    std::wstring SecurityOf(const std::wstring &folder)
    {
        wchar_t descriptor[MAX_PATH];
        DWORD cb = 0;
        LPWSTR text = nullptr;
        if (!GetFileSecurityW(folder.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, descriptor, sizeof descriptor, &cb) ||
            !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr))
            return L"(unreadable)";
        std::wstring sddl = text;
        LocalFree(text);
        return sddl;
    }
    std::wstring Version()
    {
        std::wstring version;
        return hostwin::GetValue(kDetectionKey, kDetectionValueName, &version) ? version : L"(none)";
    }
};

// An earlier driver's copy, purged, and its name reused by the run's copy; a copy of the tool
// beside it; another product's copy and a copy of the run's own tool INF that was there before
// stay. All of it goes back, and the detection value with it.
TEST_F(Rollback, FailedRunLeavesTheStoreAsItFoundIt)
{
    PutInf(L"oem3.inf", kNamesDevice);
    PutInf(L"oem3.pnf", "precompiled old");
    PutInf(L"oem5.inf", kOtherVendor);
    PutInf(L"flashwright.inf", kTool);   // Wine keeps a source's own name while it is free
    PutInf(L"setupapi.dev.log", "log");
    hostwin::SetValue(kDetectionKey, kDetectionValueName, L"0.9.0");
    const auto before = Tree(L"C:\\Windows\\inf");
    ASSERT_EQ(kRollbackDone, Keep());
    EXPECT_EQ(L"O:BA" + std::wstring(kAdminOnlySddl), SecurityOf(kState)) << "made SYSTEM's and the Administrators' alone";
    PurgeStaleInfs();
    ASSERT_FALSE(Exists(kInf + L"oem3.inf"));
    Stage();
    hostwin::SetValue(kDetectionKey, kDetectionValueName, L"1.0.0");

    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_EQ(before, Tree(L"C:\\Windows\\inf"));
    EXPECT_EQ(L"0.9.0", Version());
    EXPECT_FALSE(Exists(kState));
    std::vector<std::wstring> uninstalled;
    for (const hostwin::UninstallCall &call : hostwin::UninstallCalls()) uninstalled.push_back(call.infName);
    EXPECT_EQ(std::vector<std::wstring>({L"oem3.inf", L"oem9.inf"}), uninstalled) << "the run's copies, and only those";
    for (const char *line : {"removed C:\\Windows\\inf\\oem9.inf, staged by the run", "removed C:\\Windows\\inf\\oem3.inf, staged by the run",
                             "put back C:\\Windows\\inf\\oem3.inf", "put back C:\\Windows\\inf\\oem3.pnf", "rolled back (files put back: 2, copies removed: 2)"})
        EXPECT_TRUE(Logged(line));
}

// Other vendors' packages staged while a cut-off state waited, one at a new name and one at the
// name DriverPrep had freed, stay. The earlier copy that cannot have its name back stays kept,
// armed, and a run that succeeds later lets it go and says so.
TEST_F(Rollback, OtherVendorsCopiesStayAndTheLastCopyIsNeverLost)
{
    PutInf(L"oem3.inf", kNamesDevice);
    PutInf(L"oem3.pnf", "precompiled old");
    ASSERT_EQ(kRollbackDone, Keep());
    PurgeStaleInfs();
    Stage();
    PutInf(L"oem12.inf", kOtherVendor);
    std::filesystem::remove(hostwin::HostPath(kInf + L"oem3.inf"));
    PutInf(L"oem3.inf", kOtherVendor + "; at the freed name\r\n");
    PutInf(L"oem3.pnf", "the other vendor's twin");

    EXPECT_EQ(kRollbackIncomplete, Run({L"/rollback"}));
    EXPECT_EQ(kOtherVendor, Tree(L"C:\\Windows\\inf")["oem12.inf"]);
    EXPECT_EQ(kOtherVendor + "; at the freed name\r\n", Tree(L"C:\\Windows\\inf")["oem3.inf"]);
    EXPECT_EQ("the other vendor's twin", Tree(L"C:\\Windows\\inf")["oem3.pnf"]) << "a kept twin waits with its INF";
    EXPECT_FALSE(Exists(kInf + L"oem9.inf")) << "the run's own copy goes";
    const std::wstring earlier = kState + L" (earlier 1)";
    EXPECT_EQ(kNamesDevice, Tree(earlier)["inf/oem3.inf"]) << "the only copy of the earlier driver stays kept";
    EXPECT_TRUE(Logged("C:\\Windows\\inf\\oem3.inf now holds another package: the earlier copy stays kept in"));

    // Tried again by the next run, it still cannot: that run's own state (none) is whole, and the
    // earlier one stays kept, as it was before; that run's success supersedes it.
    EXPECT_EQ(kRollbackEarlierKept, Run({L"/rollback"}));
    EXPECT_TRUE(Exists(earlier));
    ASSERT_EQ(kRollbackDone, Keep());
    EXPECT_EQ(kRollbackDone, Run({L"/commit"}));
    EXPECT_FALSE(Exists(earlier));
    EXPECT_FALSE(Exists(kState));
    EXPECT_TRUE(Logged("let go of " + Narrow(earlier) + "\\inf\\oem3.inf, kept by an earlier run"));
}

// An older run's sealed record swapped into this run's state verifies, but it is not this run's:
// the run's own rollback and its commit set the state aside, untouched, and its kept copies with
// it. A repair that puts back what such a record names still never deletes a file it does not
// name: the folder is set aside, and the copies in it are not lost.
TEST_F(Rollback, AnotherRunsRecordIsSetAsideWithEveryCopyItDoesNotName)
{
    // The older run: it kept nothing from the store.
    WriteWork(kTool, kNewDriver, {L"flashwright.inf"});
    ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt", L"/run={older}"}));
    const std::string older = Tree(kState)["armed"];
    ASSERT_EQ(kRollbackDone, Run({L"/commit", L"/run={older}"}));
    // This run keeps three earlier copies of the driver, the purge deletes them, and the older
    // record takes the place of this run's.
    std::map<std::string, std::string> before;
    auto swapped = [&](const wchar_t *run) {
        for (const wchar_t *name : {L"oem3.inf", L"oem4.inf", L"oem5.inf"}) PutInf(name, kNamesDevice + Narrow(name));
        before = Tree(L"C:\\Windows\\inf");
        ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt", run}));
        PurgeStaleInfs();
        ASSERT_TRUE(Tree(L"C:\\Windows\\inf").empty());
        Put(kState + L"\\armed", older);
    };
    auto keptIn = [&](const std::wstring &aside) {
        for (const char *name : {"oem3.inf", "oem4.inf", "oem5.inf"})
            EXPECT_EQ(before.at(name), Tree(aside)[std::string("inf/") + name]) << name << " is kept still";
    };
    swapped(L"/run={this}");
    EXPECT_EQ(kRollbackIncomplete, Run({L"/commit", L"/run={this}"}));
    EXPECT_TRUE(Logged("is not this run's"));
    EXPECT_EQ(older, Tree(kState)["armed"]) << "nothing committed";
    EXPECT_EQ(kRollbackSetAside, Run({L"/rollback", L"/run={this}"}));
    EXPECT_TRUE(Logged("(its record is not this run's): nothing was put back from it"));
    keptIn(kState + L" (set aside 1)");

    // The same state repaired by a later run, which cannot tell whose it is: it puts back what the
    // record names (nothing from the store) and sets the rest aside.
    swapped(L"/run={next}");
    EXPECT_EQ(kRollbackSetAside, Run({L"/rollback"}));
    EXPECT_TRUE(Logged("inf\\oem3.inf is not a file its record names"));
    keptIn(kState + L" (set aside 2)");
    EXPECT_FALSE(Exists(kState));
}

// A keep cut off before it sealed its record changed nothing, and its folder goes while every copy
// in it stands where it was taken from; once the store has lost one, the folder is set aside.
TEST_F(Rollback, UnsealedKeepGoesOnlyWhileItsCopiesStandElsewhere)
{
    for (bool purged : {false, true}) {
        SCOPED_TRACE(purged ? "the store lost the copy" : "the store holds it still");
        PutInf(L"oem3.inf", kNamesDevice);
        ASSERT_EQ(kRollbackDone, Keep());
        std::filesystem::remove(hostwin::HostPath(kState + L"\\armed"));   // as if the seal never came
        if (purged) PurgeStaleInfs();
        EXPECT_EQ(purged ? kRollbackSetAside : kRollbackDone, Run({L"/rollback"}));
        EXPECT_FALSE(Exists(kState));
        EXPECT_EQ(purged, Exists(kState + L" (set aside 1)"));
        if (purged) EXPECT_EQ(kNamesDevice, Tree(kState + L" (set aside 1)")["inf/oem3.inf"]);
    }
}

// PkgStage's success as the INF store shows it: a copy of each of the run's INF files.
TEST_F(Rollback, StagedChecksTheStoreForEachOfTheRunsInfFiles)
{
    WriteWork(kTool, kNewDriver, {});
    const std::wstring work = L"/work=" + kPrograms + L"\\work.txt";
    PutInf(L"oem9.inf", kTool);
    EXPECT_EQ(kRollbackIncomplete, Run({L"/staged", work}));
    EXPECT_TRUE(Logged("the INF store holds no copy of brellan.inf"));
    PutInf(L"oem3.inf", kNewDriver);
    EXPECT_EQ(kRollbackDone, Run({L"/staged", work}));
}

// A copy the rollback cannot take out (a virus scanner holds it open) keeps the state; the next
// rollback, once it is let go, puts the earlier copy back.
TEST_F(Rollback, CopyHeldOpenKeepsTheStateForTheNextRun)
{
    PutInf(L"oem3.inf", kNamesDevice);
    const auto before = Tree(L"C:\\Windows\\inf");
    ASSERT_EQ(kRollbackDone, Keep());
    PurgeStaleInfs();
    Stage();
    hostwin::HoldOpen(kInf + L"oem3.inf");
    EXPECT_EQ(kRollbackIncomplete, Run({L"/rollback"}));
    EXPECT_TRUE(Exists(kState + L" (earlier 1)"));
    hostwin::CloseHeld(kInf + L"oem3.inf");
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_EQ(before, Tree(L"C:\\Windows\\inf"));
    EXPECT_FALSE(Exists(kState + L" (earlier 1)"));
}

// The install folder: a file that stood there is back with its bytes, the run's new files and the
// folders made for them are gone; a folder that did not exist goes too.
TEST_F(Rollback, InstallFolderIsAsTheRunFoundIt)
{
    for (bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "the folder held an earlier version" : "no folder before");
        std::filesystem::remove_all(hostwin::HostPath(kFolder));
        if (existed) Put(kFolder + L"\\brellan.inf", "earlier");
        const auto before = Tree(kFolder);
        ASSERT_EQ(kRollbackDone, Keep());
        Put(kFolder + L"\\brellan.inf", kNewDriver);
        Put(kFolder + L"\\amd64\\co.dll", "co-installer");
        EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
        EXPECT_EQ(before, Tree(kFolder));
        EXPECT_EQ(existed, Exists(kFolder));
    }
}

// An uninstall finds every copy a device uses (its driver key's InfPath) before it removes any:
// one in use stops it with nothing removed. Without one, the product's copies go, no other.
TEST_F(Rollback, UninstallRemovesAllOfTheProductsCopiesOrNone)
{
    Put(kFolder + L"\\flashwright.inf", kTool);
    Put(kFolder + L"\\brellan.inf", kNewDriver);
    PutInf(L"oem3.inf", kNewDriver);
    PutInf(L"oem3.pnf", "precompiled");
    PutInf(L"oem4.inf", kTool);
    PutInf(L"oem5.inf", kOtherVendor);
    const auto store = Tree(L"C:\\Windows\\inf");
    hostwin::SetValue(kClass + L"0007", L"InfPath", L"OEM4.INF");
    hostwin::SetValue(kClass + L"0008", L"InfPath", L"oem5.inf");
    ASSERT_EQ(kRollbackDone, Keep());
    EXPECT_EQ(kRollbackInUse, Run({L"/remove-copies"}));
    EXPECT_EQ(store, Tree(L"C:\\Windows\\inf")) << "nothing removed";
    EXPECT_TRUE(hostwin::UninstallCalls().empty());
    EXPECT_TRUE(Logged("left C:\\Windows\\inf\\oem4.inf: a device uses it"));
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));

    hostwin::SetValue(kClass + L"0007", L"InfPath", L"oem1.inf");
    ASSERT_EQ(kRollbackDone, Keep());
    EXPECT_EQ(kRollbackDone, Run({L"/remove-copies"}));
    EXPECT_EQ((std::set<std::string>{"oem5.inf"}), Names(Tree(L"C:\\Windows\\inf")));
}

// An upgrade removes, once committed, the copies of the earlier version's INF files that it
// replaced with other bytes, and keeps those it carries unchanged.
TEST_F(Rollback, CommittedUpgradeRemovesOnlyCopiesOfReplacedInfs)
{
    Put(kFolder + L"\\flashwright.inf", kTool);
    Put(kFolder + L"\\brellan.inf", kNamesDevice);
    PutInf(L"oem4.inf", kTool);
    PutInf(L"oem6.inf", kNamesDevice);
    ASSERT_EQ(kRollbackDone, Keep());
    Put(kFolder + L"\\brellan.inf", kNewDriver);   // the new version's device INF; the tool's unchanged
    EXPECT_EQ(kRollbackDone, Run({L"/commit", L"/remove-replaced"}));
    EXPECT_TRUE(Exists(kInf + L"oem4.inf"));
    EXPECT_FALSE(Exists(kInf + L"oem6.inf"));
    EXPECT_FALSE(Exists(kState)) << "committed and let go";
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"})) << "nothing armed is left to roll back";
    EXPECT_FALSE(Exists(kInf + L"oem6.inf"));
}

// A kept state is acted on only when its folder is still the package's own and its record reads
// whole; any other is set aside untouched, and the store keeps every file, whatever the record
// claims. Where the volume keeps no security (Wine), the record alone decides.
TEST_F(Rollback, StateThatDoesNotVerifyIsSetAsideAndNothingIsRemoved)
{
    const std::wstring record = kState + L"\\armed";
    const struct {
        const char *name;
        std::function<void()> damage;
        bool keepsSecurity;
        int expected;
    } cases[] = {
        {"emptied", [&] { Put(record, ""); }, true, kRollbackSetAside},
        {"cut short", [&] { Put(record, Tree(kState)["armed"].substr(0, 200)); }, true, kRollbackSetAside},
        {"one byte changed", [&] { std::string r = Tree(kState)["armed"]; r[120] ^= 1; Put(record, r); }, true, kRollbackSetAside},
        {"another format", [&] { std::string r = Tree(kState)["armed"]; r[74] = '9'; Put(record, r); }, true, kRollbackSetAside},
        {"a kept copy changed", [&] { Put(kState + L"\\inf\\oem3.inf", "planted"); }, true, kRollbackSetAside},
        {"its security changed", [&] { hostwin::SetFolderSecurity(kState, L"O:BAD:(A;OICI;FA;;;WD)"); }, true, kRollbackSetAside},
        {"another owner", [&] { hostwin::SetFolderSecurity(kState, L"O:BU" + std::wstring(kAdminOnlySddl)); }, true, kRollbackSetAside},
        {"no security kept on the volume", [&] {}, false, kRollbackDone},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(hostwin::HostPath(L"C:\\Program Files\\Quillmere"));
        MakeFolder(L"C:\\Program Files\\Quillmere");
        PutInf(L"oem3.inf", kNamesDevice);
        ASSERT_EQ(kRollbackDone, Keep());
        PurgeStaleInfs();
        Stage();
        PutInf(L"oem5.inf", kOtherVendor);
        PutInf(L"input.inf", "[Version]\r\n; the system's own\r\n");
        const auto store = Tree(L"C:\\Windows\\inf");
        hostwin::KeepFileSecurity(c.keepsSecurity);
        c.damage();
        EXPECT_EQ(c.expected, Run({L"/rollback"}));
        hostwin::KeepFileSecurity(true);
        if (c.expected == kRollbackSetAside) {
            EXPECT_EQ(store, Tree(L"C:\\Windows\\inf"));
            EXPECT_TRUE(Exists(kState + L" (set aside 1)\\armed")) << "set aside, not deleted";
            EXPECT_TRUE(Logged("set aside the kept state in " + Narrow(kState) + " (set aside 1)"));
        } else {
            EXPECT_EQ(kNamesDevice, Tree(L"C:\\Windows\\inf")["oem3.inf"]);
            EXPECT_EQ(kOtherVendor, Tree(L"C:\\Windows\\inf")["oem5.inf"]);
        }
        std::filesystem::remove_all(hostwin::HostPath(L"C:\\Windows\\inf"));
        MakeFolder(L"C:\\Windows\\inf");
    }
}

// The rollback keeps with the purge's own match, reading larger chunks: the answer is the same
// wherever the ID lies against either chunk size, in every encoding the purge reads.
TEST_F(Rollback, KeepingFindsEveryCopyThePurgeCanRemove)
{
    const std::string far = Filler(16384 - 7) + kDeviceId;
    const struct {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"8-bit", kNamesDevice},
        {"across the purge's chunk", Filler(1014) + kDeviceId},
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
        EXPECT_EQ(InfMentionsDevice(path.c_str()), FileNamesDevice(path.c_str(), kCbChunkMax) == DeviceMatch::kNamesDevice);
    }
}

// The preview lists, by the purge's own walk and match, exactly what DriverPrep then deletes, and
// which of the run's INF files the copy service would stage or use again; it writes nothing but its
// log. With the device recorded it says so and lists nothing.
TEST_F(Rollback, PreviewListsWhatThePurgeDeletesAndWritesNothing)
{
    PutInf(L"oem1.inf", kNamesDevice);
    PutInf(L"oem1.pnf", "precompiled");
    PutInf(L"oem2.inf", Utf16(kNamesDevice, false, true));
    PutInf(L"oem5.inf", kOtherVendor);
    PutInf(L"oem5.pnf", "another vendor's");
    PutInf(L"oem6.inf", kTool);
    PutInf(L"oem7.inf", kNewDriver);   // the run's own device INF, staged before: purged first
    WriteWork(kTool, kNewDriver, {L"flashwright.inf", L"brellan.inf"});
    const std::wstring preview = L"/work=" + kPrograms + L"\\work.txt";
    const auto store = Tree(L"C:\\Windows");
    const auto programs = Tree(kPrograms);

    hostwin::AddKey(L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402", 2);
    EXPECT_EQ(kRollbackDeviceRecorded, Run({L"/preview", preview}));
    EXPECT_TRUE(Logged("a Brellan device is recorded (2 instances under HKLM\\System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402)"));
    EXPECT_EQ(std::string::npos, Log().find("would delete"));
    hostwin::AddKey(L"System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402", 0);

    EXPECT_EQ(kRollbackDone, Run({L"/preview", preview}));
    EXPECT_EQ(store, Tree(L"C:\\Windows"));
    EXPECT_EQ(programs, Tree(kPrograms));
    EXPECT_FALSE(Exists(kState));
    EXPECT_TRUE(hostwin::UninstallCalls().empty());
    EXPECT_TRUE(Logged("DriverPrep would delete C:\\Windows\\inf\\oem1.inf, which names " + kDeviceId +
                       ", and its twin C:\\Windows\\inf\\oem1.pnf"));
    EXPECT_TRUE(Logged("DriverPrep would delete C:\\Windows\\inf\\oem2.inf, which names " + kDeviceId +
                       " (it has no twin C:\\Windows\\inf\\oem2.pnf)"));
    EXPECT_TRUE(Logged("the store holds C:\\Windows\\inf\\oem6.inf with the bytes of flashwright.inf already"));
    EXPECT_TRUE(Logged("C:\\Windows\\inf\\oem7.inf holds the bytes of brellan.inf, but the purge would delete it first"));
    EXPECT_TRUE(Logged("PkgStage would stage brellan.inf as a new copy"));
    EXPECT_EQ(std::string::npos, Log().find("oem5")) << "another vendor's copy is not ours";
    EXPECT_EQ(std::string::npos, Log().find("would stage flashwright.inf"));

    PurgeStaleInfs();
    std::set<std::string> deleted;
    for (const std::wstring &path : Deletions()) deleted.insert(Narrow(path));
    EXPECT_EQ((std::set<std::string>{"C:\\Windows\\inf\\oem1.inf", "C:\\Windows\\inf\\oem1.pnf", "C:\\Windows\\inf\\oem2.inf",
                                     "C:\\Windows\\inf\\oem7.inf"}),
              deleted);
}

// After an install commits: the restart no longer removes what it placed (an uninstall from the
// install folder left that work), and the earlier version's files it does not carry are gone.
TEST_F(Rollback, CommittedInstallKeepsTheRestartFromUndoingIt)
{
    const std::wstring session = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    const std::wstring installer = L"\\??\\" + kFolder + L"\\BrellanFlashwrightSetup.exe";
    hostwin::SetMultiValue(session, L"PendingFileRenameOperations",
                           {L"\\??\\C:\\Temp\\other.tmp", L"", installer, L"", L"\\??\\" + kFolder, L"",
                            L"\\??\\C:\\a.new", L"!\\??\\C:\\a.dll", L"\\??\\" + kFolder + L" Old", L""});
    Put(kFolder + L"\\legacy\\old\\BrellanOld.dll", "the earlier version's");
    WriteWork(kTool, kNewDriver, {L"brellan.inf", L"legacy\\old\\BrellanOld.dll", kFileListName});
    Put(kFolder + L"\\" + kFileListName, Tree(kPrograms)["work.txt"]);
    ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt"}));
    WriteWork(kTool, kNewDriver, {L"brellan.inf", kFileListName});
    Put(kFolder + L"\\" + kFileListName, Tree(kPrograms)["work.txt"]);
    EXPECT_EQ(kRollbackDone, Run({L"/commit", L"/installed"}));
    EXPECT_EQ((std::vector<std::wstring>{L"\\??\\C:\\Temp\\other.tmp", L"", L"\\??\\C:\\a.new", L"!\\??\\C:\\a.dll",
                                         L"\\??\\" + kFolder + L" Old", L""}),
              hostwin::GetMultiValue(session, L"PendingFileRenameOperations"));
    EXPECT_TRUE(Logged("cancelled the restart's removal of " + Narrow(installer)));
    EXPECT_FALSE(Exists(kFolder + L"\\legacy")) << "the earlier version's file, and its folders";
}

// An uninstall removes exactly what the list names, deepest folders first; a file in use goes at
// the restart, and a file the product never placed stays and is named.
TEST_F(Rollback, UninstallRemovesWhatTheListNamesAndSaysWhatItLeaves)
{
    WriteWork(kTool, kNewDriver, {L"brellan.inf", L"bin\\amd64\\drv\\co.dll", L"bin\\x86\\co.dll", L"BrellanFlashwrightSetup.exe", kFileListName});
    for (const wchar_t *file : {L"\\brellan.inf", L"\\bin\\amd64\\drv\\co.dll", L"\\bin\\x86\\co.dll", L"\\BrellanFlashwrightSetup.exe"})
        Put(kFolder + file, "placed");
    Put(kFolder + L"\\" + kFileListName, Tree(kPrograms)["work.txt"]);
    Put(kFolder + L"\\notes.txt", "the user's");
    hostwin::HoldOpen(kFolder + L"\\BrellanFlashwrightSetup.exe");
    EXPECT_EQ(kRollbackDone, Run({L"/remove-files"}));
    hostwin::CloseHeld(kFolder + L"\\BrellanFlashwrightSetup.exe");
    EXPECT_EQ((std::set<std::string>{"BrellanFlashwrightSetup.exe", "notes.txt"}), Names(Tree(kFolder)));
    EXPECT_TRUE(Logged("left " + Narrow(kFolder) + "\\notes.txt: the product did not place it"));
    EXPECT_TRUE(Logged(Narrow(kFolder) + "\\BrellanFlashwrightSetup.exe is in use: it will be removed at the next restart"));
}

// A listing of the store that ends on an error keeps nothing: a state that missed part of the
// store would not protect it.
TEST_F(Rollback, StoreListingCutShortKeepsNothing)
{
    for (int i = 0; i < 5; ++i) PutInf(L"oem" + std::to_wstring(i) + L".inf", kNamesDevice);
    hostwin::FailListingAfter(L"C:\\Windows\\inf", 3, 0x17);   // a CRC error, mid-listing
    EXPECT_EQ(kRollbackIncomplete, Keep());
    EXPECT_FALSE(Exists(kState));
    EXPECT_TRUE(Logged("the listing of C:\\Windows\\inf ended on error 0x17"));
}

// States that could not be put back whole pile up as earlier ones, newest tried first; a commit
// lets go of those that verify and sets aside one that does not. The detection value and the
// note that an install made the vendor folder come back with a rollback.
TEST_F(Rollback, EarlierStatesAreRetriedLetGoOrSetAside)
{
    hostwin::SetValue(kDetectionKey, kDetectionValueName, L"0.9.0");
    hostwin::SetValue(kDetectionKey, kMadeFolderValueName, L"C:\\Program Files\\Quillmere");
    for (int n = 3; n <= 4; ++n) {
        PutInf(L"oem" + std::to_wstring(n) + L".inf", kNamesDevice + std::string(n, ';'));
        ASSERT_EQ(kRollbackDone, Keep());
        PurgeStaleInfs();
        PutInf(L"oem" + std::to_wstring(n) + L".inf", kOtherVendor);   // its name taken meanwhile
        hostwin::SetValue(kDetectionKey, kMadeFolderValueName, L"changed");
        EXPECT_EQ(kRollbackIncomplete, Run({L"/rollback"}));
    }
    EXPECT_TRUE(Exists(kState + L" (earlier 1)\\inf\\oem3.inf"));
    EXPECT_TRUE(Exists(kState + L" (earlier 2)\\inf\\oem4.inf"));
    std::wstring made;
    EXPECT_TRUE(hostwin::GetValue(kDetectionKey, kMadeFolderValueName, &made) && made == L"C:\\Program Files\\Quillmere");
    EXPECT_EQ(L"(none)", Version()) << "not put back whole: the version would claim too much";

    Put(kState + L" (earlier 1)\\inf\\oem3.inf", "damaged");
    ASSERT_EQ(kRollbackDone, Keep());
    EXPECT_EQ(kRollbackDone, Run({L"/commit", L"/installed"}));
    EXPECT_FALSE(Exists(kState + L" (earlier 2)"));
    EXPECT_TRUE(Logged("let go of " + Narrow(kState) + " (earlier 2)\\inf\\oem4.inf"));
    EXPECT_TRUE(Exists(kState + L" (set aside 1)\\inf\\oem3.inf")) << "a state that does not verify is never deleted";
}

// An uninstall whose install folder lost one of its INF files still keeps what it may change, and
// still knows the product's copies by the device's ID.
TEST_F(Rollback, UninstallWithAnInfFileMissingStillKeepsAndRemoves)
{
    WriteWork(kTool, kNewDriver, {L"flashwright.inf", L"brellan.inf"});
    std::filesystem::remove(hostwin::HostPath(kPrograms + L"\\brellan.inf"));
    PutInf(L"oem3.inf", kNewDriver);
    PutInf(L"oem5.inf", kOtherVendor);
    ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt"}));
    EXPECT_TRUE(Logged("brellan.inf is not there: copies holding its bytes are not told apart"));
    EXPECT_EQ(kRollbackDone, Run({L"/remove-copies"}));
    EXPECT_EQ((std::set<std::string>{"oem5.inf"}), Names(Tree(L"C:\\Windows\\inf")));
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_EQ(kNewDriver, Tree(L"C:\\Windows\\inf")["oem3.inf"]) << "and put back from the kept copy";
}

// Names beyond ASCII go through the record and back as UTF-16, on every platform the parts build.
TEST_F(Rollback, NamesBeyondAsciiArePutBackByName)
{
    const std::wstring name = L"amd64\\Brell\u00e5n \u4e2d\u6587.dll";
    WriteWork(kTool, kNewDriver, {name});
    Put(kFolder + L"\\" + name, "earlier");
    ASSERT_EQ(kRollbackDone, Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt"}));
    Put(kFolder + L"\\" + name, "the run's");
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_FALSE(Exists(kState)) << "its folder lists the names the record holds";
    EXPECT_EQ("earlier", Tree(kFolder)[hostwin::HostPath(kFolder + L"\\" + name).substr(hostwin::HostPath(kFolder).size() + 1)]);
}

// The restart's work too large to read whole is left as it is, and the log says so: never cut.
TEST_F(Rollback, RestartWorkTooLargeIsLeftAndSaid)
{
    const std::wstring session = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
    const std::vector<std::wstring> work(2000, L"\\??\\" + kFolder + L"\\a rather long file name of forty characters.dll");
    hostwin::SetMultiValue(session, L"PendingFileRenameOperations", work);
    ASSERT_EQ(kRollbackDone, Keep());
    EXPECT_EQ(kRollbackDone, Run({L"/commit", L"/installed"}));
    EXPECT_EQ(work, hostwin::GetMultiValue(session, L"PendingFileRenameOperations"));
    EXPECT_TRUE(Logged("the restart's work (PendingFileRenameOperations) could not be read (error 0xea): it is left as it is"));
}

TEST_F(Rollback, WithoutASealedRecordNothingIsTouched)
{
    PutInf(L"oem3.inf", kNamesDevice);
    Put(kState + L"\\record.new", "cut off while keeping");
    EXPECT_EQ(kRollbackDone, Run({L"/rollback"}));
    EXPECT_FALSE(Exists(kState));
    EXPECT_EQ(kNamesDevice, Tree(L"C:\\Windows\\inf")["oem3.inf"]);
    EXPECT_TRUE(hostwin::UninstallCalls().empty());

    // A keep refuses a rollback folder it did not make itself.
    Put(kState + L"\\planted", "");
    EXPECT_EQ(kRollbackIncomplete, Keep());
    EXPECT_TRUE(Exists(kState + L"\\planted"));
}

TEST_F(Rollback, CommandLineIsRefusedWhenNotWellFormed)
{
    const std::vector<std::vector<std::wstring>> refused = {
        {L"/undo"}, {L"/keep"}, {L"/keep", L"/rollback"}, {L"/keep", L"/work="}, {L"/rollback", L"/work=C:\\w.txt"}, {L"/rollback", L"/remove-replaced"},
        {L"/keep", L"/log="}, {L"/commit", L"/place=brellan.inf"}, {L"/preview"}, {L"/preview", L"/work="},
        {L"/preview", L"/installed", L"/work=C:\\w.txt"}, {L"/preview", L"/keep", L"/work=C:\\w.txt"}, {L"/staged"},
        {L"/preview", L"/run=x", L"/work=C:\\w.txt"}, {L"/remove-files", L"/run=x"}, {L"/rollback", L"/run="},
    };
    for (const auto &args : refused) {
        SCOPED_TRACE(::testing::PrintToString(args[args.size() - 1]));
        EXPECT_EQ(kRollbackBadArguments, Run(args));
    }
    // A work list that names a path outside the install folder keeps nothing.
    WriteWork(kTool, kNewDriver, {L"..\\outside.dll"});
    EXPECT_EQ(kRollbackIncomplete, Run({L"/keep", L"/work=" + kPrograms + L"\\work.txt"}));
    EXPECT_FALSE(Exists(kState));
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
