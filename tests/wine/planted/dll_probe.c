/* The control for the planting test: loads uxtheme.dll the default way, as a program without the
 * loader restriction would, so a planted copy beside it must leave its trace. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show)
{
    HMODULE module;
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    module = LoadLibraryW(L"uxtheme.dll");
    if (module != NULL) FreeLibrary(module);
    return 0;
}
