// The store's names, hashed, in an open-addressed table of fixed size. The table (2 MiB) lives in
// the program's zero-filled data, not on a stack; this file is built without -fdata-sections,
// with which mingw would store those 2 MiB of zeros in the image.
#include "name_set.h"

#include <string.h>
#include <wctype.h>

static const size_t kNameSlots = kMaxStoreNames * 2;

struct NameTable {
    size_t count;
    unsigned long long slots[kNameSlots];   // 0: a free slot
};
static NameTable g_names;

unsigned long long NameHash(const wchar_t *name)
{
    unsigned long long hash = 14695981039346656037ull;
    for (; *name != 0; ++name) {
        hash ^= (unsigned long long)(unsigned)towupper(*name);
        hash *= 1099511628211ull;
    }
    return hash == 0 ? 1 : hash;
}

void ClearNames() { memset(&g_names, 0, sizeof g_names); }

int AddName(unsigned long long hash)
{
    if (g_names.count >= kMaxStoreNames) return 0;
    size_t slot = (size_t)(hash & (kNameSlots - 1));
    while (g_names.slots[slot] != 0 && g_names.slots[slot] != hash) slot = (slot + 1) & (kNameSlots - 1);
    if (g_names.slots[slot] == 0) {
        g_names.slots[slot] = hash;
        g_names.count++;
    }
    return 1;
}

int HasName(unsigned long long hash)
{
    size_t slot = (size_t)(hash & (kNameSlots - 1));
    while (g_names.slots[slot] != 0) {
        if (g_names.slots[slot] == hash) return 1;
        slot = (slot + 1) & (kNameSlots - 1);
    }
    return 0;
}
