// A whole installation, twice, as the setup package plays it: DriverPrep, then PkgStage, on the
// real copy service. The second DriverPrep must remove the device's staged copy and its twin and
// keep the tool's, whose text does not name the device.
#include "harness.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <set>
#include <cstdlib>
#include <cstring>

namespace {

class WholeInstall : public ::testing::Test {
protected:
    void SetUp() override
    {
        harness::SetDeviceInstances(-1);
        harness::RemoveInstallFolder();
        baseline_ = harness::SnapshotInfStore();
        // Windows names every copy oemN.inf; Wine does so only when the source's own name is
        // taken in the store. Take both names so Wine behaves like Windows here.
        const std::string placeholder = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; placeholder\r\n";
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\flashwright.inf", placeholder));
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\brellan.inf", placeholder + ";\r\n"));
        tool_ = harness::SampleInf(L"flashwright.inf");
        device_ = harness::SampleInf(L"brellan.inf");
        ASSERT_TRUE(harness::PlaceSamplePackages());
    }
    void TearDown() override
    {
        harness::RemoveInstallFolder();
        harness::RestoreInfStore(baseline_);
    }

    // The OEM copies in the store whose bytes equal `bytes`.
    std::vector<std::wstring> CopiesOf(const std::string &bytes)
    {
        std::vector<std::wstring> copies;
        for (const auto &entry : harness::SnapshotInfStore()) {
            const std::wstring &name = entry.first;
            std::string got;
            if (name.compare(0, 3, L"oem") == 0 && name.size() > 4 && name.substr(name.size() - 4) == L".inf" &&
                harness::ReadFileBytes(harness::InfDir() + L"\\" + name, &got) && got == bytes)
                copies.push_back(name);
        }
        return copies;
    }

    void Play(const wchar_t *exe)
    {
        harness::RunResult run = harness::Run(exe, L"", harness::PressOkLetNoticeClose);
        EXPECT_FALSE(run.timedOut) << ::testing::PrintToString(std::wstring(exe));
        EXPECT_EQ(1u, run.exitCode) << ::testing::PrintToString(std::wstring(exe));
        for (const harness::BoxInfo &box : run.boxes) {
            if (box.caption == harness::kNoticeTitle) EXPECT_TRUE(harness::NoticeEndedAsDesigned(box)) << "the notice did not close by itself";
            else ADD_FAILURE() << "unexpected box " << ::testing::PrintToString(box.text);
        }
    }

    harness::StoreSnapshot baseline_;
    std::string tool_, device_;
};

TEST_F(WholeInstall, SecondInstallationReplacesTheDevicesCopy)
{
    Play(L"DriverPrep.exe");
    Play(L"PkgStage.exe");
    std::vector<std::wstring> tool = CopiesOf(tool_);
    std::vector<std::wstring> device = CopiesOf(device_);
    ASSERT_EQ(1u, tool.size());
    ASSERT_EQ(1u, device.size());
    std::wstring devicePnf = harness::InfDir() + L"\\" + device[0].substr(0, device[0].size() - 4) + L".pnf";
    EXPECT_TRUE(harness::FileExists(devicePnf));

    Play(L"DriverPrep.exe");
    EXPECT_EQ(tool, CopiesOf(tool_)) << "the tool's copy does not name the device and stays";
    EXPECT_TRUE(CopiesOf(device_).empty()) << "the device's copy is purged";
    EXPECT_FALSE(harness::FileExists(devicePnf)) << "with its twin";

    Play(L"PkgStage.exe");
    EXPECT_EQ(tool, CopiesOf(tool_));
    EXPECT_EQ(1u, CopiesOf(device_).size());
}

// The setup package plays the same installation, silently (/S), from a machine where nothing
// of the product has been placed yet. In the wine32 tier it is the 32-bit installer around the
// 32-bit programs: there an install folder under "Program Files (x86)" would fail with 4.
class Installer : public WholeInstall {
protected:
    void SetUp() override
    {
        WholeInstall::SetUp();
        harness::RemoveInstallFolder();
        before_ = harness::SnapshotInfStore();
    }
    void TearDown() override
    {
        harness::SetDeviceInstances(-1);
        WholeInstall::TearDown();
    }

    harness::RunResult Install()
    {
        harness::RunResult run = harness::Run(L"BrellanFlashwrightSetup.exe", L"/S", harness::PressOkLetNoticeClose, 60000);
        EXPECT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut);
        return run;
    }

    harness::StoreSnapshot before_;
};

TEST_F(Installer, CleanMachineEndsWithZeroAndBothCopiesStaged)
{
    harness::RunResult run = Install();
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(harness::OtherThanNotice(run.boxes).empty());
    EXPECT_EQ(1u, CopiesOf(tool_).size());
    EXPECT_EQ(1u, CopiesOf(device_).size());
    // Each INF's catalogs and per-platform source files stand beside it, byte for byte; a signed
    // release's catalogs carry its signature besides, and list the same members.
    std::vector<std::wstring> samples = harness::SampleFiles();
    EXPECT_LE(8u, samples.size());
    for (const std::wstring &file : samples) {
        std::string placed, sample;
        std::wstring sampleFile = harness::SuiteFile((L"data\\" + file).c_str());
        std::wstring placedFile = std::wstring(harness::kInstallFolder) + L"\\" + file;
        EXPECT_TRUE(harness::ReadFileBytes(sampleFile, &sample));
        bool same = harness::ReadFileBytes(placedFile, &placed) && placed == sample;
        if (!same && file.size() > 4 && _wcsicmp(file.c_str() + file.size() - 4, L".cat") == 0) {
            std::vector<harness::CatalogMember> placedMembers, sampleMembers;
            same = harness::ReadCatalogMembers(placedFile, &placedMembers) &&
                   harness::ReadCatalogMembers(sampleFile, &sampleMembers) && placed.size() > sample.size() &&
                   placedMembers.size() == sampleMembers.size();
            for (size_t i = 0; same && i < placedMembers.size(); i++) same = placedMembers[i].tag == sampleMembers[i].tag;
        }
        EXPECT_TRUE(same) << ::testing::PrintToString(file);
    }
}

TEST_F(Installer, RecordedDeviceEndsWithThreeAndNothingPlaced)
{
    harness::SetDeviceInstances(1);
    harness::RunResult run = Install();
    EXPECT_EQ(3u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(L"Found Brellan device", run.boxes[0].caption);
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
}

TEST_F(Installer, StaleCopyOfAnEarlierVersionIsPurged)
{
    const std::wstring stale = harness::InfDir() + L"\\oem90";
    ASSERT_TRUE(harness::WriteFileBytes(stale + L".inf", device_ + "; an earlier version\r\n"));
    ASSERT_TRUE(harness::WriteFileBytes(stale + L".pnf", "precompiled"));
    harness::RunResult run = Install();
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_FALSE(harness::FileExists(stale + L".inf"));
    EXPECT_FALSE(harness::FileExists(stale + L".pnf"));
    EXPECT_EQ(1u, CopiesOf(tool_).size());
    EXPECT_EQ(1u, CopiesOf(device_).size());
}

const wchar_t kSetup[] = L"BrellanFlashwrightSetup.exe";

// Starts a setup package without /S and presses Install on its welcome page, as a person would.
bool StartPastTheWelcome(const std::wstring &setup, PROCESS_INFORMATION *package)
{
    if (!harness::Start(setup.c_str(), L"", package)) return false;
    HWND wizard = NULL;
    for (int i = 0; i < 600 && !(wizard = FindWindowW(L"#32770", L"Brellan Flashwright Setup")); ++i) Sleep(50);
    if (!wizard) return false;
    // The window is up before its welcome page is: a press that comes first is lost. Press Next
    // once the page shows it enabled, and again while the same page stays.
    HWND welcome = NULL;
    for (int i = 0; i < 600; ++i, Sleep(50)) {
        HWND next = GetDlgItem(wizard, IDOK);
        HWND shown = NULL;
        for (HWND inner = FindWindowExW(wizard, NULL, L"#32770", NULL); inner; inner = FindWindowExW(wizard, inner, L"#32770", NULL))
            if (IsWindowVisible(inner)) shown = inner;
        if (welcome && shown != welcome) return true;
        if (!IsWindow(wizard)) return false;
        if (!shown || !next || !IsWindowEnabled(next) || !IsWindowVisible(next)) continue;
        if (!welcome) {
            welcome = shown;
            Sleep(harness::kPressAfterMs);
        } else if (i % 40 != 0) {
            continue;
        }
        PostMessageW(wizard, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)next);
    }
    return false;
}
const wchar_t kRollbackFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback";
const wchar_t kDeviceCaptionLine[] = L"  caption: \"Found Brellan device\"\r\n";
// The first line of each run's record in the log.
const char kRecordStart[] = "Brellan Flashwright setup " BRELLAN_VERSION "\r\n";

// Deployments as a management tool runs them: /S, often where nobody can see the screen, and
// nobody to press anything. Each must end by itself, say what happened in its log and leave a
// detection value that tells the truth. An earlier installation's version is recorded first.
class Unattended : public Installer {
protected:
    void SetUp() override
    {
        Installer::SetUp();
        log_ = harness::SuiteFile(L"unattended.log");
        DeleteFileW(log_.c_str());
        harness::SetDetectedVersion(L"0.9.0");
    }
    void TearDown() override
    {
        EXPECT_EQ(std::vector<std::wstring>(), harness::Running(harness::kPackagePrograms, true)) << "left running";
        harness::SetDetectedVersion(NULL);
        harness::RemoveEventSource();
        Installer::TearDown();
    }

    harness::RunResult Deploy(const std::wstring &setup, const std::wstring &switches = L"/S",
                              harness::Screen screen = harness::Screen::kUnseen)
    {
        std::wstring args = switches + L" /LOG=\"" + log_ + L"\"";
        harness::RunResult run = harness::Run(setup.c_str(), args.c_str(), harness::LeaveAlone, 30000, screen);
        EXPECT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut) << "the package waited for somebody";
        return run;
    }
    // Whether the last run's record in the log at `path` (by default the run's) holds `text`; a
    // failure shows that record. Each run adds a record to the log, after the earlier ones.
    ::testing::AssertionResult LogHas(const std::wstring &text, std::wstring path = L"")
    {
        std::string bytes;
        harness::ReadFileBytes(path.empty() ? log_ : path, &bytes);
        size_t record = bytes.rfind(kRecordStart);
        if (record != std::string::npos) bytes.erase(0, record);
        std::wstring log(bytes.begin(), bytes.end());
        if (log.find(text) != std::wstring::npos) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the log lacks that line:\n" << std::string(bytes);
    }

    std::wstring log_;
};

TEST_F(Unattended, RecordedDeviceEndsWithThreeByItselfAndLogsTheBox)
{
    harness::SetDeviceInstances(1);
    harness::RunResult run = Deploy(kSetup);
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_TRUE(LogHas(kDeviceCaptionLine));
    EXPECT_TRUE(LogHas(L"  text: \"Found Brellan device. Please uninstall Brellan Device to install Brellan "
                       L"Flashwright Installer\\n\"\r\n"));
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion()) << "a recorded device leaves the value as it was";
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
}

// A helper held for a moment once it is unpacked (a virus scanner reading it) cannot be started:
// the package starts it again and the run goes on. The hold must come before the package's first
// start of SetupRollback, so a round whose hold came after it is played again.
TEST_F(Unattended, HelperHeldForAMomentIsStartedAgain)
{
    const DWORD kHoldMs = 500;
    bool triedAgain = false;
    for (int round = 0; round < 3 && !triedAgain; ++round) {
        DeleteFileW(log_.c_str());
        PROCESS_INFORMATION run;
        const std::wstring args = L"/S /LOG=\"" + log_ + L"\"";
        ASSERT_TRUE(harness::Start(kSetup, args.c_str(), &run));
        const std::wstring helper = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Programs " +
                                    std::to_wstring(run.dwProcessId) + L"\\SetupRollback.exe";
        // Opened without sharing once the package has written and closed it.
        HANDLE held = INVALID_HANDLE_VALUE;
        const DWORD start = GetTickCount();
        while (held == INVALID_HANDLE_VALUE && GetTickCount() - start < 20000 && WaitForSingleObject(run.hProcess, 0) == WAIT_TIMEOUT)
            held = CreateFileW(helper.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (held != INVALID_HANDLE_VALUE) {
            Sleep(kHoldMs);
            CloseHandle(held);
        }
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(run.hProcess, 30000));
        DWORD code = 0xFFFFFFFF;
        GetExitCodeProcess(run.hProcess, &code);
        CloseHandle(run.hThread);
        CloseHandle(run.hProcess);
        EXPECT_EQ(0u, code) << "round " << round;
        triedAgain = LogHas(L"SetupRollback.exe started at try ");
    }
    EXPECT_TRUE(triedAgain) << "no round held SetupRollback before the package first started it";
    EXPECT_EQ(L"" BRELLAN_VERSION, harness::DetectedVersion());
}

// What a log read a week later on another machine must tell: when (date, time, offset), what was
// asked (the command line as given), by whom, where, on which Windows, with which package; each
// line's time; the exit code in words. Three runs leave three records.
TEST_F(Unattended, EachRunAddsADatedRecordAfterTheEarlierOnes)
{
    harness::SetDeviceInstances(1);
    for (int run = 0; run < 3; ++run) EXPECT_EQ(3u, Deploy(kSetup).exitCode);
    std::string log;
    ASSERT_TRUE(harness::ReadFileBytes(log_, &log));
    size_t records = 0;
    for (size_t at = log.find(kRecordStart); at != std::string::npos; at = log.find(kRecordStart, at + 1)) records++;
    EXPECT_EQ(3u, records) << log;
    std::string last = log.substr(log.rfind(kRecordStart));

    SYSTEMTIME now;
    GetLocalTime(&now);
    TIME_ZONE_INFORMATION zone;
    DWORD zoneState = GetTimeZoneInformation(&zone);
    long offset = -(zone.Bias + (zoneState == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : zone.StandardBias));
    char started[64];
    snprintf(started, sizeof started, "started %04u-%02u-%02u ", now.wYear, now.wMonth, now.wDay);
    char utc[32];
    snprintf(utc, sizeof utc, " local time (UTC%c%02ld:%02ld)\r\n", offset < 0 ? '-' : '+', labs(offset) / 60, labs(offset) % 60);
    wchar_t user[256], machine[256];
    DWORD cchUser = 256, cchMachine = 256;
    ASSERT_TRUE(GetUserNameW(user, &cchUser) && GetComputerNameW(machine, &cchMachine));
    OSVERSIONINFOW version = {sizeof version};
    auto rtlGetVersion = (LONG(WINAPI *)(OSVERSIONINFOW *))GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    ASSERT_TRUE(rtlGetVersion && rtlGetVersion(&version) == 0);
    char windows[96];
    snprintf(windows, sizeof windows, "; Windows %lu.%lu build %lu, x64\r\n", version.dwMajorVersion,
             version.dwMinorVersion, version.dwBuildNumber);
    auto narrow = [](const std::wstring &text) { return std::string(text.begin(), text.end()); };
    std::string package = narrow(harness::ProgramPath(kSetup));
    for (const std::string &field :
         {std::string(started), std::string(utc),
          "\r\ncommand line: \"" + package + "\" /S /LOG=\"" + narrow(log_) + "\"\r\n",
          "\r\naccount: " + narrow(user) + " (SYSTEM: no; elevated: yes)\r\n",
          "\r\nmachine: " + narrow(machine) + windows, "\r\npackage: " + package + "\r\n",
          std::string("exit code 3: a Brellan device is still recorded: uninstall it first; nothing was placed\r\n")})
        EXPECT_NE(std::string::npos, last.find(field)) << "no \"" << field << "\" in:\n" << last;
    EXPECT_EQ(last.size() - strlen("exit code 3: a Brellan device is still recorded: uninstall it first; nothing was placed\r\n"),
              last.rfind("] exit code 3: ") + 2) << "the exit code is the last line";
    // After the header, every line but those indented under one carries its time to the millisecond.
    size_t lines = 0;
    for (size_t at = last.find("\r\npackage: ") + 2; (at = last.find("\r\n", at) + 2) < last.size();) {
        if (last.compare(at, 2, "  ") == 0) continue;
        lines++;
        bool stamped = last.size() > at + 13 && last[at + 2] == ':' && last[at + 5] == ':' && last[at + 8] == '.' && last[at + 12] == ' ';
        for (size_t digit : {0, 1, 3, 4, 6, 7, 9, 10, 11}) stamped = stamped && isdigit((unsigned char)last[at + digit]);
        EXPECT_TRUE(stamped) << last.substr(at, last.find("\r\n", at) - at);
    }
    EXPECT_LT(5u, lines);
}

// A log past its bound becomes <name>.1.log whole at the next run's start; the run's record starts
// the log afresh.
TEST_F(Unattended, ALogPastItsBoundIsKeptWholeBesideTheNewOne)
{
    const std::wstring older = log_.substr(0, log_.size() - 4) + L".1.log";
    DeleteFileW(older.c_str());
    std::string earlier;
    for (int line = 0; earlier.size() <= 1024 * 1024; ++line) earlier += "an earlier run's line " + std::to_string(line) + "\r\n";
    HANDLE file = CreateFileW(log_.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, earlier.data(), (DWORD)earlier.size(), &written, NULL);
    CloseHandle(file);

    harness::SetDeviceInstances(1);
    EXPECT_EQ(3u, Deploy(kSetup).exitCode);
    std::string kept, log;
    EXPECT_TRUE(harness::ReadFileBytes(older, &kept));
    EXPECT_TRUE(kept == earlier) << "the earlier log is kept whole, " << kept.size() << " of " << earlier.size() << " bytes";
    ASSERT_TRUE(harness::ReadFileBytes(log_, &log));
    EXPECT_EQ(0u, log.find(kRecordStart));
    EXPECT_EQ(0u, log.rfind(kRecordStart));
    DeleteFileW(older.c_str());
}

TEST_F(Unattended, RefusedInfEndsWithFourAndLogsTheRefusal)
{
    harness::RunResult run = Deploy(harness::SuiteFile(L"refusing\\BrellanFlashwrightSetup.exe"));
    EXPECT_EQ(4u, run.exitCode);
    EXPECT_TRUE(LogHas(L"  text: \"SetupCopyOEMInf() Failed with error 0x"));
}

TEST_F(Unattended, CleanMachineEndsWithZeroAndRecordsTheVersionPastAnUnreadableEntry)
{
    ASSERT_TRUE(CreateDirectoryW((harness::InfDir() + L"\\oem7.inf").c_str(), NULL));
    harness::RunResult run = Deploy(kSetup);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(LogHas(L"  text: \"ReadFile Failed\"\r\n"));
    EXPECT_TRUE(LogHas(L"a stale copy of the driver may have stayed"));
    EXPECT_EQ(L"" BRELLAN_VERSION, harness::DetectedVersion());
    EXPECT_EQ(1u, CopiesOf(tool_).size());
    EXPECT_EQ(1u, CopiesOf(device_).size());
}

// A run that fails once DriverPrep has purged leaves the machine as it found it: every file of the
// INF store with its bytes, the install folder, the detection value.
class Rollback : public Unattended {
protected:
    void SetUp() override
    {
        Unattended::SetUp();
        // An earlier version's copy naming the device, with its twin, under the lowest name Wine
        // hands out: the run's first staged copy takes that name once DriverPrep has freed it.
        earlier_ = harness::InfDir() + L"\\oem0.inf";
        ASSERT_TRUE(harness::WriteFileBytes(earlier_, device_ + "; an earlier version\r\n"));
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\oem0.pnf", "precompiled"));
        before_ = harness::SnapshotInfStore();
    }
    void ExpectMachineAsItWas(const harness::RunResult &run, DWORD exitCode)
    {
        EXPECT_EQ(exitCode, run.exitCode);
        EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
        EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
        EXPECT_TRUE(LogHas(L"put back " + earlier_ + L"\r\n"));
        EXPECT_TRUE(LogHas(L"the machine is as the run found it"));
    }
    harness::RunResult DeployRefusing(const wchar_t *which) { return Deploy(harness::SuiteFile(which)); }
    // Ends every program of the package at once while PkgStage's refusal waits for a person, as a
    // power cut would; DriverPrep has purged by then.
    void CutOffWhileTheRefusalWaits()
    {
        PROCESS_INFORMATION cut;
        ASSERT_TRUE(StartPastTheWelcome(harness::SuiteFile(L"refusing\\BrellanFlashwrightSetup.exe"), &cut));
        for (int i = 0; i < 600 && !FindWindowW(L"#32770", L"Error"); ++i) Sleep(50);
        EXPECT_NE(nullptr, FindWindowW(L"#32770", L"Error")) << "PkgStage's refusal never came up";
        EXPECT_EQ(3u, harness::Running(harness::kPackagePrograms, true).size()) << "the package, its watch, PkgStage";
        WaitForSingleObject(cut.hProcess, 10000);
        CloseHandle(cut.hThread);
        CloseHandle(cut.hProcess);
        ASSERT_FALSE(harness::FileExists(earlier_)) << "DriverPrep had purged";
    }
    // Every kept state, set aside or earlier, goes: the next test starts from a clean machine.
    void RemoveKeptStates()
    {
        WIN32_FIND_DATAW entry;
        const std::wstring parent = L"C:\\Program Files\\Quillmere\\";
        HANDLE search = FindFirstFileW((parent + L"Brellan Flashwright Setup Rollback*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            SHFILEOPSTRUCTW remove = {};
            std::wstring from = parent + entry.cFileName + L'\0';
            remove.wFunc = FO_DELETE;
            remove.pFrom = from.c_str();
            remove.fFlags = FOF_NO_UI;
            SHFileOperationW(&remove);
        } while (FindNextFileW(search, &entry));
        FindClose(search);
    }

    std::wstring earlier_;
};

TEST_F(Rollback, RefusedToolInfPutsBackTheEarlierCopy)
{
    ExpectMachineAsItWas(DeployRefusing(L"refusing\\BrellanFlashwrightSetup.exe"), 4);
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder)) << "the folder the run made is gone";
}

TEST_F(Rollback, RefusedDeviceInfRemovesTheToolsCopyUnderTheReusedName)
{
    ExpectMachineAsItWas(DeployRefusing(L"refusing-device\\BrellanFlashwrightSetup.exe"), 4);
    EXPECT_TRUE(LogHas(L"removed " + earlier_ + L", staged by the run\r\n"));
}

TEST_F(Rollback, BlockedInstallFolderPutsBackTheEarlierCopy)
{
    ASSERT_TRUE(harness::WriteFileBytes(harness::kInstallFolder, "a file where the folder belongs"));
    ExpectMachineAsItWas(Deploy(kSetup), 5);
    std::string blocker;
    EXPECT_TRUE(harness::ReadFileBytes(harness::kInstallFolder, &blocker) && blocker == "a file where the folder belongs");
}

// Every program of the package ended at once while PkgStage's refusal waits for a person, as a
// power cut would: the next run puts back what that one changed before it does its own work.
TEST_F(Rollback, RunCutOffIsPutBackByTheNext)
{
    CutOffWhileTheRefusalWaits();
    ExpectMachineAsItWas(DeployRefusing(L"refusing\\BrellanFlashwrightSetup.exe"), 4);
    EXPECT_TRUE(LogHas(L"an earlier run left what it changed kept: putting it back"));
}

// Other vendors' packages staged after a run was cut off, one at a new name and one at the name
// DriverPrep had freed, stay through the next runs; the earlier copy that cannot have its name
// back stays kept, never lost.
TEST_F(Rollback, OtherVendorsCopiesStagedMeanwhileStay)
{
    CutOffWhileTheRefusalWaits();
    const std::string other = "[Version]\r\nSignature=\"$Windows NT$\"\r\n; another vendor's package\r\n";
    ASSERT_TRUE(harness::WriteFileBytes(earlier_, other));
    ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\oem77.inf", other + "; at a new name\r\n"));
    EXPECT_EQ(4u, DeployRefusing(L"refusing\\BrellanFlashwrightSetup.exe").exitCode);
    std::string bytes;
    EXPECT_TRUE(harness::ReadFileBytes(earlier_, &bytes) && bytes == other);
    EXPECT_TRUE(harness::ReadFileBytes(harness::InfDir() + L"\\oem77.inf", &bytes) && bytes == other + "; at a new name\r\n");
    EXPECT_TRUE(LogHas(earlier_ + L" now holds another package: the earlier copy stays kept in"));
    EXPECT_TRUE(harness::ReadFileBytes(std::wstring(kRollbackFolder) + L" (earlier 1)\\inf\\oem0.inf", &bytes) &&
                bytes == device_ + "; an earlier version\r\n") << "the only copy of the earlier driver";
    RemoveKeptStates();
}

// A kept state damaged after a cut (a disk error, an older release's format), emptied or cut
// short, is set aside: the next run removes nothing that is not the product's.
TEST_F(Rollback, DamagedKeptStateRemovesNothingThatIsNotTheProducts)
{
    for (bool emptied : {true, false}) {
        SCOPED_TRACE(emptied ? "emptied" : "cut short");
        CutOffWhileTheRefusalWaits();
        const std::wstring record = std::wstring(kRollbackFolder) + L"\\armed";
        std::string bytes;
        ASSERT_TRUE(harness::ReadFileBytes(record, &bytes));
        ASSERT_TRUE(harness::WriteFileBytes(record, emptied ? "" : bytes.substr(0, bytes.size() / 2)));
        const harness::StoreSnapshot store = harness::SnapshotInfStore();
        EXPECT_EQ(0u, Deploy(kSetup).exitCode);
        EXPECT_TRUE(LogHas(L"set aside the kept state in " + std::wstring(kRollbackFolder) + L" (set aside "));
        const harness::StoreSnapshot after = harness::SnapshotInfStore();
        for (const auto &file : store) EXPECT_TRUE(after.count(file.first)) << "removed " << ::testing::PrintToString(file.first);
        RemoveKeptStates();
        harness::RemoveUninstallEntry();
        harness::RestoreInfStore(before_);
        ASSERT_TRUE(harness::WriteFileBytes(earlier_, device_ + "; an earlier version\r\n"));
    }
}

// The run's own copy held open without delete sharing (a virus scanner) while its rollback runs: the rollback cannot
// put the earlier copy back and keeps it, and the run ends with 5, saying so; the next run puts it
// back, before its own work.
TEST_F(Rollback, CopyHeldOpenDuringTheRollbackIsPutBackByTheNextRun)
{
    HANDLE held = INVALID_HANDLE_VALUE;
    harness::RunResult run = harness::Run(harness::SuiteFile(L"refusing-device\\BrellanFlashwrightSetup.exe").c_str(),
                                          (L"/LOG=\"" + log_ + L"\"").c_str(), [&](const harness::BoxInfo &box) {
        if (box.caption != L"Error") return 0;   // the installer's window, the notice
        if (held == INVALID_HANDLE_VALUE)
            held = CreateFileW(earlier_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        return IDOK;
    }, 60000);
    EXPECT_EQ(5u, run.exitCode) << "not 4: the earlier copy is not back, and the run says so";
    ASSERT_NE(INVALID_HANDLE_VALUE, held) << "the run's copy under the freed name was not there to hold";
    CloseHandle(held);
    EXPECT_TRUE(LogHas(L"could not put back " + earlier_ + L": the run's copy there could not be removed"));
    EXPECT_TRUE(LogHas(L"Windows refused to stage a driver package. Afterwards not everything the run changed was put back"));
    ExpectMachineAsItWas(DeployRefusing(L"refusing-device\\BrellanFlashwrightSetup.exe"), 4);
}

// The package ended alone (End task, a tool's time-out) while DriverPrep's box waits: the
// programs it started end with it, and the next run is not kept out.
TEST_F(Rollback, PackageEndedAloneTakesItsProgramsWithIt)
{
    harness::SetDeviceInstances(1);
    PROCESS_INFORMATION package;
    ASSERT_TRUE(StartPastTheWelcome(kSetup, &package));
    for (int i = 0; i < 600 && !FindWindowW(L"#32770", L"Found Brellan device"); ++i) Sleep(50);
    ASSERT_NE(nullptr, FindWindowW(L"#32770", L"Found Brellan device"));
    TerminateProcess(package.hProcess, 1);
    WaitForSingleObject(package.hProcess, 10000);
    CloseHandle(package.hThread);
    CloseHandle(package.hProcess);
    std::vector<std::wstring> left;
    for (int i = 0; i < 100 && !(left = harness::Running({L"SetupWatch.exe", L"DriverPrep.exe"})).empty(); ++i) Sleep(50);
    EXPECT_EQ(std::vector<std::wstring>(), left) << "outlived the package";
    EXPECT_EQ(3u, Deploy(kSetup).exitCode) << "not kept out by the ended run";
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
}

// The transaction goes by what each helper and program did, never by an exit code alone: Wine
// reports 0 (or 1) for a program ended from outside. The faulty package's programs play each such
// end at its worst moment (faulty_program.cpp); three earlier copies of the driver are in the
// store. Every case ends with 5, the machine as it was, and the log saying what happened.
class Faults : public Rollback {
protected:
    void SetUp() override
    {
        Rollback::SetUp();
        PlaceEarlierCopies();
        before_ = harness::SnapshotInfStore();
    }
    // oem0.inf (with its twin, from Rollback), oem91.inf and oem92.inf: earlier copies of the driver.
    void PlaceEarlierCopies()
    {
        ASSERT_TRUE(harness::WriteFileBytes(earlier_, device_ + "; an earlier version\r\n"));
        ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\oem0.pnf", "precompiled"));
        for (const wchar_t *name : {L"oem91", L"oem92"}) {
            ASSERT_TRUE(harness::WriteFileBytes(harness::InfDir() + L"\\" + name + L".inf", device_ + "; older still\r\n"));
        }
    }
    // Forty more earlier copies, with their twins: enough to keep DriverPrep purging a while.
    void PlaceFortyMoreCopies()
    {
        for (int n = 100; n < 140; ++n) {
            std::wstring name = harness::InfDir() + L"\\oem" + std::to_wstring(n);
            ASSERT_TRUE(harness::WriteFileBytes(name + L".inf", device_ + "; older still\r\n"));
            ASSERT_TRUE(harness::WriteFileBytes(name + L".pnf", "precompiled"));
        }
        before_ = harness::SnapshotInfStore();
    }
    void TearDown() override
    {
        DeleteFileW(kFaultFile);
        DeleteFileW(L"C:\\brellan-older-armed");
        RemoveKeptStates();
        Rollback::TearDown();
    }
    harness::RunResult DeployFaulty(const char *faults)
    {
        EXPECT_TRUE(harness::WriteFileBytes(kFaultFile, faults));
        return Deploy(harness::SuiteFile(L"faulty\\BrellanFlashwrightSetup.exe"));
    }
    static constexpr const wchar_t *kFaultFile = L"C:\\brellan-fault.txt";
};

// A watch ended from outside while its program runs: its exit code means nothing, and the program
// it left is ended before anything is put back, so that nothing of the run changes the store after
// that. Forty more earlier copies (with their twins) keep DriverPrep purging when its watch goes.
TEST_F(Faults, AWatchEndedFromOutsideHasItsProgramEndedBeforeAnythingIsPutBack)
{
    PlaceFortyMoreCopies();
    for (const char *fault : {"watch-driverprep", "watch-pkgstage"}) {
        SCOPED_TRACE(fault);
        EXPECT_EQ(5u, DeployFaulty(fault).exitCode);
        EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore())) << "every copy back, none staged";
        EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
        EXPECT_FALSE(harness::FileExists(kRollbackFolder)) << "let go of once put back";
        EXPECT_TRUE(LogHas(L"SetupWatch.exe ended with 0, and left no verdict of its own: it did not end by itself"));
        EXPECT_TRUE(LogHas(L", which the watch left running"));
        EXPECT_TRUE(LogHas(L"exit code 5: a step could not run; the machine is as the run found it"));
        EXPECT_EQ(std::vector<std::wstring>(), harness::Running({L"DriverPrep.exe", L"PkgStage.exe"}));
    }
}

// The real watch ended from outside (TerminateProcess, as Task Manager or a deployment tool's
// time-out does) while DriverPrep shows its notice, before it purges 43 earlier copies: the package
// ends DriverPrep before it puts anything back, and every copy is back.
TEST_F(Faults, TheRealWatchEndedFromOutsideLosesNoCopy)
{
    PlaceFortyMoreCopies();
    std::vector<std::wstring> ended;
    harness::RunResult run = harness::Run(kSetup, (L"/LOG=\"" + log_ + L"\"").c_str(), [&](const harness::BoxInfo &box) {
        if (box.caption == L"Installing" && ended.empty()) ended = harness::Running({L"SetupWatch.exe"}, true);
        return 0;
    }, 60000);
    ASSERT_EQ(1u, ended.size()) << "the watch was not there to end";
    EXPECT_EQ(5u, run.exitCode);
    EXPECT_TRUE(LogHas(L"left no verdict of its own: it did not end by itself"));
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore())) << "every copy back";
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
    EXPECT_FALSE(harness::FileExists(kRollbackFolder));
    EXPECT_EQ(std::vector<std::wstring>(), harness::Running({L"DriverPrep.exe"}));
}

// A rollback cut off is never reported as the machine as it was: the run ends with 5 (a device
// recorded, 3, too), its last line saying what stays kept, the state armed; the next run puts it
// back before its own work.
TEST_F(Faults, ARollbackCutOffEndsWith5SayingWhatStaysKeptAndTheNextRunPutsItBack)
{
    EXPECT_EQ(5u, DeployFaulty("pkgstage rollback0").exitCode);
    EXPECT_TRUE(LogHas(L"exit code 5: a step could not run; not everything the run changed was put back: what is not"
                       L" stays kept in C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback"));
    EXPECT_FALSE(LogHas(L"the machine is as the run found it"));
    EXPECT_NE(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore())) << "the purged copies are still kept";
    EXPECT_EQ(5u, DeployFaulty("pkgstage").exitCode);
    EXPECT_TRUE(LogHas(L"an earlier run left what it changed kept: putting it back"));
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore())) << "every copy back";
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
    EXPECT_FALSE(harness::FileExists(kRollbackFolder));
    harness::SetDeviceInstances(1);
    EXPECT_EQ(5u, DeployFaulty("rollback0").exitCode) << "not 3: its state is still armed";
    harness::SetDeviceInstances(0);
    EXPECT_TRUE(LogHas(L"A Brellan device is still recorded; nothing was installed. Afterwards not everything the run"
                       L" changed was put back"));
}

TEST_F(Faults, EachHelperOrProgramEndedFromOutsideEndsWith5AndTheMachineAsItWas)
{
    const struct {
        const char *fault;
        const wchar_t *said;
    } cases[] = {
        {"keep", L"SetupRollback ended with 0, but sealed no record"},
        {"commit", L"but the run's record in C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback is still armed"},
        // The step's own result, not that of the rollback that followed it.
        {"commit1", L"The run could not be committed (result: 1: "},
        {"driverprep", L"DriverPrep.exe gives 0 only after a box, and showed none: it did not end by itself"},
        // Its self-closing notice is not the box that says a device is recorded.
        {"notice0", L"DriverPrep.exe gives 0 only after a box, and showed none: it did not end by itself"},
        {"pkgstage", L"PkgStage.exe gives 0 only after a box, and showed none: it did not end by itself"},
        {"pkgstage1", L"the INF store holds no copy of flashwright.inf"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(5u, DeployFaulty(c.fault).exitCode);
        EXPECT_TRUE(LogHas(c.said));
        EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore())) << "no copy lost, none added";
        EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
        EXPECT_FALSE(harness::FileExists(kRollbackFolder)) << "let go of once put back";
        EXPECT_TRUE(LogHas(L"exit code 5: a step could not run; the machine is as the run found it"));
    }
    // And the same package with no fault installs.
    EXPECT_EQ(0u, DeployFaulty("none").exitCode);
    EXPECT_EQ(L"" BRELLAN_VERSION, harness::DetectedVersion());
}

// An older run's sealed record found in place of this run's when it rolls back: it is not this
// run's, so the state is set aside whole, and the copies the run kept stay in it, not lost.
TEST_F(Faults, AnOlderRecordInPlaceOfTheRunsIsSetAsideWithTheRunsCopies)
{
    ASSERT_EQ(0u, DeployFaulty("save").exitCode);
    // The same earlier copies again: the older record verifies against this run's kept files.
    harness::RestoreInfStore(before_);
    PlaceEarlierCopies();
    harness::SetDetectedVersion(L"0.9.0");

    EXPECT_EQ(5u, DeployFaulty("swap pkgstage").exitCode);
    EXPECT_TRUE(LogHas(L"(its record is not this run's): nothing was put back from it"));
    const std::wstring aside = std::wstring(kRollbackFolder) + L" (set aside 1)\\inf\\";
    std::string kept;
    EXPECT_TRUE(harness::ReadFileBytes(aside + L"oem0.inf", &kept) && kept == device_ + "; an earlier version\r\n");
    EXPECT_TRUE(harness::ReadFileBytes(aside + L"oem91.inf", &kept) && kept == device_ + "; older still\r\n");
}

// A vendor's folder of 200 more files at deep paths with long names, with a log path of 250
// characters: the install places every file, a refused one puts everything back, and every line
// of the package's helpers reaches the log.
TEST_F(Rollback, LargeVendorFolderAndLongLogPathInstallAndRollBackWhole)
{
    const std::wstring folder = L"C:\\brellan logs\\";
    const std::wstring log = folder + std::wstring(250 - folder.size() - 4, L'l') + L".log";
    harness::RunResult run = harness::Run(harness::SuiteFile(L"deep-refusing\\BrellanFlashwrightSetup.exe").c_str(),
                                          (L"/S \"/LOG=" + log + L"\"").c_str(), harness::LeaveAlone, 60000, harness::Screen::kUnseen);
    EXPECT_EQ(4u, run.exitCode);
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_TRUE(LogHas(L"rolled back (files put back: 2, copies removed: 0)", log));
    EXPECT_TRUE(LogHas(L"the machine is as the run found it", log));

    run = harness::Run(harness::SuiteFile(L"deep\\BrellanFlashwrightSetup.exe").c_str(), (L"/S \"/LOG=" + log + L"\"").c_str(),
                       harness::LeaveAlone, 60000, harness::Screen::kUnseen);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(harness::FileExists(std::wstring(harness::kInstallFolder) +
                                    L"\\firmware\\bank3\\calibration tables\\revision 2026\\bank3 table 049 xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.bin"));
    EXPECT_TRUE(LogHas(L"placed the 208 files of the driver packages in", log));
    DeleteFileW(log.c_str());
    RemoveDirectoryW(L"C:\\brellan logs");
    harness::RemoveUninstallEntry();
}

// The switches a deployer types, on a window station nobody can see, with a device recorded: the
// run ends with 3 once the box is answered, and its log is where the switch says.
class Switches : public Unattended {
protected:
    void TearDown() override
    {
        for (const std::wstring &path : written_) DeleteFileW(path.c_str());
        RemoveDirectoryW(L"C:\\brellan logs");
        Unattended::TearDown();
    }
    harness::RunResult RunWith(const std::wstring &switches, harness::Screen screen = harness::Screen::kUnseen)
    {
        harness::RunResult run = harness::Run(kSetup, switches.c_str(), harness::LeaveAlone, 30000, screen);
        EXPECT_FALSE(run.timedOut) << "the package waited for somebody";
        return run;
    }
    std::wstring DefaultLog()
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        return std::wstring(temp) + L"BrellanFlashwrightSetup.log";
    }
    std::vector<std::wstring> written_;
};

TEST_F(Switches, EveryLogFormWritesItsLogWhereItSays)
{
    harness::SetDeviceInstances(1);
    wchar_t start[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, start);
    const std::wstring dir = L"C:\\brellan logs\\";
    const struct {
        std::wstring switches;
        std::wstring log;
    } cases[] = {
        {L"/S /LOG=C:\\brellan-plain.log", L"C:\\brellan-plain.log"},
        {L"/S /LOG=\"" + dir + L"quoted value.log\"", dir + L"quoted value.log"},
        {L"/S \"/LOG=" + dir + L"quoted switch.log\"", dir + L"quoted switch.log"},
        {L"/s /log=C:/brellan logs/forward.log", L"C:\\brellan"},   // unquoted: the space ends it
        {L"/S \"/log=C:/brellan logs/forward.log\"", dir + L"forward.log"},
        {L"/S /LOG=brellan-relative.log", std::wstring(start) + L"\\brellan-relative.log"},
        {L"/S \"/LOG=" + dir + L"it's.log\" /LOG=C:\\brellan-last.log /UNKNOWN", L"C:\\brellan-last.log"},
        {L"\"/LOG=" + dir + L"no-S.log\"", dir + L"no-S.log"},   // nobody can see: answered all the same
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.switches));
        written_.push_back(c.log);
        DeleteFileW(c.log.c_str());
        EXPECT_EQ(3u, RunWith(c.switches).exitCode);
        EXPECT_TRUE(LogHas(kDeviceCaptionLine, c.log));
    }
    // Without /S where nobody can see the screen, nobody could press Install: the run goes on as
    // with /S.
    EXPECT_TRUE(LogHas(L"nobody can see this screen (its window station is not visible): the run goes on as with /S",
                       dir + L"no-S.log"));
    written_.push_back(dir + L"it's.log");
    EXPECT_EQ(1639u, RunWith(L"/S \"/LOG=" + dir + L"it's.log\" /BOXTIMEOUT=abc").exitCode) << "the apostrophe swallows nothing";
    EXPECT_TRUE(LogHas(L"/BOXTIMEOUT=abc is not a number of seconds", dir + L"it's.log"));
}

TEST_F(Switches, UnusableLogValuesEndWith1639AndSayWhyInTheDefaultLog)
{
    harness::SetDeviceInstances(1);
    const struct {
        const wchar_t *switches;
        const wchar_t *why;
    } cases[] = {
        {L"/S /LOG=\"C:\\brellan logs\\open.log", L"/LOG=C:\\brellan logs\\open.log is not a log file the package can use: its quote is left open"},
        {L"/S /LOG=", L"/LOG= is not a log file the package can use: the name is empty"},
        {L"/S \"/LOG=C:\\brellan logs\\\"", L"/LOG=C:\\brellan logs\\ is not a log file the package can use: it names a folder"},
        {L"/S /LOG=C:\\windows", L"/LOG=C:\\windows is not a log file the package can use: it names a folder"},
        {L"/S /LOG=C:\\a|b.log", L"/LOG=C:\\a|b.log is not a log file the package can use: no file name may hold the character |"},
        {L"/S /LOG=NUL", L"/LOG=NUL is not a log file the package can use: it names the device NUL, not a file"},
        {L"/S /LOG=C:\\made\\by\\a\\bad\\switch\\nul.log", L"it names the device nul, not a file"},
        {L"/S \"/LOG=C:\\brellan logs\\Com7.txt\"", L"it names the device Com7, not a file"},
        {L"/S \"/LOG=C:\\made\\by\\a\\bad\\switch\\LPT1\"", L"it names the device LPT1, not a file"},
        {L"/S /LOG=C:\\made\\by\\a\\bad\\switch\\long-enough-to-pass-the-limit-of-windows-paths-xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
         L"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
         L"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx.log",
         L"its path is longer than 259 characters (MAX_PATH)"},
        {L"/S /BOXTIMEOUT=", L"/BOXTIMEOUT= is not a number of seconds from 0 to 86400"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.switches)));
        DeleteFileW(DefaultLog().c_str());
        EXPECT_EQ(1639u, RunWith(c.switches).exitCode);
        EXPECT_TRUE(LogHas(c.why, DefaultLog()));
        EXPECT_FALSE(harness::FileExists(L"C:\\made")) << "a run that ends with 1639 leaves no folder it made";
    }
}

// SYSTEM's %TEMP% is the machine's own, where every user may create files: without /LOG= the log
// then goes where only administrators can write.
TEST_F(Switches, WhereTempIsTheMachinesTheLogGoesToWindowsLogs)
{
    harness::SetDeviceInstances(1);
    const std::wstring machineTemp = harness::WindowsDir() + L"\\Temp";
    const std::wstring log = harness::WindowsDir() + L"\\Logs\\BrellanFlashwrightSetup.log";
    wchar_t temp[MAX_PATH], tmp[MAX_PATH];
    ASSERT_NE(0u, GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH));
    ASSERT_NE(0u, GetEnvironmentVariableW(L"TMP", tmp, MAX_PATH));
    SetEnvironmentVariableW(L"TEMP", machineTemp.c_str());
    SetEnvironmentVariableW(L"TMP", machineTemp.c_str());
    written_.push_back(log);
    DeleteFileW(log.c_str());
    harness::RunResult run = RunWith(L"/S");
    SetEnvironmentVariableW(L"TEMP", temp);
    SetEnvironmentVariableW(L"TMP", tmp);
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_TRUE(LogHas(kDeviceCaptionLine, log));
}

TEST_F(Switches, TheOldLockNameHeldByAnybodyBlocksNothing)
{
    HANDLE squatter = CreateMutexW(NULL, FALSE, L"Global\\Quillmere Brellan Flashwright Setup");
    harness::SetDeviceInstances(1);
    EXPECT_EQ(3u, Deploy(kSetup).exitCode);
    CloseHandle(squatter);
}

// A box the watch answered leaves the outcome to the program: a PkgStage that asks first (as
// Windows' driver-publisher prompt does) and then succeeds installs.
TEST_F(Switches, PkgStageThatWentOnAfterItsBoxInstalls)
{
    harness::RunResult run = Deploy(harness::SuiteFile(L"asking\\BrellanFlashwrightSetup.exe"));
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(LogHas(L"  caption: \"Windows Security\"\r\n  text: \"Would you like to install this device software?\"\r\n"
                       L"  buttons: \"OK\" \"Cancel\"\r\n"));
    EXPECT_TRUE(LogHas(L"the watch pressed \"OK\" (1)"));
    EXPECT_EQ(L"" BRELLAN_VERSION, harness::DetectedVersion());
}

// The package renamed, and another program put in its place, while its box waits (a user's
// Downloads during an elevation over the shoulder): the uninstaller the entry will run, elevated,
// is still the package that ran.
TEST_F(Switches, UninstallerIsThePackageThatRanWhateverTheStartFolderHolds)
{
    const std::wstring folder = L"C:\\downloads";
    const std::wstring package = folder + L"\\BrellanFlashwrightSetup.exe";
    CreateDirectoryW(folder.c_str(), NULL);
    ASSERT_TRUE(CopyFileW(harness::SuiteFile(L"asking\\BrellanFlashwrightSetup.exe").c_str(), package.c_str(), FALSE));
    std::string original;
    ASSERT_TRUE(harness::ReadFileBytes(package, &original));
    bool tried = false;
    harness::RunResult run = harness::Run(package.c_str(), (L"/S /BOXTIMEOUT=30 /LOG=\"" + log_ + L"\"").c_str(),
                                          [&](const harness::BoxInfo &box) {
        if (box.caption != L"Windows Security") return 0;
        if (!tried && MoveFileW(package.c_str(), (package + L".old").c_str()))
            CopyFileW(harness::SuiteFile(L"hang.exe").c_str(), package.c_str(), FALSE);
        tried = true;
        return IDOK;
    }, 60000, harness::Screen::kVisible);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(tried);
    std::string copy;
    EXPECT_TRUE(harness::ReadFileBytes(std::wstring(harness::kInstallFolder) + L"\\BrellanFlashwrightSetup.exe", &copy));
    EXPECT_TRUE(copy == original) << "the install folder's uninstaller is not the package that ran";
    for (const wchar_t *name : {L"\\BrellanFlashwrightSetup.exe", L"\\BrellanFlashwrightSetup.exe.old"}) DeleteFileW((folder + name).c_str());
    RemoveDirectoryW(folder.c_str());
    harness::RemoveUninstallEntry();
}

TEST_F(Switches, WindowedRunLogsTheBoxAPersonAnswered)
{
    harness::SetDeviceInstances(1);
    std::wstring args = L"/LOG=\"" + log_ + L"\"";
    // A person reads the box for a second, then presses OK.
    harness::RunResult run = harness::Run(kSetup, args.c_str(), [](const harness::BoxInfo &) {
        Sleep(1000);
        return IDOK;
    }, 30000, harness::Screen::kVisible);
    EXPECT_EQ(3u, run.exitCode);
    EXPECT_TRUE(LogHas(kDeviceCaptionLine));
    EXPECT_FALSE(LogHas(L"the watch pressed")) << "the person answered it";
}

// Removal as Apps & features, winget and deployment tools run it, and the version rules.
class Uninstall : public Unattended {
protected:
    void TearDown() override
    {
        harness::RemoveUninstallEntry();
        Unattended::TearDown();
    }
    // "C:\...\BrellanFlashwrightSetup.exe" /UNINSTALL /S, from the entry, as a deployment tool runs it.
    harness::RunResult RunQuietUninstall()
    {
        const std::wstring quiet = harness::UninstallEntry(L"QuietUninstallString");
        const size_t close = quiet.find(L'"', 1);
        EXPECT_TRUE(!quiet.empty() && quiet[0] == L'"' && close != std::wstring::npos) << ::testing::PrintToString(quiet);
        if (quiet.empty() || close == std::wstring::npos) return harness::RunResult();
        EXPECT_EQ(L"/UNINSTALL /S", quiet.substr(close + 2));
        const std::wstring args = quiet.substr(close + 2) + L" /LOG=\"" + log_ + L"\"";
        return harness::Run(quiet.substr(1, close - 1).c_str(), args.c_str(), harness::LeaveAlone, 30000, harness::Screen::kUnseen);
    }
    // A restart, as Wine plays one: the restart's work is carried out.
    void Restart()
    {
        harness::RunResult boot = harness::Run(L"C:\\windows\\system32\\wineboot.exe", L"-r", harness::LeaveAlone, 60000);
        EXPECT_TRUE(boot.started && !boot.timedOut);
    }
    std::wstring RestartWork()
    {
        HKEY key = NULL;
        wchar_t work[8192] = {0};
        DWORD cb = sizeof work - 2 * sizeof work[0];
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", 0, KEY_READ, &key) != ERROR_SUCCESS)
            return L"";
        RegQueryValueExW(key, L"PendingFileRenameOperations", NULL, NULL, (BYTE *)work, &cb);
        RegCloseKey(key);
        std::wstring text(work, cb / sizeof work[0]);
        for (wchar_t &c : text) if (c == 0) c = L'|';
        return text;
    }
    static const std::wstring VendorFolder() { return L"C:\\Program Files\\Quillmere"; }
};

// An uninstall from the entry cannot delete its own file and leaves it to the restart; an
// install before that restart takes it back, and after the restart the entry's uninstall runs.
TEST_F(Uninstall, InstallBeforeTheRestartSurvivesIt)
{
    harness::SetDetectedVersion(NULL);
    ASSERT_EQ(0u, Deploy(kSetup).exitCode);
    ASSERT_EQ(0u, RunQuietUninstall().exitCode);
    EXPECT_NE(std::wstring::npos, RestartWork().find(L"Brellan Flashwright Installer\\BrellanFlashwrightSetup.exe"));
    ASSERT_EQ(0u, Deploy(kSetup).exitCode);
    EXPECT_TRUE(LogHas(L"cancelled the restart's removal of"));
    EXPECT_EQ(std::wstring::npos, RestartWork().find(L"Brellan Flashwright Installer"));
    Restart();
    EXPECT_TRUE(harness::FileExists(std::wstring(harness::kInstallFolder) + L"\\BrellanFlashwrightSetup.exe"));
    EXPECT_EQ(0u, RunQuietUninstall().exitCode);
    EXPECT_TRUE(CopiesOf(tool_).empty());
    EXPECT_TRUE(CopiesOf(device_).empty());
    Restart();
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
}

// The vendor folder goes only when an install made it: one that stood before the first install
// (another product's, empty for now) stays after an uninstall and a restart.
TEST_F(Uninstall, VendorFolderThatStoodBeforeStays)
{
    harness::SetDetectedVersion(NULL);
    RemoveDirectoryW(VendorFolder().c_str());
    ASSERT_TRUE(CreateDirectoryW(VendorFolder().c_str(), NULL) || harness::FileExists(VendorFolder()));
    ASSERT_EQ(0u, Deploy(kSetup).exitCode);
    EXPECT_EQ(0u, RunQuietUninstall().exitCode);
    Restart();
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_TRUE(harness::FileExists(VendorFolder())) << "the package did not make it";
    RemoveDirectoryW(VendorFolder().c_str());
}

// An upgrade from a version that placed one more file in a nested folder drops it; an uninstall
// and a restart then leave nothing of the product, and a later uninstall changes nothing.
TEST_F(Uninstall, UpgradeUninstallAndRestartLeaveNothingOfTheProduct)
{
    harness::SetDetectedVersion(NULL);
    RemoveDirectoryW(VendorFolder().c_str());
    ASSERT_FALSE(harness::FileExists(VendorFolder())) << "another test left the vendor folder";
    const std::wstring legacy = std::wstring(harness::kInstallFolder) + L"\\legacy\\old\\BrellanOld.dll";
    ASSERT_EQ(0u, Deploy(harness::SuiteFile(L"legacy\\BrellanFlashwrightSetup.exe")).exitCode);
    ASSERT_TRUE(harness::FileExists(legacy));
    EXPECT_EQ(0u, Deploy(kSetup).exitCode);
    EXPECT_TRUE(LogHas(L"removed " + legacy + L": the earlier version placed it, and this one does not carry it"));
    EXPECT_FALSE(harness::FileExists(std::wstring(harness::kInstallFolder) + L"\\legacy"));
    EXPECT_EQ(0u, RunQuietUninstall().exitCode);
    Restart();
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_FALSE(harness::FileExists(VendorFolder())) << "the package made it, and nothing else is in it";
    EXPECT_EQ(0u, Deploy(kSetup, L"/UNINSTALL /S").exitCode);
    EXPECT_TRUE(LogHas(L"Brellan Flashwright is not installed: there was nothing to remove."));
    EXPECT_EQ(std::wstring::npos, RestartWork().find(L"Quillmere")) << "nothing scheduled";
    EXPECT_FALSE(harness::FileExists(VendorFolder()));
}

// An upgrade cut off right after its commit point: installed, and the next run does what it had left
// (the earlier version's file it does not carry goes), whatever that run then does.
TEST_F(Uninstall, AnUpgradeCutOffAfterItsCommitPointIsFinishedByTheNextRun)
{
    harness::SetDetectedVersion(NULL);
    const std::wstring legacy = std::wstring(harness::kInstallFolder) + L"\\legacy\\old\\BrellanOld.dll";
    ASSERT_EQ(0u, Deploy(harness::SuiteFile(L"legacy\\BrellanFlashwrightSetup.exe")).exitCode);
    const std::wstring faulty = harness::SuiteFile(L"faulty\\BrellanFlashwrightSetup.exe");
    ASSERT_TRUE(harness::WriteFileBytes(L"C:\\brellan-fault.txt", "commit-after"));
    EXPECT_EQ(0u, Deploy(faulty).exitCode) << "past its commit point, the install stands";
    EXPECT_EQ(L"" BRELLAN_VERSION, harness::DetectedVersion());
    EXPECT_TRUE(harness::FileExists(legacy)) << "the cut left the earlier version's file";
    ASSERT_TRUE(harness::WriteFileBytes(L"C:\\brellan-fault.txt", "none"));
    EXPECT_EQ(0u, Deploy(faulty).exitCode);
    DeleteFileW(L"C:\\brellan-fault.txt");
    EXPECT_TRUE(LogHas(L"an install was cut off after its commit point: doing what it had left"));
    EXPECT_FALSE(harness::FileExists(legacy));
    EXPECT_FALSE(harness::FileExists(std::wstring(harness::kInstallFolder) + L"\\legacy"));
    EXPECT_FALSE(harness::FileExists(L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup Rollback"));
}

TEST_F(Uninstall, QuietUninstallStringRemovesTheProductBeforeItReturns)
{
    const std::wstring other = harness::InfDir() + L"\\oem50.inf";
    ASSERT_TRUE(harness::WriteFileBytes(other, "[Version]\r\nSignature=\"$Windows NT$\"\r\n; another product\r\n"));
    ASSERT_EQ(0u, Deploy(kSetup).exitCode);
    EXPECT_EQ(L"Brellan Flashwright", harness::UninstallEntry(L"DisplayName"));
    EXPECT_EQ(L"Quillmere", harness::UninstallEntry(L"Publisher"));
    EXPECT_EQ(L"" BRELLAN_VERSION, harness::UninstallEntry(L"DisplayVersion"));
    EXPECT_EQ(harness::kInstallFolder, harness::UninstallEntry(L"InstallLocation"));
    ASSERT_EQ(1u, CopiesOf(tool_).size());
    ASSERT_EQ(1u, CopiesOf(device_).size());

    // "C:\...\BrellanFlashwrightSetup.exe" /UNINSTALL /S, run as a deployment tool runs it.
    const std::wstring quiet = harness::UninstallEntry(L"QuietUninstallString");
    ASSERT_EQ(L'"', quiet[0]) << ::testing::PrintToString(quiet);
    const size_t close = quiet.find(L'"', 1);
    ASSERT_NE(std::wstring::npos, close);
    const std::wstring uninstaller = quiet.substr(1, close - 1);
    const std::wstring args = quiet.substr(close + 2) + L" /LOG=\"" + log_ + L"\"";
    EXPECT_EQ(L"/UNINSTALL /S", quiet.substr(close + 2));
    harness::RunResult run = harness::Run(uninstaller.c_str(), args.c_str(), harness::LeaveAlone, 30000, harness::Screen::kUnseen);
    EXPECT_EQ(0u, run.exitCode);
    // At the moment it returns, as a deployment tool's detection then looks:
    EXPECT_EQ(L"", harness::UninstallEntry(L"DisplayName"));
    EXPECT_EQ(L"", harness::DetectedVersion());
    EXPECT_TRUE(CopiesOf(tool_).empty());
    EXPECT_TRUE(CopiesOf(device_).empty());
    EXPECT_FALSE(harness::FileExists(std::wstring(harness::kInstallFolder) + L"\\brellan.inf"));
    EXPECT_TRUE(harness::FileExists(other)) << "another product's copy stays";
    EXPECT_TRUE(LogHas(L"Brellan Flashwright was removed. (exit code 0)"));
}

TEST_F(Uninstall, NothingInstalledEndsWithZero)
{
    harness::SetDetectedVersion(NULL);
    EXPECT_EQ(0u, Deploy(kSetup, L"/UNINSTALL /S").exitCode);
    EXPECT_TRUE(LogHas(L"Brellan Flashwright is not installed: there was nothing to remove."));
}

TEST_F(Uninstall, WhileAPackageWaitsOnABoxItEndsWith1618)
{
    harness::SetDeviceInstances(1);
    PROCESS_INFORMATION first;
    ASSERT_TRUE(harness::Start(kSetup, L"/S /BOXTIMEOUT=3", &first));
    for (int i = 0; i < 200 && !FindWindowW(L"#32770", L"Found Brellan device"); ++i) Sleep(50);
    EXPECT_EQ(1618u, harness::Run(kSetup, L"/UNINSTALL /S", harness::LeaveAlone).exitCode);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.hProcess, 30000));
    CloseHandle(first.hThread);
    CloseHandle(first.hProcess);
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
}

TEST_F(Uninstall, OlderPackageOverANewerVersionEndsWith1638AndChangesNothing)
{
    harness::SetDetectedVersion(L"1.10.0");   // newer: versions compare part by part
    EXPECT_EQ(1638u, Deploy(kSetup).exitCode);
    EXPECT_EQ(L"1.10.0", harness::DetectedVersion());
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_TRUE(LogHas(L"Version 1.10.0 of Brellan Flashwright is installed, newer than this package's"));
}

TEST_F(Uninstall, PackageForAnotherPlatformEndsWith1633AndChangesNothing)
{
    EXPECT_EQ(1633u, Deploy(harness::SuiteFile(L"x86-only\\BrellanFlashwrightSetup.exe")).exitCode);
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_TRUE(LogHas(L"the driver packages are for x86; this machine is amd64: stopped (exit code 1633)"));
}

// Run on a Windows older than the lowest the product supports (Windows 10 for the samples' build),
// the package changes nothing and ends with 1633. Wine reports Windows 8.1 to the package alone.
TEST_F(Uninstall, PackageOnAnOlderWindowsEndsWith1633AndChangesNothing)
{
    static const wchar_t kAppDefaults[] = L"Software\\Wine\\AppDefaults\\BrellanFlashwrightSetup.exe";
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kAppDefaults, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                             &key, nullptr));
    static const wchar_t kWindows81[] = L"win81";
    RegSetValueExW(key, L"Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(kWindows81), sizeof kWindows81);
    RegCloseKey(key);
    const DWORD exitCode = Deploy(kSetup).exitCode;
    RegDeleteKeyW(HKEY_CURRENT_USER, kAppDefaults);
    EXPECT_EQ(1633u, exitCode);
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
    EXPECT_EQ(L"", harness::DescribeChanges(before_, harness::SnapshotInfStore()));
    EXPECT_FALSE(harness::FileExists(harness::kInstallFolder));
    EXPECT_TRUE(LogHas(L"the product supports Windows 10 and later; this machine runs Windows 6.3 build 9600: stopped"
                       L" (exit code 1633)"));
}

// The same switches on the screen a person may be looking at.
// Each run's one event in the Application log. Wine keeps none: it prints the source's type and
// ID on advapi's fixme channel, then each string on the eventlog channel, where the suite reads
// them back from the session's output.
class Events : public Unattended {
protected:
    struct Reported {
        unsigned type = 0;
        unsigned id = 0;
        std::vector<std::string> strings;
    };
    // The events the runs in `deploy` report.
    std::vector<Reported> EventsOf(const std::function<void()> &deploy)
    {
        SetEnvironmentVariableW(L"WINEDEBUG", L"-all,+eventlog,fixme+advapi");
        const size_t from = harness::RunOutput().size();
        deploy();
        SetEnvironmentVariableW(L"WINEDEBUG", NULL);
        const std::string output = harness::RunOutput();
        std::vector<Reported> events;
        for (size_t at = from; at < output.size();) {
            size_t end = output.find('\n', at);
            if (end == std::string::npos) end = output.size();
            const std::string line = output.substr(at, end - at);
            at = end + 1;
            unsigned type = 0, category = 0, id = 0;
            size_t report = line.find(":fixme:advapi:ReportEventW (");
            size_t text = line.find(":eventlog:ReportEventW L\"");
            if (report != std::string::npos &&
                sscanf(line.c_str() + line.find(',', report) + 1, "0x%x,0x%x,0x%x", &type, &category, &id) == 3) {
                events.push_back(Reported());
                events.back().type = type;
                events.back().id = id;
            } else if (text != std::string::npos && !events.empty()) {
                std::string value;
                for (size_t c = text + 25; c + 1 < line.size(); ++c) value += line[c] == '\\' ? line[++c] : line[c];
                events.back().strings.push_back(value);
            }
        }
        return events;
    }
};

// A success, a failure and a switch that is not valid: one event each, its type and ID the
// outcome's, its strings the version, the exit code, its meaning, the log and the outcome; and the
// registered message file gives Event Viewer each ID's text.
TEST_F(Events, EachRunReportsOneEventThatNamesItsOutcome)
{
    struct Case {
        int devices;
        const wchar_t *switches;
        unsigned code, type, id;
        const char *meaning, *outcome;
    } cases[] = {
        {-1, L"/S", 0, EVENTLOG_INFORMATION_TYPE, 1000, "installed", "installed (exit code 0)"},
        {-1, L"/S /LOCKED", 1618, EVENTLOG_WARNING_TYPE, 1010, "another run of the package is under way; try again later",
         "another run of the package holds the lock (C:\\Program Files\\Quillmere\\Brellan Flashwright Setup.lock): nothing was done"},
        {1, L"/S", 3, EVENTLOG_ERROR_TYPE, 1021, "a Brellan device is still recorded: uninstall it first; nothing was placed",
         "A Brellan device is still recorded; nothing was installed. (exit code 3)"},
        {-1, L"/S /BOXTIMEOUT=soon", 1639, EVENTLOG_ERROR_TYPE, 1025, "a switch is not valid; nothing changed",
         "/BOXTIMEOUT=soon is not a number of seconds from 0 to 86400: stopped (exit code 1639)"},
    };
    const std::string log(log_.begin(), log_.end());
    const std::wstring lock = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup.lock";
    for (const Case &c : cases) {
        harness::SetDeviceInstances(c.devices);
        // "/LOCKED": another run holds the lock, as the package holds it; the record goes to the
        // early log beside the run's.
        const bool locked = wcsstr(c.switches, L"/LOCKED") != NULL;
        CreateDirectoryW(L"C:\\Program Files\\Quillmere", NULL);
        HANDLE held = locked ? CreateFileW(lock.c_str(), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL)
                             : INVALID_HANDLE_VALUE;
        ASSERT_EQ(locked, held != INVALID_HANDLE_VALUE);
        std::vector<Reported> events = EventsOf([&] { EXPECT_EQ(c.code, Deploy(kSetup, locked ? L"/S" : c.switches).exitCode); });
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        const std::string logged = locked ? log.substr(0, log.size() - 4) + ".early.log" : log;
        ASSERT_EQ(1u, events.size()) << c.code;
        EXPECT_EQ(c.type, events[0].type) << c.code;
        EXPECT_EQ(c.id, events[0].id) << c.code;
        EXPECT_EQ((std::vector<std::string>{BRELLAN_VERSION, std::to_string(c.code), c.meaning, logged, c.outcome}),
                  events[0].strings);
    }

    EXPECT_EQ(harness::kEventMessageFile, harness::RegistryText(harness::kEventSourceKey, L"EventMessageFile"));
    DWORD types = 0, cb = sizeof types;
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE, harness::kEventSourceKey, L"TypesSupported", RRF_RT_REG_DWORD,
                                          NULL, &types, &cb));
    EXPECT_EQ(7u, types);
    HMODULE messages = LoadLibraryExW(harness::kEventMessageFile, NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_TRUE(messages != NULL);
    const wchar_t *strings[] = {L"" BRELLAN_VERSION, L"0", L"installed", L"C:\\x.log", L"installed (exit code 0)"};
    wchar_t text[1024] = L"";
    for (unsigned id : {1000, 1001, 1002, 1010, 1011, 1020, 1021, 1022, 1023, 1024, 1025}) {
        DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, messages, id, 0, text, 1024,
                                   (va_list *)strings);
        EXPECT_NE(0u, cch) << "no text for event " << id;
        std::wstring shown(text, cch);
        while (!shown.empty() && (shown.back() == L'\n' || shown.back() == L'\r')) shown.pop_back();
        if (id == 1000) {
            EXPECT_EQ(L"Brellan Flashwright " BRELLAN_VERSION " was installed.\r\n\r\nExit code: 0 (installed).\r\n"
                      L"Log: C:\\x.log\r\n\r\ninstalled (exit code 0)", shown);
        }
    }
    FreeLibrary(messages);
}

// An uninstall reports its event, then removes the source's registration and its message file;
// a preview and an uninstall register nothing.
TEST_F(Events, UninstallRemovesTheSourceLastAndAPreviewRegistersNothing)
{
    std::vector<Reported> events = EventsOf([&] { EXPECT_EQ(0u, Deploy(kSetup, L"/S /WHATIF").exitCode); });
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1002u, events[0].id);
    EXPECT_EQ(L"", harness::RegistryText(harness::kEventSourceKey, L"EventMessageFile"));
    EXPECT_FALSE(harness::FileExists(harness::kEventMessageFile));

    ASSERT_EQ(0u, Deploy(kSetup).exitCode);
    EXPECT_TRUE(harness::FileExists(harness::kEventMessageFile));
    events = EventsOf([&] { EXPECT_EQ(0u, Deploy(kSetup, L"/UNINSTALL /S").exitCode); });
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(1001u, events[0].id);
    EXPECT_EQ(EVENTLOG_INFORMATION_TYPE, events[0].type);
    EXPECT_EQ(L"", harness::RegistryText(harness::kEventSourceKey, L"EventMessageFile"));
    EXPECT_FALSE(harness::FileExists(harness::kEventMessageFile));
}

// /WHATIF, with stale copies of the device's driver, another vendor's INF and the device recorded
// or not: it lists exactly what the real run that follows deletes and stages, ends with that
// run's code where it is known (3) and else 0, and leaves the store, the registry and the install
// folder byte for byte as they were.
class Preview : public Events {};

TEST_F(Preview, ListsWhatTheRunThenDeletesAndStagesAndChangesNothing)
{
    // An earlier version's install folder and stale copies: one in 8-bit text with its twin, one in
    // UTF-16 without, a copy of the tool's INF as it is now, and another vendor's INF.
    ASSERT_TRUE(harness::PlaceSamplePackages());
    const std::wstring inf = harness::InfDir() + L"\\";
    std::string utf16 = "\xFF\xFE";
    for (const char *c = "[Strings]\r\nId=USB\\VID_8817&PID_3402\r\n"; *c; ++c) utf16 += std::string(1, *c) + '\0';
    ASSERT_TRUE(harness::WriteFileBytes(inf + L"oem90.inf", device_ + "; an earlier version\r\n"));
    ASSERT_TRUE(harness::WriteFileBytes(inf + L"oem90.pnf", "precompiled"));
    ASSERT_TRUE(harness::WriteFileBytes(inf + L"oem91.inf", utf16));
    ASSERT_TRUE(harness::WriteFileBytes(inf + L"oem92.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\n; another vendor\r\n"));
    ASSERT_TRUE(harness::WriteFileBytes(inf + L"oem92.pnf", "another vendor's"));
    ASSERT_TRUE(harness::WriteFileBytes(inf + L"oem93.inf", tool_));
    EXPECT_EQ(1639u, Deploy(kSetup, L"/S /WHATIF /UNINSTALL").exitCode) << "a preview of an install only";
    EXPECT_TRUE(LogHas(L"/WHATIF previews an install and cannot be given with /UNINSTALL"));
    for (int devices : {1, -1}) {
        harness::SetDeviceInstances(devices);
        const harness::StoreSnapshot store = harness::SnapshotInfStore();
        const auto folder = harness::FolderFiles(harness::kInstallFolder);
        const std::wstring version = harness::DetectedVersion(), entry = harness::UninstallEntry(L"DisplayVersion");
        const std::wstring source = harness::RegistryText(harness::kEventSourceKey, L"EventMessageFile");

        EXPECT_EQ(devices > 0 ? 3u : 0u, Deploy(kSetup, L"/S /WHATIF").exitCode);
        EXPECT_EQ(L"", harness::DescribeChanges(store, harness::SnapshotInfStore()));
        EXPECT_TRUE(folder == harness::FolderFiles(harness::kInstallFolder)) << "the install folder changed";
        EXPECT_EQ(version, harness::DetectedVersion());
        EXPECT_EQ(entry, harness::UninstallEntry(L"DisplayVersion"));
        EXPECT_EQ(source, harness::RegistryText(harness::kEventSourceKey, L"EventMessageFile"));
        EXPECT_FALSE(harness::FileExists(kRollbackFolder));
        // What it said a run would delete and stage.
        std::string bytes;
        ASSERT_TRUE(harness::ReadFileBytes(log_, &bytes));
        const std::string record = bytes.substr(bytes.rfind(kRecordStart));
        const std::string del = "DriverPrep would delete C:\\windows\\inf\\", twin = "and its twin C:\\windows\\inf\\",
                          stage = "PkgStage would stage ", asNew = " as a new copy";
        std::set<std::wstring> deletes, stages;
        auto add = [](std::set<std::wstring> *to, const std::string &name) { to->insert(std::wstring(name.begin(), name.end())); };
        for (size_t at = 0, end; at < record.size(); at = end + 2) {
            end = std::min(record.find("\r\n", at), record.size());
            const std::string line = record.substr(at, end - at);
            size_t found = line.find(del);
            if (found != std::string::npos) add(&deletes, line.substr(found + del.size(), line.find(',', found) - found - del.size()));
            if ((found = line.find(twin)) != std::string::npos) add(&deletes, line.substr(found + twin.size()));
            if ((found = line.find(stage)) != std::string::npos && line.find(asNew) != std::string::npos)
                add(&stages, line.substr(found + stage.size(), line.find(asNew) - found - stage.size()));
        }
        if (devices > 0) {
            EXPECT_TRUE(LogHas(L"a Brellan device is recorded (1 instance under HKLM\\System\\CurrentControlSet\\Enum\\USB\\Vid_8817&Pid_3402)"));
            EXPECT_TRUE(LogHas(L"exit code 3: preview: a run would end with this code"));
            EXPECT_TRUE(deletes.empty() && stages.empty());
            EXPECT_EQ(3u, Deploy(kSetup).exitCode) << "the run ends as the preview said";
            EXPECT_EQ(L"", harness::DescribeChanges(store, harness::SnapshotInfStore()));
            continue;
        }
        EXPECT_EQ((std::set<std::wstring>{L"oem90.inf", L"oem90.pnf", L"oem91.inf"}), deletes);
        EXPECT_EQ((std::set<std::wstring>{L"brellan.inf"}), stages) << "the store's copy of the tool's INF is used again";
        EXPECT_TRUE(LogHas(L"names USB\\VID_8817&PID_3402 (it has no twin C:\\windows\\inf\\oem91.pnf)"));
        EXPECT_TRUE(LogHas(L"exit code 0: preview: a run would go on"));
        // The real run deletes exactly those, and stages what the preview named.
        EXPECT_EQ(0u, Deploy(kSetup).exitCode);
        const harness::StoreSnapshot after = harness::SnapshotInfStore();
        std::set<std::wstring> deleted, staged;
        for (const auto &file : store) {
            if (!after.count(file.first)) deleted.insert(file.first);
        }
        EXPECT_EQ(deletes, deleted);
        for (const std::wstring &added : harness::AddedFiles(store, after)) {
            std::string got;
            if (added.size() > 4 && added.substr(added.size() - 4) == L".inf" && harness::ReadFileBytes(inf + added, &got))
                staged.insert(got == tool_ ? L"flashwright.inf" : got == device_ ? L"brellan.inf" : added);
        }
        EXPECT_EQ(stages, staged);
    }
}

class Deployment : public Unattended {};

TEST_F(Deployment, BoxTimeoutAnswersTheBoxNobodyPresses)
{
    harness::SetDeviceInstances(1);
    harness::RunResult run = Deploy(kSetup, L"/S /BOXTIMEOUT=soon", harness::Screen::kVisible);
    EXPECT_EQ(1639u, run.exitCode) << "a switch that is not valid stops before anything runs";
    EXPECT_TRUE(run.boxes.empty());

    run = Deploy(kSetup, L"/S /BOXTIMEOUT=1", harness::Screen::kVisible);
    EXPECT_EQ(3u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_FALSE(run.boxes[0].rescued) << "nobody answered the box";
    EXPECT_TRUE(LogHas(kDeviceCaptionLine));
}

TEST_F(Deployment, SecondPackageWhileOneRunsExitsWith1618AndChangesNothing)
{
    harness::SetDeviceInstances(1);
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const std::wstring defaultLog = std::wstring(temp) + L"BrellanFlashwrightSetup.log";
    const std::wstring earlyLog = std::wstring(temp) + L"BrellanFlashwrightSetup.early.log";
    DeleteFileW(defaultLog.c_str());
    DeleteFileW(earlyLog.c_str());
    PROCESS_INFORMATION first;
    ASSERT_TRUE(harness::Start(kSetup, L"/S /BOXTIMEOUT=3", &first));
    for (int i = 0; i < 200 && !FindWindowW(L"#32770", L"Found Brellan device"); ++i) Sleep(50);

    harness::RunResult second = harness::Run(kSetup, L"/S /BOXTIMEOUT=0", harness::LeaveAlone);
    EXPECT_EQ(1618u, second.exitCode);
    EXPECT_TRUE(second.boxes.empty());

    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.hProcess, 30000));
    DWORD firstExit = 0;
    GetExitCodeProcess(first.hProcess, &firstExit);
    CloseHandle(first.hThread);
    CloseHandle(first.hProcess);
    EXPECT_EQ(3u, firstExit) << "the first ends as it would alone";
    std::string log;
    harness::ReadFileBytes(defaultLog, &log);
    EXPECT_EQ(0u, log.find("Brellan Flashwright setup ")) << log;
    EXPECT_EQ(0u, log.rfind("Brellan Flashwright setup ")) << "the second one wrote to it: " << log;
    EXPECT_TRUE(LogHas(L"(exit code 3)\r\n", defaultLog));
    // The second run's record is in the early log, dated, with its own command line.
    std::string early;
    EXPECT_TRUE(harness::ReadFileBytes(earlyLog, &early));
    EXPECT_EQ(0u, early.find(kRecordStart)) << early;
    EXPECT_NE(std::string::npos, early.find("BrellanFlashwrightSetup.exe\" /S /BOXTIMEOUT=0\r\n")) << early;
    EXPECT_NE(std::string::npos, early.find("] exit code 1618: another run of the package is under way; try again later\r\n"))
        << early;
    DeleteFileW(earlyLog.c_str());
}

// SetupWatch alone: a program that neither ends nor shows a box is ended, and gone before the
// watch ends.
TEST_F(Deployment, WatchEndsAProgramThatHangs)
{
    std::wstring args = L"/limit=1 \"/log=" + log_ + L"\" \"" + harness::SuiteFile(L"hang.exe") + L"\"";
    harness::RunResult run = harness::Run(L"SetupWatch.exe", args.c_str(), harness::LeaveAlone);
    EXPECT_EQ(512u, run.exitCode);
    EXPECT_TRUE(LogHas(L"hang.exe neither ended nor showed a box for 1 s; the watch ended it"));
    EXPECT_EQ(std::vector<std::wstring>(), harness::Running({L"hang.exe"}, true));
}

}  // namespace

// The package as a person meets it, double-clicked: a welcome page that says what it will do, a
// progress page whose line says each step in plain words, and a finish page that says what
// happened and what to do next, for every exit code; its words in the display language; with /S
// no window at all. The person presses OK on our programs' boxes, and Next on each page.
// With BRELLAN_SHOTS naming a folder, each page is also saved there as a picture, NAME-N.bmp
// (scripts/screenshots.sh makes the docs' pictures so).
class Wizard : public Faults {
protected:
    harness::RunResult Double(const std::wstring &setup, const std::wstring &switches = L"", const wchar_t *name = L"",
                              const harness::PageAnswer &answer = harness::PressNext,
                              harness::Rights rights = harness::Rights::kAdministrator)
    {
        std::wstring args = switches + L" /LOG=\"" + log_ + L"\"";
        wchar_t shots[MAX_PATH] = L"";
        DWORD cch = GetEnvironmentVariableW(L"BRELLAN_SHOTS", shots, MAX_PATH);
        int shot = 0;
        auto pictured = [&](const harness::PageInfo &page) {
            if (cch > 0 && cch < MAX_PATH && *name) {
                Sleep(100);   // let it finish painting
                std::wstring path = std::wstring(shots) + L"\\" + name + L"-" + std::to_wstring(++shot) + L".bmp";
                EXPECT_TRUE(harness::SavePicture(page.window, path)) << "the picture " << ::testing::PrintToString(path);
            }
            return answer(page);
        };
        harness::RunResult run = harness::Run(setup.c_str(), args.c_str(), harness::PressOkLetNoticeClose, 60000,
                                              harness::Screen::kVisible, pictured, rights);
        EXPECT_TRUE(run.started);
        EXPECT_FALSE(run.timedOut) << "the wizard waited: " << (run.pages.empty() ? "" : harness::DescribePage(run.pages.back()));
        return run;
    }
    // Windows' own words for an error code, in the display language, its line end taken off.
    static std::wstring WindowsWords(DWORD code)
    {
        wchar_t words[512] = L"";
        DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0, words, 512, NULL);
        while (cch > 0 && (words[cch - 1] == L'\n' || words[cch - 1] == L'\r')) words[--cch] = 0;
        return words;
    }
    static bool Has(const std::vector<std::wstring> &all, const std::wstring &one)
    {
        return std::find(all.begin(), all.end(), one) != all.end();
    }
};

TEST_F(Wizard, FinishPageSaysEachOutcomeAndTheNextStep)
{
    ASSERT_NE(L"", WindowsWords(ERROR_ACCESS_DENIED)) << "Windows has words for error 5";
    const std::wstring lock = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Setup.lock";
    const struct Case {
        DWORD code;
        const char *fault;            // a faulty program (the faulty package), or nullptr
        const wchar_t *setup;         // the package, by its path in the suite's folder, or nullptr
        const wchar_t *switches;
        int devices;
        const wchar_t *installed;     // the version the detection value records
        bool locked;                  // another run holds the lock
        bool user;                    // run by a user who is no administrator
        const wchar_t *name;          // its pictures' name
        const wchar_t *title;
        std::vector<std::wstring> says;
        const wchar_t *link;          // the next step's link, or nullptr for none
    } cases[] = {
        {1639, nullptr, nullptr, L"/BOXTIMEOUT=soon", 0, L"0.9.0", false, false, L"finish-1639", L"A switch is not valid",
         {L"Setup was started with a switch it cannot use, so it changed nothing:",
          L"/BOXTIMEOUT=soon is not a number of seconds from 0 to 86400: stopped"}, nullptr},
        {1633, nullptr, L"x86-only\\BrellanFlashwrightSetup.exe", L"", 0, L"0.9.0", false, false, L"finish-1633", L"Not for this computer",
         {L"This Brellan Flashwright driver is for x86 Windows; this computer is amd64. Nothing was changed."}, nullptr},
        {2, nullptr, nullptr, L"", 0, L"0.9.0", false, true, L"finish-2", L"Setup needs an administrator",
         {L"Only an administrator can install a driver. Nothing was changed.", L"choose Run as administrator"}, nullptr},
        {1618, nullptr, nullptr, L"", 0, L"0.9.0", true, false, L"finish-1618", L"Another setup is running",
         {L"Try again when the other one has ended."}, nullptr},
        {3, nullptr, nullptr, L"", 1, L"0.9.0", false, false, L"finish-3", L"Uninstall the Brellan device first",
         {L"Windows still records a Brellan device, so setup changed nothing.", L"choose Uninstall device"},
         L"Open Device Manager"},
        {1638, nullptr, nullptr, L"", 0, L"9.0.0", false, false, L"finish-1638", L"A newer version is installed",
         {L"Brellan Flashwright 9.0.0 is installed, newer than this setup's " BRELLAN_VERSION ". Nothing was changed."},
         nullptr},
        {4, nullptr, L"refusing\\BrellanFlashwrightSetup.exe", L"", 0, L"0.9.0", false, false, L"finish-4", L"Windows refused the driver",
         {L"Windows refused to install a Brellan Flashwright driver package: ", L"error 0x",
          L"Your computer is as it was before setup.", L"What happened is in the log:"}, L"Open the log"},
        {4, "refused5", L"faulty\\BrellanFlashwrightSetup.exe", L"", 0, L"0.9.0", false, false, L"", L"Windows refused the driver",
         {L"Windows refused to install a Brellan Flashwright driver package: " + WindowsWords(5) + L" (error 0x5)"},
         L"Open the log"},
        {5, "pkgstage", L"faulty\\BrellanFlashwrightSetup.exe", L"", 0, L"0.9.0", false, false, L"finish-5", L"Setup could not finish",
         {L"This step could not be done: Handing the driver to Windows.", L"Your computer is as it was before setup."},
         L"Open the log"},
        {0, nullptr, nullptr, L"", 0, L"0.9.0", false, false, L"install", L"Brellan Flashwright is installed",
         {L"Connect your Brellan device: Windows sets it up by itself."}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        harness::SetDeviceInstances(c.devices);
        harness::SetDetectedVersion(c.installed);
        if (c.fault) ASSERT_TRUE(harness::WriteFileBytes(kFaultFile, c.fault));
        CreateDirectoryW(L"C:\\Program Files\\Quillmere", NULL);
        HANDLE held = c.locked ? CreateFileW(lock.c_str(), GENERIC_WRITE, 0, NULL, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL)
                               : INVALID_HANDLE_VALUE;
        harness::RunResult run = Double(c.setup ? harness::SuiteFile(c.setup) : kSetup, c.switches, c.name, harness::PressNext,
                                        c.user ? harness::Rights::kUser : harness::Rights::kAdministrator);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        EXPECT_EQ(c.code, run.exitCode);
        ASSERT_FALSE(run.pages.empty());
        // A run that ends before its work begins shows its finish page alone; any other first
        // says what it will do.
        const bool early = c.code == 1639 || c.code == 1633 || c.code == 1618 || c.code == 2;
        if (early) {
            EXPECT_EQ(1u, run.pages.size()) << harness::DescribePage(run.pages.front());
        } else {
            const harness::PageInfo &welcome = run.pages.front();
            EXPECT_EQ(L"Welcome to Brellan Flashwright Setup", welcome.title);
            EXPECT_TRUE(harness::PageSays(welcome, L"uninstall that device in Device Manager first")) << harness::DescribePage(welcome);
            EXPECT_TRUE(Has(welcome.buttons, L"&Install")) << harness::DescribePage(welcome);
        }
        const harness::PageInfo &finish = run.pages.back();
        EXPECT_EQ(c.title, finish.title) << harness::DescribePage(finish);
        for (const std::wstring &said : c.says) EXPECT_TRUE(harness::PageSays(finish, said)) << harness::DescribePage(finish);
        for (const wchar_t *link : {L"Open Device Manager", L"Open the log"})
            EXPECT_EQ(c.link && link == std::wstring(c.link), Has(finish.buttons, link)) << harness::DescribePage(finish);
        if (c.link && std::wstring(c.link) == L"Open the log") EXPECT_TRUE(harness::PageSays(finish, log_)) << harness::DescribePage(finish);
        // The log's last line says the same outcome (a 1618's record goes to the early log).
        if (!c.locked) EXPECT_TRUE(LogHas(L"exit code " + std::to_wstring(c.code) + L": "));
        DeleteFileW(kFaultFile);
    }
    // The progress page said the steps in plain words, the technical lines kept to its list.
    harness::RunResult last = Double(kSetup);
    EXPECT_EQ(0u, last.exitCode);
    bool staged = false;
    for (const harness::PageInfo &page : last.pages) {
        // The product's name and version where NSIS writes its own.
        for (const std::wstring &text : page.texts) EXPECT_EQ(std::wstring::npos, text.find(L"Nullsoft")) << harness::DescribePage(page);
        if (!page.steps.empty()) EXPECT_TRUE(harness::PageSays(page, L"Quillmere Brellan Flashwright " BRELLAN_VERSION)) << harness::DescribePage(page);
        for (const std::wstring &step : page.steps) {
            staged = staged || step == L"Handing the driver to Windows";
            EXPECT_EQ(std::wstring::npos, step.find(L"C:\\")) << "a technical line above the bar: " << harness::DescribePage(page);
        }
    }
    EXPECT_TRUE(staged);
}

// From Apps & features (/UNINSTALL without /S): it asks first, names the button after what it
// does, and says what it removed, or that nothing was installed.
TEST_F(Wizard, UninstallAsksFirstAndSaysWhatItRemoved)
{
    ASSERT_EQ(0u, Deploy(kSetup).exitCode);
    harness::RunResult run = Double(kSetup, L"/UNINSTALL", L"uninstall");
    EXPECT_EQ(0u, run.exitCode);
    std::string shown;
    for (const harness::PageInfo &page : run.pages) shown += harness::DescribePage(page) + "\n";
    ASSERT_EQ(3u, run.pages.size()) << shown;
    const harness::PageInfo &confirm = run.pages.front();
    EXPECT_EQ(L"Brellan Flashwright Uninstall", confirm.caption);
    EXPECT_EQ(L"Brellan Flashwright Uninstall", confirm.title);
    EXPECT_TRUE(harness::PageSays(confirm, L"This removes the Brellan Flashwright driver from this computer")) << harness::DescribePage(confirm);
    EXPECT_TRUE(Has(confirm.buttons, L"&Uninstall")) << harness::DescribePage(confirm);
    EXPECT_EQ(L"Uninstalling", run.pages[1].title) << harness::DescribePage(run.pages[1]);
    EXPECT_EQ(L"Brellan Flashwright was removed", run.pages.back().title) << harness::DescribePage(run.pages.back());
    EXPECT_EQ(L"", harness::DetectedVersion());

    run = Double(kSetup, L"/UNINSTALL");
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_FALSE(run.pages.empty());
    EXPECT_TRUE(harness::PageSays(run.pages.back(), L"Brellan Flashwright is not installed on this computer: there was nothing to remove."))
        << harness::DescribePage(run.pages.back());
}

// A German display language gets the German pages, NSIS's and the product's own; the log stays in
// English for whoever collects it. Its run sets the display language (LANG, with the session's
// German locale) and says so in BRELLAN_DISPLAY_LANGUAGE; any other run skips it.
// Run by full-disk.sh alone, in its namespace, where the install folder is a disk too small for
// the driver files: double-clicked, the run ends on the finish page of 5, which says the step, the
// room the install needs and that the computer is as it was.
TEST(WizardFullDisk, EndsOnTheFinishPageOfFiveWithTheRoomItNeeds)
{
    wchar_t disk[16] = L"";
    if (GetEnvironmentVariableW(L"BRELLAN_FULL_DISK", disk, 16) == 0) GTEST_SKIP() << "runs only in full-disk.sh's namespace";
    const std::wstring log = harness::SuiteFile(L"full-disk-wizard.log");
    DeleteFileW(log.c_str());
    harness::RunResult run = harness::Run(kSetup, (L"/LOG=\"" + log + L"\"").c_str(), harness::PressOkLetNoticeClose, 60000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(5u, run.exitCode);
    ASSERT_FALSE(run.pages.empty());
    const harness::PageInfo &finish = run.pages.back();
    EXPECT_EQ(L"Setup could not finish", finish.title) << harness::DescribePage(finish);
    for (const wchar_t *said : {L"This step could not be done: Copying the driver files.",
                                L"KB free on the disk of C:\\Program Files\\Quillmere\\Brellan Flashwright Installer, and there is"
                                L" not that much room there. Make room on that disk, then run setup again.",
                                L"Your computer is as it was before setup."})
        EXPECT_TRUE(harness::PageSays(finish, said)) << harness::DescribePage(finish);
    std::string text;
    ASSERT_TRUE(harness::ReadFileBytes(log, &text));
    EXPECT_NE(std::string::npos, text.find("exit code 5: a step could not run; the machine is as the run found it")) << text;
}

class WizardGerman : public Wizard {};

TEST_F(WizardGerman, DisplayLanguageGetsGermanPagesAndAnEnglishLog)
{
    wchar_t expected[8] = L"";
    GetEnvironmentVariableW(L"BRELLAN_DISPLAY_LANGUAGE", expected, 8);
    const bool german = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN;
    if (!german && wcscmp(expected, L"de") != 0) GTEST_SKIP() << "the display language is not German in this run";
    ASSERT_TRUE(german) << "LANG=de_DE.UTF-8 gave no German display language: is the session's locale (localedef) missing?";
    harness::SetDeviceInstances(1);
    harness::RunResult run = Double(kSetup, L"", L"german");
    EXPECT_EQ(3u, run.exitCode);
    ASSERT_LE(2u, run.pages.size());
    EXPECT_EQ(L"Willkommen zur Installation\r\nvon Brellan Flashwright", run.pages.front().title);
    EXPECT_TRUE(harness::PageSays(run.pages.front(), L"Klicken Sie auf Installieren, um zu beginnen.")) << harness::DescribePage(run.pages.front());
    EXPECT_TRUE(Has(run.pages.front().buttons, L"&Installieren"));
    const harness::PageInfo &finish = run.pages.back();
    EXPECT_EQ(L"Zuerst das Brellan-Gerät deinstallieren", finish.title) << harness::DescribePage(finish);
    EXPECT_TRUE(harness::PageSays(finish, L"Windows verzeichnet noch ein Brellan-Gerät, daher hat die Installation nichts geändert."))
        << harness::DescribePage(finish);
    EXPECT_TRUE(Has(finish.buttons, L"Geräte-Manager öffnen"));
    EXPECT_TRUE(LogHas(L"exit code 3: a Brellan device is still recorded: uninstall it first; nothing was placed"));
}

// With /S nothing of the wizard shows, on a screen a person may see; Cancel on the welcome page
// changes nothing, and the record says it was cancelled.
TEST_F(Wizard, SilentShowsNoWindowAndCancelChangesNothing)
{
    harness::RunResult run = Deploy(kSetup, L"/S", harness::Screen::kVisible);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.pages.empty()) << harness::DescribePage(run.pages.front());
    EXPECT_TRUE(harness::OtherThanNotice(run.boxes).empty());

    harness::SetDetectedVersion(L"0.9.0");
    const harness::StoreSnapshot start = harness::SnapshotInfStore();
    run = Double(kSetup, L"", L"", [](const harness::PageInfo &) { return IDCANCEL; });
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(1u, run.pages.size());
    EXPECT_EQ(L"", harness::DescribeChanges(start, harness::SnapshotInfStore()));
    EXPECT_EQ(L"0.9.0", harness::DetectedVersion());
    EXPECT_TRUE(LogHas(L"cancelled by the user before the run changed anything. (exit code 1)"));
    EXPECT_TRUE(LogHas(L"exit code 1: cancelled by the user; nothing changed"));
    EXPECT_EQ(std::vector<std::wstring>(), harness::Running(harness::kPackagePrograms));
}
