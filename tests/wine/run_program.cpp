// Runs one of the programs as the setup package would, prints every box it shows, presses OK on
// each but the self-closing notice, and prints the exit status. Used by the script that plays a
// whole installation. With --shots, each box (and an installer's own window) is also saved as a
// BMP picture in FOLDER. With --unseen, the program runs on a window station nobody can see, as
// under a deployment service: no box is seen and nobody presses anything.
//   run_program.exe [--unseen] [--shots FOLDER] PROGRAM.exe|PATH [ARGUMENTS]
#include "harness.h"

#include <stdio.h>

// Saves the screen area of `window` as a 24-bit BMP file.
static bool SaveWindowPicture(HWND window, const std::wstring &path)
{
    RECT rect;
    if (!GetWindowRect(window, &rect)) return false;
    int width = rect.right - rect.left;
    int height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return false;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    SelectObject(memory, previous);

    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    DWORD cbRow = ((DWORD)width * 3 + 3) & ~3u;
    std::string pixels(cbRow * (DWORD)height, '\0');
    bool ok = GetDIBits(memory, bitmap, 0, (UINT)height, &pixels[0], (BITMAPINFO *)&info, DIB_RGB_COLORS) == height;
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    if (!ok) return false;

    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;   // "BM"
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + (DWORD)pixels.size();
    std::string bytes((const char *)&file, sizeof file);
    bytes.append((const char *)&info, sizeof info);
    bytes += pixels;
    return harness::WriteFileBytes(path, bytes);
}

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
            if (!SaveWindowPicture(box.window, name)) fwprintf(stdout, L"  (could not save %ls)\n", name.c_str());
        }
        // A dialog without a message text is an installer's own window: it closes by itself.
        if (box.text.empty()) return 0;
        return harness::PressOkLetNoticeClose(box);
    };
    harness::RunResult run = harness::Run(program, args.c_str(), answer, 120000, screen);
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
    if (run.timedOut) {
        fwprintf(stdout, L"  %ls did not end in time and was stopped\n", programName.c_str());
        return 3;
    }
    fwprintf(stdout, L"  %ls exit status %lu (after %lu ms)\n", programName.c_str(), (unsigned long)run.exitCode,
             (unsigned long)run.elapsedMs);
    fflush(stdout);
    return (int)run.exitCode;
}
