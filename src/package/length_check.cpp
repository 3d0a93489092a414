// The package's check of MODEL and DISPLAYNAME, run by Windows Installer
// before its launch conditions: the lengths the service reads are bytes in
// the ANSI code page, which the condition syntax cannot measure. It sets
// ModelTooLong, ModelUnspelled or DisplayNameTooLong, and the launch
// conditions refuse with their messages. Calls msi.dll and kernel32 only.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "config/settings.h"

namespace {

// UTF-16 units read of a property, terminator included: a longer one is
// longer than any setting the profile read gives back whole.
const DWORD kPropertyCapacity = kSettingValueCapacity;
// Its bytes in the ANSI code page: three a UTF-16 unit at most (UTF-8).
const int kAnsiCapacity = 3 * kPropertyCapacity;

const int kPropertyRead = 1;
const int kPropertyTooLong = 0;    // longer than kPropertyCapacity
const int kPropertyUnspelled = -1; // the code page lacks one of its characters
const int kPropertyUnread = -2;

// The property in the ANSI code page, as the installer writes it into
// tolvane.ini and the service reads it. A character the code page lacks
// reaches the file as "?" or a look-alike; where that matters (strict) it
// is reported instead: the model must name the service the installer
// registers with the character itself.
int ReadAnsiProperty(MSIHANDLE install, const wchar_t* name, bool strict, char* out) {
    wchar_t wide[kPropertyCapacity];
    DWORD units = kPropertyCapacity;
    const UINT got = MsiGetPropertyW(install, name, wide, &units);
    out[0] = '\0';
    if (got == ERROR_MORE_DATA) return kPropertyTooLong;
    if (got != ERROR_SUCCESS) return kPropertyUnread;
    if (units == 0) return kPropertyRead;
    const StrictAnsi to = StrictAnsiFor(GetACP());
    BOOL lacking = FALSE;
    const int bytes = WideCharToMultiByte(to.codePage, strict ? to.flags : 0, wide,
                                          static_cast<int>(units), out, kAnsiCapacity - 1,
                                          nullptr, strict && to.checksLack ? &lacking : nullptr);
    if (bytes <= 0 || lacking) return kPropertyUnspelled;
    out[bytes] = '\0';
    return kPropertyRead;
}

UINT Refuse(MSIHANDLE install, const wchar_t* text) {
    // Shown in a dialog with a UI, written to the log without one.
    MSIHANDLE record = MsiCreateRecord(0);
    if (record != 0) {
        MsiRecordSetStringW(record, 0, text);
        MsiProcessMessage(install, static_cast<INSTALLMESSAGE>(INSTALLMESSAGE_ERROR | MB_OK),
                          record);
        MsiCloseHandle(record);
    }
    return ERROR_INSTALL_FAILURE;
}

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall CheckLengths(MSIHANDLE install) {
    char model[kAnsiCapacity];
    char displayName[kAnsiCapacity];
    const int modelRead = ReadAnsiProperty(install, L"MODEL", true, model);
    const int displayRead = ReadAnsiProperty(install, L"DISPLAYNAME", false, displayName);
    if (modelRead == kPropertyUnread || displayRead == kPropertyUnread ||
        displayRead == kPropertyUnspelled)
        return Refuse(install, L"Tolvane's setup could not read MODEL or DISPLAYNAME. "
                               L"Nothing was installed.");
    char name[kServiceNameCapacity];
    UINT set = ERROR_SUCCESS;
    if (modelRead == kPropertyUnspelled)
        set |= MsiSetPropertyW(install, L"ModelUnspelled", L"1");
    else if (modelRead == kPropertyTooLong || !FormServiceName(name, model))
        set |= MsiSetPropertyW(install, L"ModelTooLong", L"1");
    if (displayRead == kPropertyTooLong || !SettingFits(kSettingDisplayName, displayName))
        set |= MsiSetPropertyW(install, L"DisplayNameTooLong", L"1");
    if (set != ERROR_SUCCESS)
        return Refuse(install, L"Tolvane's setup could not record its check of MODEL and "
                               L"DISPLAYNAME. Nothing was installed.");
    return ERROR_SUCCESS;
}
