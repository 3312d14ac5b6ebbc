// Where the setup package places the product's two INF files, and where PkgStage takes them from.
// The installer script (installer/BrellanFlashwrightSetup.nsi) reads its values from these very
// lines, so each is written once: keep every constant on one line, in this form.
#pragma once

static const wchar_t kInstallFolder[] = L"C:\\Program Files\\Quillmere\\Brellan Flashwright Installer";
static const wchar_t kToolInfName[] = L"flashwright.inf";
static const wchar_t kDeviceInfName[] = L"brellan.inf";
