// Runs one of the programs as the setup package would, prints every box it shows, presses OK on
// each but the self-closing notice, and prints the exit status. Used by the script that plays a
// whole installation. With --shots, each box (and an installer's own window) is also saved as a
// BMP picture in FOLDER. With --unseen, the program runs on a window station nobody can see, as
// under a deployment service: no box is seen and nobody presses anything.
//   run_program.exe [--unseen] [--shots FOLDER] PROGRAM.exe|PATH [ARGUMENTS]
#include "harness.h"

#include <stdio.h>

#include <algorithm>

int wmain(int argc, wchar_t **argv)
{
    std::wstring shots;
    int first = 1;
    harness::Screen screen = harness::Screen::kVisible;
    if (argc > first && wcscmp(argv[first], L"--unseen") == 0) {
        screen = harness::Screen::kUnseen;
        ++first;
    }
    if (argc > first + 1 && wcscmp(argv[first], L"--shots") == 0) {
        shots = argv[first + 1];
        first += 2;
    }
    if (argc <= first) {
        fwprintf(stderr, L"usage: run_program.exe [--unseen] [--shots FOLDER] PROGRAM.exe|PATH [ARGUMENTS]\n");
        return 2;
    }
    const wchar_t *program = argv[first];   // a name in the program folder, or a path
    const wchar_t *slash = wcsrchr(program, L'\\');
    const std::wstring programName = slash ? slash + 1 : program;
    std::wstring args;
    for (int i = first + 1; i < argc; ++i) args += (i > first + 1 ? L" " : L"") + std::wstring(argv[i]);
    int shot = 0;
    auto answer = [&](const harness::BoxInfo &box) {
        if (!shots.empty()) {
            Sleep(60);   // let the box finish painting
            std::wstring name = shots + L"\\" + programName + L"-box" + std::to_wstring(++shot) + L".bmp";
            if (!harness::SavePicture(box.window, name)) fwprintf(stdout, L"  (could not save %ls)\n", name.c_str());
        }
        return harness::PressOkLetNoticeClose(box);
    };
    // Each page of a wizard: its picture, then Next (Install, Finish) once it is enabled.
    int page = 0;
    auto next = [&](const harness::PageInfo &shown) {
        if (!shots.empty()) {
            std::wstring name = shots + L"\\" + programName + L"-page" + std::to_wstring(++page) + L".bmp";
            if (!harness::SavePicture(shown.window, name)) fwprintf(stdout, L"  (could not save %ls)\n", name.c_str());
        }
        return IDOK;
    };
    harness::RunResult run = harness::Run(program, args.c_str(), answer, 120000, screen, next);
    if (!run.started) {
        fwprintf(stdout, L"  could not start %ls\n", harness::ProgramPath(program).c_str());
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
        else if (box.caption == harness::kNoticeTitle || box.text.empty())
            fwprintf(stdout, L"; closed by itself after %lu ms", (unsigned long)(box.goneAtMs - box.seenAtMs));
        else fwprintf(stdout, L"; OK pressed");
        fwprintf(stdout, L"\n");
    }
    for (const harness::PageInfo &shown : run.pages) {
        fwprintf(stdout, L"  page after %lu ms: \"%ls\"", (unsigned long)shown.seenAtMs, shown.title.c_str());
        for (size_t i = 1; i < shown.texts.size(); ++i) {
            std::wstring text = shown.texts[i];
            for (size_t at = text.find(L'\n'); at != std::wstring::npos; at = text.find(L'\n', at + 2)) text.replace(at, 1, L"\\n");
            text.erase(std::remove(text.begin(), text.end(), L'\r'), text.end());
            fwprintf(stdout, L"\n    \"%ls\"", text.c_str());
        }
        for (const std::wstring &step : shown.steps) fwprintf(stdout, L"\n    step: %ls", step.c_str());
        fwprintf(stdout, L"\n");
    }
    if (run.timedOut) {
        fwprintf(stdout, L"  %ls did not end in time and was stopped\n", programName.c_str());
        return 3;
    }
    fwprintf(stdout, L"  %ls exit status %lu (after %lu ms)\n", programName.c_str(), (unsigned long)run.exitCode,
             (unsigned long)run.elapsedMs);
    fflush(stdout);
    return (int)run.exitCode;
}
