/* A second baseline: the empty GUI program as mingw builds it by default, with its C runtime
   start-up (which loads msvcrt). The shipped exe's own start-up needs none of that. */
#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR tail, int show)
{
    (void)instance;
    (void)previous;
    (void)tail;
    (void)show;
    return 0;
}
