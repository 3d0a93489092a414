#include "check/check_version.h"

#include <cstring>

#include "check/text_out.h"
#include "platform/win32_api.h"

namespace {

// VS_VERSIONINFO: three WORDs, the key in UTF-16 with its null, then the
// fixed part (VS_FIXEDFILEINFO) on a 4-byte boundary: its signature, its
// structure version, then the file version's two DWORDs.
const wchar_t kVersionKey[] = L"VS_VERSION_INFO";
const DWORD kKeyOffset = 3 * sizeof(WORD);
const DWORD kFixedOffset = (kKeyOffset + sizeof kVersionKey + 3) & ~3u;
const DWORD kFixedSize = sizeof(VS_FIXEDFILEINFO);
const DWORD kFixedSignature = 0xFEEF04BD;

WORD WordAt(const BYTE* at) { return static_cast<WORD>(at[0] | at[1] << 8); }
DWORD DwordAt(const BYTE* at) { return WordAt(at) | static_cast<DWORD>(WordAt(at + 2)) << 16; }

}  // namespace

int ParseVersionResource(const BYTE* block, DWORD size, WORD* parts) {
    // The block's own lengths, the whole and its value's, hold the fixed part.
    if (block == nullptr || size < kFixedOffset + kFixedSize) return 0;
    if (WordAt(block) < kFixedOffset + kFixedSize || WordAt(block) > size ||
        WordAt(block + 2) < kFixedSize ||
        std::memcmp(block + kKeyOffset, kVersionKey, sizeof kVersionKey) != 0 ||
        DwordAt(block + kFixedOffset) != kFixedSignature)
        return 0;
    // Most significant half first: 1.0.0.0 is 0x00010000, 0x00000000.
    for (int i = 0; i < kVersionPartCount; ++i)
        parts[i] = WordAt(block + kFixedOffset + 8 + 4 * (i / 2) + 2 * (1 - i % 2));
    return 1;
}

void ReadFileVersion(const char* path, FileVersionFacts* f) {
    std::memset(f, 0, sizeof *f);
    // Mapped as an image resource only: no code of it runs, no DLL it
    // imports is looked for, and the exe's own module stays ours.
    HMODULE module = nullptr;
    // A name alone, or a relative path, would be looked for along the DLL
    // search path: only a whole path names the exe the service runs.
    const bool whole = path == nullptr || (path[0] == '\\' && path[1] == '\\') ||
                       (path[0] != '\0' && path[1] == ':' && path[2] == '\\');
    if (!whole) {
        f->error = ERROR_BAD_PATHNAME;
        return;
    }
    if (path != nullptr) {
        // The service's exe as the manager starts it: a 32-bit process's
        // System32 is SysWOW64 otherwise. Only this call sees the native
        // view; a data load loads no DLL that would need the other.
        PVOID redirection = nullptr;
        const BOOL native = Win().Wow64DisableWow64FsRedirection(&redirection);
        module = Win().LoadLibraryExA(
            path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        const DWORD error = Win().GetLastError();
        if (native) Win().Wow64RevertWow64FsRedirection(redirection);
        if (module == nullptr) {
            f->error = error;
            return;
        }
    }
    HRSRC found = Win().FindResourceA(module, MAKEINTRESOURCEA(kVersionResourceId),
                                      MAKEINTRESOURCEA(16));  // RT_VERSION
    HGLOBAL loaded = found ? Win().LoadResource(module, found) : nullptr;
    const BYTE* block = loaded ? static_cast<const BYTE*>(Win().LockResource(loaded)) : nullptr;
    if (block == nullptr) f->error = Win().GetLastError();
    else if (!(f->read = ParseVersionResource(block, Win().SizeofResource(module, found), f->parts)))
        f->error = ERROR_INVALID_DATA;
    if (module != nullptr) Win().FreeLibrary(module);
}

void FormatVersion(const WORD* parts, char* text) {
    char* at = text;
    for (int i = 0; i < kVersionPartCount; ++i) {
        if (i > 0) *at++ = '.';
        FormatDecimal(parts[i], at);
        at += std::strlen(at);
    }
}

bool VersionsDiffer(const VersionFacts& v) {
    return v.check.read && v.serviceExe.read &&
           std::memcmp(v.check.parts, v.serviceExe.parts, sizeof v.check.parts) != 0;
}
