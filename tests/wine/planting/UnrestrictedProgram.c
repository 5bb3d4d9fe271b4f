/* The control: what the program did before it restricted its DLL search. It opens a page the
   same way, so the planted DLLs that it loads are the ones the program must not. */
#include <windows.h>
#include <shellapi.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR tail, int show)
{
    (void)instance;
    (void)previous;
    (void)tail;
    (void)show;
    ShellExecuteA(NULL, "open", "http://www.vorla.eu/KDLXsuper19/", NULL, NULL, SW_SHOWNORMAL);
    return 0;
}
