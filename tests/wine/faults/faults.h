// Forced into every source of a test-only build of the Windows program (-include): each Win32 call
// that touches a file, its rights or the lock goes through a wrapper that counts it and, on
// request, fails it. The program's own sources know nothing of it.
//   SIFROVAC_CALLS=PATH       every wrapped call's name is appended to PATH, one a line
//   SIFROVAC_FAIL=NAME:N:ERR  the Nth call of NAME fails, with the last error ERR (a number)
#pragma once

#ifdef __cplusplus
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <aclapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace faults {

// Whether this call of `name` is the one to fail; its error is then the last error.
inline bool failsNow(const char *name) {
    static FILE *log = [] {
        const char *path = getenv("SIFROVAC_CALLS");
        return path != nullptr ? fopen(path, "ab") : nullptr;
    }();
    static char target[64];
    static long nth = 0, count = 0;
    static unsigned long error = 0;
    static bool parsed = [] {
        const char *fail = getenv("SIFROVAC_FAIL");
        if (fail != nullptr) sscanf(fail, "%63[^:]:%ld:%lu", target, &nth, &error);
        return true;
    }();
    (void)parsed;
    if (log != nullptr) {
        fprintf(log, "%s\n", name);
        fflush(log);
    }
    if (strcmp(name, target) != 0 || ++count != nth) return false;
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

#define CreateFileW faults_CreateFileW
#define ReadFile faults_ReadFile
#define WriteFile faults_WriteFile
#define FlushFileBuffers faults_FlushFileBuffers
#define CloseHandle faults_CloseHandle
#define GetFileInformationByHandle faults_GetFileInformationByHandle
#define GetFileInformationByHandleEx faults_GetFileInformationByHandleEx
#define SetFileInformationByHandle faults_SetFileInformationByHandle
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
#endif
