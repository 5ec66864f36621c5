/* A DLL that leaves proof of having been loaded: on attach it writes
   "<its own path>.loaded", holding the process's error mode in hex. Planted
   under a system DLL's name beside an exe, the marker shows whether the exe
   loaded it; put where the agent looks for modules, it shows the error mode
   the agent runs with. It needs nothing but kernel32. */
#define _WIN32_WINNT 0x0601
#include <windows.h>

#include <stdio.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    WCHAR path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return TRUE;
    lstrcpyW(path + n, L".loaded");
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return TRUE;
    char text[32];
    int length = snprintf(text, sizeof text, "error mode 0x%X\n", GetErrorMode());
    DWORD done = 0;
    WriteFile(file, text, (DWORD)length, &done, NULL);
    CloseHandle(file);
    return TRUE;
}
