// Runs one of the programs as the setup package would, prints every box it shows, presses OK on
// each, and prints the exit status. Used by the script that plays a whole installation.
//   run_program.exe PROGRAM.exe [ARGUMENTS]
#include "harness.h"

#include <stdio.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fwprintf(stderr, L"usage: run_program.exe PROGRAM.exe [ARGUMENTS]\n");
        return 2;
    }
    std::wstring args;
    for (int i = 2; i < argc; ++i) args += (i > 2 ? L" " : L"") + std::wstring(argv[i]);
    harness::RunResult run = harness::Run(argv[1], args.c_str(), harness::PressOkLetNoticeClose);
    if (!run.started) {
        fwprintf(stdout, L"  could not start %ls\n", harness::ProgramPath(argv[1]).c_str());
        return 2;
    }
    for (const harness::BoxInfo &box : run.boxes) {
        std::wstring text = box.text;
        for (size_t at = text.find(L'\n'); at != std::wstring::npos; at = text.find(L'\n', at + 2))
            text.replace(at, 1, L"\\n");
        fwprintf(stdout, L"  box after %lu ms: caption \"%ls\", text \"%ls\", buttons:", (unsigned long)box.seenAtMs,
                 box.caption.c_str(), text.c_str());
        for (const std::wstring &b : box.buttons) fwprintf(stdout, L" [%ls]", b.c_str());
        if (box.rescued) fwprintf(stdout, L"; did not close by itself, OK pressed after %lu ms", (unsigned long)harness::kRescueAfterMs);
        else if (box.caption == harness::kNoticeTitle) fwprintf(stdout, L"; closed by itself after %lu ms", (unsigned long)(box.goneAtMs - box.seenAtMs));
        else fwprintf(stdout, L"; OK pressed");
        fwprintf(stdout, L"\n");
    }
    if (run.timedOut) {
        fwprintf(stdout, L"  %ls did not end in time and was stopped\n", argv[1]);
        return 3;
    }
    fwprintf(stdout, L"  %ls exit status %lu (after %lu ms)\n", argv[1], (unsigned long)run.exitCode,
             (unsigned long)run.elapsedMs);
    fflush(stdout);
    return (int)run.exitCode;
}
