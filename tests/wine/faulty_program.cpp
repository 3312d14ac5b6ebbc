// Stands in for one of the package's programs (FAULTY_DRIVERPREP, FAULTY_PKGSTAGE,
// FAULTY_SETUPWATCH, else SetupRollback) in the tests' faulty package: the program's own code,
// except for the fault that C:\brellan-fault.txt names, played as Wine reports a program ended from
// outside (exit code 0 or 1, and nothing more done):
//   watch-driverprep, watch-pkgstage
//               SetupWatch ended (0) once it started that program, which goes on: DriverPrep's
//               kWatchKilledAfterMs later (by then past its notice, purging), PkgStage's at once
//   keep        SetupRollback /keep ended just before it sealed its record
//   commit      SetupRollback /commit ended before it renamed the record; commit1: /commit
//               ended with 1 (not whole) before it did anything
//   save        SetupRollback /keep keeps a copy of its sealed record in C:\brellan-older-armed
//   swap        SetupRollback /rollback finds that older record in place of the run's
//   rollback0   SetupRollback /rollback ended (0) before it put anything back
//   commit-after
//               SetupRollback /commit (an install's) ended (0) right after its commit point, the
//               work after it not done
//   driverprep  DriverPrep ended before it did anything (0); notice0: ended with 0 once its
//               "Installing" notice had shown, before it looked at the store
//   pkgstage    PkgStage ended before it did anything (0); pkgstage1: the same with 1
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

static const char kFaultFile[] = "C:\\brellan-fault.txt";
static const wchar_t kOlderRecord[] = L"C:\\brellan-older-armed";
static const DWORD kWatchKilledAfterMs = 700;

static bool Fault(const char *word)
{
    char text[256] = "";
    FILE *file = fopen(kFaultFile, "rb");
    if (file == NULL) return false;
    size_t cb = fread(text, 1, sizeof text - 1, file);
    fclose(file);
    text[cb] = 0;
    for (char *token = strtok(text, " \r\n"); token != NULL; token = strtok(NULL, " \r\n")) {
        if (strcmp(token, word) == 0) return true;
    }
    return false;
}

#if defined(FAULTY_DRIVERPREP)
#include "driverprep.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (Fault("driverprep")) return 0;
    if (Fault("notice0")) {
        ShowInstallingNotice();
        return 0;
    }
    return RunPreparation();
}
#elif defined(FAULTY_PKGSTAGE)
#include "pkgstage.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    if (Fault("pkgstage")) return 0;
    if (Fault("pkgstage1")) return 1;
    // The copy service refusing with a Windows error that has words (Wine's copy service refuses
    // only with SetupAPI's own codes, which it has none for): PkgStage's box, and its exit code.
    if (Fault("refused5")) {
        MessageBoxW(NULL, L"SetupCopyOEMInf() Failed with error 0x5", NULL, MB_OK);
        return 0;
    }
    return StagePackages();
}
#elif defined(FAULTY_SETUPWATCH)
#include "setup_watch.h"

#include "msvcrt_startup.h"

int main(int, char **, char **)
{
    int argc = 0;
    wchar_t **argv = NULL;
    WatchOptions options;
    if (!GetWideArguments(&argc, &argv) || !ParseWatchOptions(argc, argv, &options)) return (int)kWatchNotStarted;
    const wchar_t *name = wcsrchr(options.program, L'\\');
    name = name != NULL ? name + 1 : options.program;
    const bool driverPrep = Fault("watch-driverprep") && _wcsicmp(name, L"DriverPrep.exe") == 0;
    if (driverPrep || (Fault("watch-pkgstage") && _wcsicmp(name, L"PkgStage.exe") == 0)) {
        void *process = NULL;
        unsigned long processId = 0;
        if (StartWatchedProgram(&options, &process, &processId, INVALID_HANDLE_VALUE)) {
            if (driverPrep) Sleep(kWatchKilledAfterMs);
            CloseHandle(process);
        }
        return 0;
    }
    return RunWatch(&options);
}
#else
#include "setup_rollback.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    RollbackOptions options;
    if (argv == NULL || !ParseRollbackOptions(argc, argv, &options)) return kRollbackBadArguments;
    wchar_t armed[MAX_PATH];
    wchar_t unsealed[MAX_PATH];
    swprintf(armed, MAX_PATH, L"%ls\\%ls", kRollbackFolder, kArmedName);
    swprintf(unsealed, MAX_PATH, L"%ls\\record.new", kRollbackFolder);
    if (options.mode == kModeCommit && Fault("commit")) return 0;
    if (options.mode == kModeCommit && Fault("commit1")) return kRollbackIncomplete;
    if (options.mode == kModeCommit && Fault("commit-after")) {
        wchar_t committed[MAX_PATH];
        swprintf(committed, MAX_PATH, L"%ls\\%ls", kRollbackFolder, kCommittedInstallName);
        MoveFileW(armed, committed);
        return 0;
    }
    if (options.mode == kModeRollback && Fault("swap")) CopyFileW(kOlderRecord, armed, FALSE);
    if (options.mode == kModeRollback && Fault("rollback0")) return 0;
    int result = RunRollbackMode(&options);
    if (options.mode == kModeKeep && Fault("keep")) MoveFileW(armed, unsealed);
    if (options.mode == kModeKeep && Fault("save")) CopyFileW(armed, kOlderRecord, FALSE);
    return result;
}
#endif
