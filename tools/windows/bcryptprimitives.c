/* Stand-in for bcryptprimitives.dll, which Wine 8 lacks: ProcessPrng is the
 * only export Rust-built extension modules (mypy's) import from it. Built by
 * tools/windows-stage with mingw-w64 and placed beside python.exe; used only
 * under Wine, never shipped. */
#include <windows.h>
#include <ntsecapi.h>

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T len)
{
    while (len > 0) {
        ULONG chunk = len > 0x10000000 ? 0x10000000 : (ULONG)len;
        if (!RtlGenRandom(data, chunk))
            return FALSE;
        data += chunk;
        len -= chunk;
    }
    return TRUE;
}
