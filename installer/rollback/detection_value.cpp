// The detection value a deployment tool's rule reads (the registry's 64-bit view), and beside it the
// note that an install made the folder above the install folder: kept as the run found them, and
// put back; the version is removed instead when the rest could not be put back whole (what it
// would claim may no longer be true).
#include "rollback_parts.h"

#include "install_layout.h"
#include "setup_rollback.h"

#include <string.h>

static const REGSAM kView = KEY_WOW64_64KEY;
// The values kept beside each other, and the kind each is recorded as.
static const wchar_t *const kValueNames[] = {kDetectionValueName, kMadeFolderValueName};
static const RecordKind kValueKinds[] = {kRecordVersion, kRecordMadeFolder};
static const size_t kValues = sizeof kValueNames / sizeof kValueNames[0];

int KeepDetectionValue(RecordWriter *record)
{
    HKEY key = NULL;
    wchar_t text[MAX_PATH];
    int kept = 1;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDetectionKey, 0, KEY_QUERY_VALUE | kView, &key) != ERROR_SUCCESS) return 1;
    for (size_t i = 0; i < kValues; ++i) {
        DWORD type = 0;
        DWORD cbText = sizeof text - sizeof text[0];
        memset(text, 0, sizeof text);
        LSTATUS read = RegQueryValueExW(key, kValueNames[i], NULL, &type, (BYTE *)text, &cbText);
        if (read == ERROR_SUCCESS && type == REG_SZ) AddRecord(record, kValueKinds[i], 0, 0, text);
        if (read != ERROR_SUCCESS && read != ERROR_FILE_NOT_FOUND) kept = 0;
    }
    RegCloseKey(key);
    return kept;
}

// Puts back the value `i` from the record: its text, or none.
static void PutBackValue(HKEY key, const wchar_t *folder, size_t i, int whole)
{
    RecordReader record;
    RecordEntry entry;
    int found = 0;
    if (whole && OpenRecord(&record, folder, kArmedName)) {
        while (!found && NextRecord(&record, &entry)) found = entry.kind == kValueKinds[i];
        CloseRecord(&record);
    }
    if (found) {
        DWORD cb = (DWORD)((wcslen(entry.text) + 1) * sizeof(wchar_t));
        if (RegSetValueExW(key, kValueNames[i], 0, REG_SZ, (const BYTE *)entry.text, cb) == ERROR_SUCCESS && i == 0)
            Note(L"put back the recorded version %ls", entry.text);
    } else {
        (void)RegDeleteValueW(key, kValueNames[i]);   // none before, or no longer true
        if (!whole && i == 0) Note(L"removed the recorded version: not everything could be put back");
    }
}

void PutBackDetectionValue(const wchar_t *folder, int whole)
{
    HKEY key = NULL;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDetectionKey, 0, NULL, 0, KEY_SET_VALUE | kView, NULL, &key, NULL) != ERROR_SUCCESS) {
        Note(L"could not open HKLM\\%ls to put back the recorded version", kDetectionKey);
        return;
    }
    for (size_t i = 0; i < kValues; ++i) PutBackValue(key, folder, i, whole || i != 0);
    RegCloseKey(key);
}
