// The names of the INF store when a run began: a fixed table of their hashes, so that a rollback
// tells the copies a run staged from those that were there, in one pass over the store.
#pragma once

#include <stddef.h>
#include <wchar.h>

// The table is kept at most half full.
static const size_t kMaxStoreNames = (size_t)1 << 17;

// FNV-1a over the name in upper case, as Windows compares names; never 0.
unsigned long long NameHash(const wchar_t *name);
void ClearNames();
// Adds a hash; 0 when the table holds kMaxStoreNames already.
int AddName(unsigned long long hash);
int HasName(unsigned long long hash);
