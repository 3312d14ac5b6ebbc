// The security the setup package gives the folder it runs its programs from, and SetupRollback the
// folder it keeps a run's state in: SYSTEM and the Administrators group only, with full access,
// inherited by what is created in it, and nothing inherited from above (the folder's parent may
// let others in). The package's script reads the value from this line: keep it on one line, in
// this form.
#pragma once

static const wchar_t kAdminOnlySddl[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
