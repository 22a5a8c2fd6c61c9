// Forced into every source of a test-only build of the Windows program (-include): each Win32 call
// that touches a file, its rights or the lock goes through a wrapper that counts it and, on
// request, fails it. The program's own sources know nothing of it.
//   SIFROVAC_CALLS=PATH       every wrapped call's name is appended to PATH, one a line
//   SIFROVAC_FAIL=NAME:N:ERR  the Nth call of NAME fails, with the last error ERR (a number);
//                             NAME:N+:ERR, every call from the Nth on
//   SIFROVAC_CLOSE=NAME:N     at the Nth call of NAME the console window is closed, as Windows
//                             tells a program: its console handler runs on a thread of its own,
//                             and the process ends when that returns, or 5 seconds later with
//                             the status 99 if it has not returned by then
#pragma once

#ifdef __cplusplus
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace faults {

inline PHANDLER_ROUTINE handler = nullptr;

inline DWORD WINAPI endLate(void *) {
    Sleep(5000);
    TerminateProcess(GetCurrentProcess(), 99);
    return 0;
}

inline DWORD WINAPI runHandler(void *) {
    if (handler == nullptr || !handler(CTRL_CLOSE_EVENT)) ExitProcess(0xC000013A);
    return 0;
}

// The console closed, as Windows closes it for a program that has a handler.
inline void closeConsole() {
    CreateThread(nullptr, 0, endLate, nullptr, 0, nullptr);
    CreateThread(nullptr, 0, runHandler, nullptr, 0, nullptr);
}

// Whether this call of `name` is the one to fail; its error is then the last error.
inline bool failsNow(const char *name) {
    static FILE *log = [] {
        const char *path = getenv("SIFROVAC_CALLS");
        return path != nullptr ? fopen(path, "ab") : nullptr;
    }();
    static char target[64], closing[64];
    static long nth = 0, count = 0, closeAt = 0, closeCount = 0;
    static char onwards = 0;
    static unsigned long error = 0;
    static bool parsed = [] {
        const char *fail = getenv("SIFROVAC_FAIL");
        if (fail != nullptr &&
            sscanf(fail, "%63[^:]:%ld%c:%lu", target, &nth, &onwards, &error) == 3) {
            onwards = 0;
            sscanf(fail, "%63[^:]:%ld:%lu", target, &nth, &error);
        }
        const char *close = getenv("SIFROVAC_CLOSE");
        if (close != nullptr) sscanf(close, "%63[^:]:%ld", closing, &closeAt);
        return true;
    }();
    (void)parsed;
    if (log != nullptr) {
        fprintf(log, "%s\n", name);
        fflush(log);
    }
    if (strcmp(name, closing) == 0 && ++closeCount == closeAt) closeConsole();
    if (strcmp(name, target) != 0) return false;
    ++count;
    if (count != nth && !(onwards == '+' && count > nth)) return false;
    SetLastError(error);
    return true;
}

} // namespace faults

// A wrapper for NAME, which answers FAILED when it is made to fail.
#define SIFROVAC_WRAP(NAME, FAILED)                                                                \
    template <typename... Args> inline auto faults_##NAME(Args... args) {                          \
        if (faults::failsNow(#NAME)) return static_cast<decltype(::NAME(args...))>(FAILED);        \
        return ::NAME(args...);                                                                    \
    }

SIFROVAC_WRAP(CreateFileW, INVALID_HANDLE_VALUE)
SIFROVAC_WRAP(ReadFile, FALSE)
SIFROVAC_WRAP(WriteFile, FALSE)
SIFROVAC_WRAP(FlushFileBuffers, FALSE)
SIFROVAC_WRAP(CloseHandle, FALSE)
SIFROVAC_WRAP(GetFileInformationByHandle, FALSE)
SIFROVAC_WRAP(GetFileInformationByHandleEx, FALSE)
SIFROVAC_WRAP(SetFileInformationByHandle, FALSE)
SIFROVAC_WRAP(DeleteFileW, FALSE)
SIFROVAC_WRAP(SetFilePointerEx, FALSE)
SIFROVAC_WRAP(GetFileAttributesW, INVALID_FILE_ATTRIBUTES)
SIFROVAC_WRAP(GetFileType, FILE_TYPE_UNKNOWN)
SIFROVAC_WRAP(GetFinalPathNameByHandleW, 0)
SIFROVAC_WRAP(GetFullPathNameW, 0)
SIFROVAC_WRAP(GetSecurityInfo, ERROR_ACCESS_DENIED)
SIFROVAC_WRAP(SetSecurityInfo, ERROR_ACCESS_DENIED)
SIFROVAC_WRAP(SetNamedSecurityInfoW, ERROR_ACCESS_DENIED)
SIFROVAC_WRAP(GetSecurityDescriptorControl, FALSE)
SIFROVAC_WRAP(GetSecurityDescriptorDacl, FALSE)
SIFROVAC_WRAP(EqualSid, FALSE)
SIFROVAC_WRAP(CreateMutexExW, nullptr)
SIFROVAC_WRAP(WaitForSingleObject, WAIT_FAILED)
SIFROVAC_WRAP(ReleaseMutex, FALSE)
SIFROVAC_WRAP(GetSecurityDescriptorOwner, FALSE)
SIFROVAC_WRAP(GetTokenInformation, FALSE)
SIFROVAC_WRAP(ConvertSidToStringSidW, FALSE)
SIFROVAC_WRAP(FindFirstFileW, INVALID_HANDLE_VALUE)
SIFROVAC_WRAP(FindFirstStreamW, INVALID_HANDLE_VALUE)
SIFROVAC_WRAP(Sleep, 0)
SIFROVAC_WRAP(RegOpenKeyExW, ERROR_ACCESS_DENIED)
SIFROVAC_WRAP(RegQueryValueExW, ERROR_ACCESS_DENIED)

inline BOOL faults_SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add) {
    if (faults::failsNow("SetConsoleCtrlHandler")) return FALSE;
    if (add) faults::handler = routine;
    return SetConsoleCtrlHandler(routine, add);
}

#define CreateFileW faults_CreateFileW
#define ReadFile faults_ReadFile
#define WriteFile faults_WriteFile
#define FlushFileBuffers faults_FlushFileBuffers
#define CloseHandle faults_CloseHandle
#define GetFileInformationByHandle faults_GetFileInformationByHandle
#define GetFileInformationByHandleEx faults_GetFileInformationByHandleEx
#define SetFileInformationByHandle faults_SetFileInformationByHandle
#define DeleteFileW faults_DeleteFileW
#define SetFilePointerEx faults_SetFilePointerEx
#define GetFileAttributesW faults_GetFileAttributesW
#define GetFileType faults_GetFileType
#define GetFinalPathNameByHandleW faults_GetFinalPathNameByHandleW
#define GetFullPathNameW faults_GetFullPathNameW
#define GetSecurityInfo faults_GetSecurityInfo
#define SetSecurityInfo faults_SetSecurityInfo
#define SetNamedSecurityInfoW faults_SetNamedSecurityInfoW
#define GetSecurityDescriptorControl faults_GetSecurityDescriptorControl
#define GetSecurityDescriptorDacl faults_GetSecurityDescriptorDacl
#define EqualSid faults_EqualSid
#define CreateMutexExW faults_CreateMutexExW
#define WaitForSingleObject faults_WaitForSingleObject
#define ReleaseMutex faults_ReleaseMutex
#define GetSecurityDescriptorOwner faults_GetSecurityDescriptorOwner
#define GetTokenInformation faults_GetTokenInformation
#define ConvertSidToStringSidW faults_ConvertSidToStringSidW
#define FindFirstFileW faults_FindFirstFileW
#define FindFirstStreamW faults_FindFirstStreamW
#define Sleep faults_Sleep
#define RegOpenKeyExW faults_RegOpenKeyExW
#define RegQueryValueExW faults_RegQueryValueExW
#define SetConsoleCtrlHandler faults_SetConsoleCtrlHandler
#endif
