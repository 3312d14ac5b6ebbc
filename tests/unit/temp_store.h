// A fresh drive C: on a temporary folder for each test, with an empty C:\Windows\inf.
#pragma once

#include "hostwin.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

class TempStoreTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes `bytes` to a Windows path (creating its folders) and returns the path.
    std::wstring Put(const std::wstring &path, const std::string &bytes);
    std::wstring PutInf(const std::wstring &name, const std::string &bytes) { return Put(kInf + name, bytes); }
    bool Exists(const std::wstring &path);
    void MakeReadOnly(const std::wstring &path);
    void MakeFolder(const std::wstring &path);
    // Reads of `path` recorded by the stand-in, as the byte counts they delivered.
    std::vector<DWORD> ReadsOf(const std::wstring &path);
    int OpensOf(const std::wstring &path);
    std::vector<std::wstring> Deletions();   // successful ones, in order
    // Every file under a Windows folder, by its path relative to it, with its bytes; folders as
    // "path/" with no bytes. Empty when the folder does not exist.
    std::map<std::string, std::string> Tree(const std::wstring &folder);

    static const std::wstring kInf;   // L"C:\\Windows\\inf\\"
    std::string root_;
};

// The device's hardware ID and text around it.
inline const std::string kDeviceId = "USB\\VID_8817&PID_3402";
std::string Filler(size_t cb, char c = 'x');
std::string Utf16(const std::string &ascii, bool bigEndian, bool withMark);
