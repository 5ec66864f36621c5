/* The least a Windows native-messaging host can be: reads one frame from
   standard input and answers with the agent's pong frame. Built with
   MinGW-w64 like the agent, it is what process start-up under Wine costs
   before any work of the agent's own. */
#include <windows.h>

static const char kPong[] = "\x29\x00\x00\x00{\"type\":\"QUILLON_PONG\",\"version\":\"1.1.2\"}";

static int readAll(HANDLE in, char* buffer, DWORD size) {
    DWORD got = 0;
    while (got < size) {
        DWORD n = 0;
        if (!ReadFile(in, buffer + got, size - got, &n, NULL) || n == 0) return 0;
        got += n;
    }
    return 1;
}

int main(void) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    unsigned char prefix[4];
    char body[256];
    if (!readAll(in, (char*)prefix, 4)) return 1;
    DWORD length = prefix[0] | prefix[1] << 8 | prefix[2] << 16 | (DWORD)prefix[3] << 24;
    if (length > sizeof body || !readAll(in, body, length)) return 1;
    DWORD done = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), kPong, sizeof kPong - 1, &done, NULL);
    return 0;
}
