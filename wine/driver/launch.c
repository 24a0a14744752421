/*
 * launch - starts a program with an exact command line and passes its exit code on.
 *
 *   launch.exe PROGRAM FILE
 *
 * FILE holds the command line the program is to get from GetCommandLine, byte
 * for byte: wine builds a command line of its own from a Unix argument vector,
 * quoting and spacing words its way.  The standard handles are handed down.
 * Exits 250 when the program cannot be started.
 */
#include <stdio.h>
#include <windows.h>

static char line[32768];

int main(int argc, char** argv) {
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    HANDLE file;
    DWORD got = 0, code = 250;
    DWORD std_ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    HANDLE std[3];
    int i;

    if (argc != 3) {
        fprintf(stderr, "usage: launch.exe PROGRAM FILE\n");
        return 250;
    }
    file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, line, sizeof(line) - 1, &got, NULL)) {
        fprintf(stderr, "launch: cannot read %s (error %lu)\n", argv[2], GetLastError());
        return 250;
    }
    CloseHandle(file);
    line[got] = 0;

    for (i = 0; i < 3; i++) {
        std[i] = GetStdHandle(std_ids[i]);
        if (std[i] && std[i] != INVALID_HANDLE_VALUE)
            SetHandleInformation(std[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    ZeroMemory(&si, sizeof(si));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = std[0];
    si.hStdOutput = std[1];
    si.hStdError = std[2];
    if (!CreateProcessA(argv[1], line, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
        fprintf(stderr, "launch: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 250;
    }
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    return (int)code;
}
