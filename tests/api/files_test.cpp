// The file calls, checked against what Windows does (docs/windows-behaviour.md, rows F).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ApiTest.h"

namespace {

using api::scratchPath;

void write(const std::string& path, const std::string& bytes) {
    FILE* f = platformOpenFile(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string read(const std::string& path) {
    FILE* f = platformOpenFile(path.c_str(), "rb");
    if (!f) return "<missing>";
    char buf[256];
    size_t n = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    return std::string(buf, n);
}

// The call's last error, or 0 when it succeeded.
template <class F>
DWORD errorOf(F call) {
    SetLastError(0);
    return call() ? 0 : GetLastError();
}

// The first name a search gives, or "" with `error` set.
std::string findFirst(const std::string& pattern, DWORD* error = nullptr) {
    WIN32_FIND_DATAA d;
    SetLastError(0);
    HANDLE h = FindFirstFileA(pattern.c_str(), &d);
    if (error) *error = h == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (h == INVALID_HANDLE_VALUE) return "";
    EXPECT_TRUE(FindClose(h));
    return d.cFileName;
}

DWORD findError(const std::string& pattern) {
    DWORD e;
    findFirst(pattern, &e);
    return e;
}

using Files = api::ApiTest;

TEST_F(Files, DeleteFileErrors) {
    const std::string plain = scratchPath("plain.dll"), ro = scratchPath("ro.dll");
    write(plain, "p");
    write(ro, "r");
    api::makeReadOnly(ro);
    EXPECT_EQ(errorOf([&] { return DeleteFileA(scratchPath("none.dll").c_str()); }), 2u);  // F1
    EXPECT_EQ(errorOf([&] { return DeleteFileA(ro.c_str()); }), 5u);                       // F2
    EXPECT_EQ(errorOf([&] { return DeleteFileA(api::scratchDir().c_str()); }), 5u);        // F3
    EXPECT_EQ(read(ro), "r");
    DWORD e = errorOf([] { return DeleteFileA(nullptr); });  // F7
    EXPECT_TRUE(e == 87 || e == 3) << e;
    e = errorOf([] { return DeleteFileA(""); });
    EXPECT_TRUE(e == 3 || e == 161) << e;
    EXPECT_EQ(errorOf([&] { return DeleteFileA(plain.c_str()); }), 0u);
    EXPECT_EQ(findError(plain), 2u);
}

TEST_F(Files, OpenFilesStayOnNtAndGoOn98AndLoadedModulesStayOnBoth) {
    const std::string held = scratchPath("held.dll"), loaded = scratchPath("loaded.dll");
    write(held, "h");
    api::holdOpen(held);
    api::loadModule(loaded);
    // F15: a file open elsewhere is not renamed.
    EXPECT_WIN(errorOf([&] { return MoveFileA(held.c_str(), scratchPath("x.dll").c_str()); }),
               api::isNT() ? 32u : 5u, WINE_GIVES("F15", 32));
    if (api::isNT()) {
        EXPECT_NE(errorOf([&] { return DeleteFileA(held.c_str()); }), 0u);    // F4
        EXPECT_EQ(errorOf([&] { return DeleteFileA(loaded.c_str()); }), 5u);  // F6
        EXPECT_EQ(findError(held), 0u);
        EXPECT_EQ(findError(loaded), 0u);
        return;
    }
    // F5, F6: Windows 95/98 delete open files, but not loaded modules.
    EXPECT_WIN(errorOf([&] { return DeleteFileA(held.c_str()); }), 0u, WINE_GIVES("F5", 32));
    EXPECT_EQ(errorOf([&] { return DeleteFileA(loaded.c_str()); }), 5u);
    EXPECT_WIN(findError(held), 2u, WINE_GIVES("F5", 0));
}

TEST_F(Files, SearchesOfRootsDirectoriesAndMissingNames) {
    write(scratchPath("Mixed.Case"), "12345");
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA(scratchPath("MIXED.case").c_str(), &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(d.cFileName, "Mixed.Case");  // the name as created
    EXPECT_EQ(d.nFileSizeLow, 5u);
    EXPECT_EQ(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(FindClose(h));
    h = FindFirstFileA(api::scratchDir().c_str(), &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_NE(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(FindClose(h));

    EXPECT_EQ(findError("C:\\"), 2u);             // F8
    EXPECT_NE(findFirst("C:\\*"), ".");           // F9: no "." in a drive root
    EXPECT_EQ(findFirst(scratchPath("*")), ".");  // but first elsewhere
    EXPECT_EQ(findFirst(scratchPath("*.case")), "Mixed.Case");
    if (!api::isNT()) return;
    EXPECT_EQ(findError(scratchPath("none\\bar.txt")), 3u);  // F11
    EXPECT_EQ(findError(scratchPath("none\\*.*")), 3u);
    EXPECT_EQ(findError(scratchPath("none.txt")), 2u);  // F12
    EXPECT_EQ(findError(scratchPath("*.xyz")), 2u);
    EXPECT_WIN(findError(scratchPath("none\\")), 3u, WINE_DEPARTS("F10"));
    EXPECT_EQ(findError(api::scratchDir() + "\\"), 2u);
}

// The path GetShortPathNameA gives, or "<error N>".
std::string shortPathOf(const std::string& path) {
    char buf[MAX_PATH];
    SetLastError(0);
    DWORD n = GetShortPathNameA(path.c_str(), buf, MAX_PATH);
    if (n == 0) return "<error " + std::to_string(GetLastError()) + ">";
    EXPECT_LT(n, DWORD(MAX_PATH));
    EXPECT_EQ(n, std::strlen(buf));
    return buf;
}

TEST_F(Files, ShortNamesAsFatGivesThem) {
    const std::string dir = scratchPath("Long Directory");
    ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
    // Created in name order, so numbered alike by every file system that numbers them.
    write(dir + "\\Quillmark Other.inf", "o");
    write(dir + "\\QuillmarkMIRELUSB.INF", "u");
    write(dir + "\\short.txt", "s");
    const std::string prefix = api::scratchDir().substr(0, 3);  // "C:\"
    const std::string base = prefix + "DOT4AP~1\\LONGDI~1\\";
    // F29, F30: every long component becomes its alias; an 8.3 one is copied as given.
    EXPECT_WIN(shortPathOf(dir + "\\QuillmarkMIRELUSB.INF") == base + "QUILLM~2.INF", true,
               WINE_DEPARTS("F29"));
    EXPECT_WIN(shortPathOf(dir + "\\Quillmark Other.inf") == base + "QUILLM~1.INF", true,
               WINE_DEPARTS("F29"));
    EXPECT_WIN(shortPathOf(dir + "\\short.txt") == base + "short.txt", true, WINE_DEPARTS("F29"));
    const std::string none = shortPathOf(dir + "\\none.txt");  // the tests accept 2 or 3
    EXPECT_TRUE(none == "<error 2>" || none == "<error 3>") << none;

    // Too small a buffer: the size needed, NUL included, and the buffer left alone.
    const std::string full = shortPathOf(dir + "\\short.txt");
    char small[4] = "abc";
    EXPECT_EQ(GetShortPathNameA((dir + "\\short.txt").c_str(), small, sizeof small),
              full.size() + 1);
    EXPECT_STREQ(small, "abc");

    // F13: the search gives the alias of a long name only; the alias finds the file.
    WIN32_FIND_DATAA d;
    HANDLE h = FindFirstFileA((dir + "\\QuillmarkMIRELUSB.INF").c_str(), &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FindClose(h);
    EXPECT_WIN(std::string(d.cAlternateFileName) == "QUILLM~2.INF", true, WINE_DEPARTS("F29"));
    h = FindFirstFileA((dir + "\\short.txt").c_str(), &d);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FindClose(h);
    EXPECT_STREQ(d.cAlternateFileName, "");
    const std::string alias = shortPathOf(dir + "\\QuillmarkMIRELUSB.INF");
    EXPECT_EQ(findFirst(alias), "QuillmarkMIRELUSB.INF");
    EXPECT_EQ(errorOf([&] { return DeleteFileA(alias.c_str()); }), 0u);
    EXPECT_EQ(findError(dir + "\\QuillmarkMIRELUSB.INF"), 2u);
}

TEST_F(Files, MovesAndReplacement) {
    const std::string a = scratchPath("a.dll"), b = scratchPath("b.dll");
    write(a, "aa");
    write(b, "bb");
    EXPECT_EQ(errorOf([&] { return MoveFileA(a.c_str(), b.c_str()); }), 183u);  // F14
    EXPECT_EQ(read(b), "bb");
    if (!api::isNT()) {
        const std::string c = scratchPath("c.dll");
        EXPECT_EQ(errorOf([&] { return MoveFileA(a.c_str(), c.c_str()); }), 0u);
        EXPECT_EQ(read(c), "aa");
        EXPECT_WIN(MoveFileExA(c.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING), FALSE,
                   WINE_GIVES("F18", TRUE));  // not on 95/98
        if (!api::underWine()) {
            EXPECT_EQ(read(b), "bb");
        }
        return;
    }
    EXPECT_EQ(errorOf([&] { return MoveFileExA(a.c_str(), b.c_str(), 0); }), 183u);
    EXPECT_EQ(errorOf([&] { return MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING); }),
              0u);
    EXPECT_EQ(read(b), "aa");
    EXPECT_EQ(findError(a), 2u);
    EXPECT_EQ(errorOf([&] { return MoveFileA(b.c_str(), scratchPath("B.DLL").c_str()); }), 0u);
    EXPECT_WIN(findFirst(b) == "B.DLL", true, WINE_GIVES("F16", false));  // only the case changed
    EXPECT_EQ(errorOf([&] { return MoveFileA(b.c_str(), scratchPath("x*.dll").c_str()); }),
              123u);  // F17
}

// The strings of PendingFileRenameOperations.
std::vector<std::string> pendingOperations(HKEY sessionManager, DWORD* type) {
    std::string data(65536, '\0');
    DWORD size = static_cast<DWORD>(data.size());
    std::vector<std::string> out;
    if (RegQueryValueExA(sessionManager, "PendingFileRenameOperations", nullptr, type,
                         reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
        return out;
    // Pairs: the source, then the target or an empty string.
    for (size_t at = 0; at < size && data[at]; at += out.back().size() + 1) {
        out.push_back(data.c_str() + at);
        at += out.back().size() + 1;
        out.push_back(at < size ? data.c_str() + at : "");
    }
    return out;
}

bool endsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

TEST_F(Files, DelayedMovesGoToTheSessionManagerOnNt) {
    if (!api::isNT()) GTEST_SKIP() << "F18: 95/98 have no MoveFileExA";
    const char* const pending = "PendingFileRenameOperations";
    HKEY sm = nullptr;
    ASSERT_EQ(
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                      KEY_ALL_ACCESS, &sm),
        ERROR_SUCCESS);
    // Whatever was scheduled before is put back at the end.
    std::string before(65536, '\0');
    DWORD type = 0, size = static_cast<DWORD>(before.size());
    bool had = RegQueryValueExA(sm, pending, nullptr, &type, reinterpret_cast<BYTE*>(&before[0]),
                                &size) == ERROR_SUCCESS;
    before.resize(had ? size : 0);

    // F19: in the order issued, the files need not exist; a deletion has an empty target.
    const std::string gone = scratchPath("never.dll"), from = scratchPath("from.dll"),
                      to = scratchPath("to.dll");
    EXPECT_TRUE(MoveFileExA(gone.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_TRUE(MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
    type = 0;
    std::vector<std::string> ops = pendingOperations(sm, &type);
    EXPECT_EQ(type, DWORD(REG_MULTI_SZ));
    ASSERT_GE(ops.size(), 4u);
    const size_t n = ops.size();
    EXPECT_TRUE(endsWith(ops[n - 4], gone)) << ops[n - 4];
    EXPECT_EQ(ops[n - 3], "");
    EXPECT_TRUE(endsWith(ops[n - 2], from)) << ops[n - 2];
    EXPECT_TRUE(endsWith(ops[n - 1], to)) << ops[n - 1];
    EXPECT_WIN(
        MoveFileExA(gone.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED),
        FALSE, WINE_GIVES("F22", TRUE));

    if (had)
        RegSetValueExA(sm, pending, 0, type, reinterpret_cast<const BYTE*>(before.data()),
                       static_cast<DWORD>(before.size()));
    else
        RegDeleteValueA(sm, pending);
    RegCloseKey(sm);
}

TEST_F(Files, CreateDirectoryNeedsTheParentAndANewName) {
    const std::string dir = scratchPath("Dir");
    EXPECT_EQ(errorOf([&] { return CreateDirectoryA(dir.c_str(), nullptr); }), 0u);
    EXPECT_EQ(errorOf([&] { return CreateDirectoryA(scratchPath("DIR").c_str(), nullptr); }),
              183u);  // F27
    EXPECT_EQ(errorOf([&] { return CreateDirectoryA(scratchPath("no\\sub").c_str(), nullptr); }),
              3u);  // F28
    write(dir + "\\in.txt", "x");
    EXPECT_EQ(read(scratchPath("dir\\IN.TXT")), "x");
}

}  // namespace
