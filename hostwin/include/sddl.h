// Host stand-in for the SDDL conversions (<sddl.h>). A descriptor here is its SDDL text.
#pragma once

#include <windows.h>

#define SDDL_REVISION_1 1u

BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision, PSECURITY_DESCRIPTOR *descriptor,
                                                          DWORD *cbDescriptor);
BOOL ConvertSecurityDescriptorToStringSecurityDescriptorW(PSECURITY_DESCRIPTOR descriptor, DWORD revision,
                                                          SECURITY_INFORMATION requested, LPWSTR *sddl, DWORD *cchSddl);
