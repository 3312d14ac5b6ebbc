#include "temp_store.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

const std::wstring TempStoreTest::kInf = L"C:\\Windows\\inf\\";

void TempStoreTest::SetUp()
{
    hostwin::Reset();
    char pattern[] = "/tmp/brellan-store-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(pattern));
    root_ = pattern;
    hostwin::SetDriveRoot(root_);
    MakeFolder(L"C:\\Windows\\inf");
}

void TempStoreTest::TearDown()
{
    EXPECT_EQ(0, hostwin::OpenHandles()) << "a handle was left open";
    hostwin::Reset();
    std::filesystem::remove_all(root_);
}

std::wstring TempStoreTest::Put(const std::wstring &path, const std::string &bytes)
{
    std::filesystem::path host = hostwin::HostPath(path);
    std::filesystem::create_directories(host.parent_path());
    std::ofstream(host, std::ios::binary).write(bytes.data(), (std::streamsize)bytes.size());
    return path;
}

bool TempStoreTest::Exists(const std::wstring &path) { return std::filesystem::exists(hostwin::HostPath(path)); }

void TempStoreTest::MakeReadOnly(const std::wstring &path) { chmod(hostwin::HostPath(path).c_str(), 0444); }

void TempStoreTest::MakeFolder(const std::wstring &path) { std::filesystem::create_directories(hostwin::HostPath(path)); }

std::vector<DWORD> TempStoreTest::ReadsOf(const std::wstring &path)
{
    std::vector<DWORD> reads;
    for (const hostwin::FileEvent &e : hostwin::FileEvents())
        if (e.kind == hostwin::FileEvent::Read && e.path == path) reads.push_back(e.result);
    return reads;
}

int TempStoreTest::OpensOf(const std::wstring &path)
{
    int opens = 0;
    for (const hostwin::FileEvent &e : hostwin::FileEvents())
        if (e.kind == hostwin::FileEvent::Open && e.path == path) ++opens;
    return opens;
}

std::vector<std::wstring> TempStoreTest::Deletions()
{
    std::vector<std::wstring> deleted;
    for (const hostwin::FileEvent &e : hostwin::FileEvents())
        if (e.kind == hostwin::FileEvent::Delete && e.result == 0) deleted.push_back(e.path);
    return deleted;
}

std::map<std::string, std::string> TempStoreTest::Tree(const std::wstring &folder)
{
    std::map<std::string, std::string> tree;
    std::filesystem::path host = hostwin::HostPath(folder);
    if (!std::filesystem::is_directory(host)) return tree;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(host)) {
        std::string relative = std::filesystem::relative(entry.path(), host).string();
        if (entry.is_directory()) {
            tree[relative + "/"] = "";
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        tree[relative] = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return tree;
}

std::string Filler(size_t cb, char c) { return std::string(cb, c); }

std::string Utf16(const std::string &ascii, bool bigEndian, bool withMark)
{
    std::string out;
    if (withMark) out += bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        if (bigEndian) out += '\0';
        out += c;
        if (!bigEndian) out += '\0';
    }
    return out;
}
