// A DLL planted beside the programs must never load into them: they run elevated from folders that
// others can write to. The programs and a planted uxtheme.dll (which USER32 loads on demand inside
// the first MessageBoxW) go into a fresh temporary folder, and Wine is told to prefer a DLL of
// that name from the program's folder, for these programs only, as Windows does for any DLL that
// is not a KnownDLL. A control program that loads uxtheme.dll the default way shows that the
// plant works; the programs must leave no trace of it and behave as always.
//
// Wine only: its delay-loads ignore the loader restriction (a planted ole32.dll still gets in
// through IMM32), where Windows serves those DLLs as KnownDLLs from System32. Not tested here.
#include "harness.h"

#include <gtest/gtest.h>

namespace {

const wchar_t kPlantedDll[] = L"uxtheme.dll";
const wchar_t kTrace[] = L"planted-dll-loaded";   // written by the planted DLL when it loads
const wchar_t kProbe[] = L"dll_probe.exe";
const wchar_t *const kPrograms[] = {L"DriverPrep.exe", L"PkgStage.exe", kProbe};

class Planting : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        DWORD cch = GetTempPathW(MAX_PATH, temp);
        ASSERT_TRUE(cch > 0 && cch < MAX_PATH);
        folder_ = std::wstring(temp) + L"brellan-planted";
        CreateDirectoryW(folder_.c_str(), NULL);
        unsigned machine = harness::ProgramMachine(harness::ProgramPath(L"DriverPrep.exe"));
        std::wstring planted = harness::SuiteFile(machine == 0x14c ? L"planted\\x86\\" : L"planted\\x64\\");
        if (!harness::FileExists(planted + kPlantedDll)) GTEST_SKIP() << "no planted DLL for this bitness was built";
        ASSERT_TRUE(CopyFileW((planted + kPlantedDll).c_str(), Path(kPlantedDll).c_str(), FALSE));
        ASSERT_TRUE(CopyFileW((planted + kProbe).c_str(), Path(kProbe).c_str(), FALSE));
        for (const wchar_t *exe : {L"DriverPrep.exe", L"PkgStage.exe"})
            ASSERT_TRUE(CopyFileW(harness::ProgramPath(exe).c_str(), Path(exe).c_str(), FALSE));
        for (const wchar_t *exe : kPrograms) ASSERT_TRUE(PreferNativeUxtheme(exe, true));
        harness::SetDeviceInstances(-1);
        harness::RemoveInstallFolder();
    }

    void TearDown() override
    {
        for (const wchar_t *exe : kPrograms) {
            PreferNativeUxtheme(exe, false);
            DeleteFileW(Path(exe).c_str());
        }
        DeleteFileW(Path(kPlantedDll).c_str());
        DeleteFileW(Path(kTrace).c_str());
        RemoveDirectoryW(folder_.c_str());
        harness::SetDeviceInstances(-1);
    }

    std::wstring Path(const wchar_t *name) const { return folder_ + L"\\" + name; }

    // Wine's per-program load order: HKCU\Software\Wine\AppDefaults\<exe>\DllOverrides.
    static bool PreferNativeUxtheme(const wchar_t *exe, bool on)
    {
        std::wstring app = std::wstring(L"Software\\Wine\\AppDefaults\\") + exe;
        if (!on) return RegDeleteTreeW(HKEY_CURRENT_USER, app.c_str()) == ERROR_SUCCESS;
        HKEY key = NULL;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (app + L"\\DllOverrides").c_str(), 0, NULL, 0, KEY_ALL_ACCESS,
                            NULL, &key, NULL) != ERROR_SUCCESS)
            return false;
        static const wchar_t kOrder[] = L"native,builtin";
        LSTATUS status = RegSetValueExW(key, L"uxtheme", 0, REG_SZ, (const BYTE *)kOrder, sizeof kOrder);
        RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

    bool Traced() const { return harness::FileExists(Path(kTrace)); }

    std::wstring folder_;
};

TEST_F(Planting, PlantedDllNeverLoadsIntoThePrograms)
{
    harness::RunResult probe = harness::Run(Path(kProbe).c_str(), L"", harness::PressOk);
    ASSERT_TRUE(probe.started);
    ASSERT_TRUE(Traced()) << "the control program did not load the planted DLL: the plant is not set up";
    ASSERT_TRUE(DeleteFileW(Path(kTrace).c_str()));

    // No device: the notice closes by itself and the purge runs.
    harness::RunResult run = harness::Run(Path(L"DriverPrep.exe").c_str(), L"", harness::PressOkLetNoticeClose);
    EXPECT_FALSE(Traced()) << "DriverPrep loaded the planted DLL (no device)";
    EXPECT_EQ(1u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(harness::kNoticeTitle, run.boxes[0].caption);
    EXPECT_TRUE(harness::NoticeEndedAsDesigned(run.boxes[0]));

    // A recorded device: the uninstall box.
    harness::SetDeviceInstances(1);
    run = harness::Run(Path(L"DriverPrep.exe").c_str(), L"", harness::PressOk);
    EXPECT_FALSE(Traced()) << "DriverPrep loaded the planted DLL (device recorded)";
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(L"Found Brellan device", run.boxes[0].caption);

    // The install folder missing: the copy service's refusal.
    run = harness::Run(Path(L"PkgStage.exe").c_str(), L"", harness::PressOk);
    EXPECT_FALSE(Traced()) << "PkgStage loaded the planted DLL";
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_EQ(L"SetupCopyOEMInf() Failed with error 0x3", run.boxes[0].text);
}

}  // namespace
