// The benchmark's baseline: a program that starts and ends, built exactly like the shipped one.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup()
{
    ExitProcess(0);
}
