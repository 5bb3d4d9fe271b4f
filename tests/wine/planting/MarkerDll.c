/* Planted under the names of DLLs that the program or the system DLLs it uses load by name.
   Loaded anywhere, it appends one line to C:\vorla-markers.txt: the process's program path, a
   tab, and its own path. It imports from kernel32 alone, which every process has loaded first. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    WCHAR line[2 * MAX_PATH + 4];
    DWORD length = GetModuleFileNameW(NULL, line, MAX_PATH);
    line[length++] = L'\t';
    length += GetModuleFileNameW(self, line + length, MAX_PATH);
    line[length++] = L'\n';
    char utf8[4 * sizeof line];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, (int)length, utf8, sizeof utf8, NULL, NULL);
    HANDLE file = CreateFileW(L"C:\\vorla-markers.txt", FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, utf8, (DWORD)bytes, &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
