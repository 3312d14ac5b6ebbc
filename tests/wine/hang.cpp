// A program that neither ends nor shows anything, for the setup watch's time limit.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    Sleep(INFINITE);
    return 0;
}
