// Where the setup package places the product's two INF files, and where PkgStage takes them from.
// The installer script (installer/BrellanFlashwrightSetup.nsi) reads its values from these very
// lines, so each is written once: keep every constant on one line, in this form.
#pragma once

static const wchar_t kInstallFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Installer";
static const wchar_t kToolInfName[] = L"flashwright.inf";
static const wchar_t kDeviceInfName[] = L"brellan.inf";
// Where a deployment tool's detection rule finds the installed version (the registry's 64-bit view).
static const wchar_t kDetectionKey[] = L"SOFTWARE\\Quillmere\\Brellan Flashwright Installer";
static const wchar_t kDetectionValueName[] = L"Version";
// The copy of the setup package in the install folder that the Apps & features entry runs.
static const wchar_t kPackageCopyName[] = L"BrellanFlashwrightSetup.exe";
// The list of every file an install placed, in the install folder beside them (the package's work
// list, as built): what an upgrade, a repair and an uninstall go by.
static const wchar_t kFileListName[] = L"BrellanFlashwrightSetup.files";
// Beside the detection value: the folder above the install folder, when an install made it.
static const wchar_t kMadeFolderValueName[] = L"MadeFolder";
