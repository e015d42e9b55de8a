#include "imports/fileedit.h"

#include <fcntl.h>
#include <hivex.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "imports/creg.h"
#include "imports/hive.h"
#include "model/host.h"

namespace simwin {

namespace {

// Standard error pointed at /dev/null for a while: libhivex prints some errors itself, and the
// caller's message names the key instead.
struct QuietStderr {
    int saved = ::dup(2);
    QuietStderr() {
        int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && null >= 0) ::dup2(null, 2);
        if (null >= 0) ::close(null);
    }
    ~QuietStderr() {
        if (saved >= 0) ::dup2(saved, 2), ::close(saved);
    }
};

bool isText(uint32_t t) { return t == 1 || t == 2 || t == 7; }  // REG_SZ, EXPAND_SZ, MULTI_SZ

class NtEdit : public RegistryFileEdit {
  public:
    explicit NtEdit(hive_h* h) : h_(h) {}
    ~NtEdit() override { hivex_close(h_); }
    std::string remove(const std::vector<std::string>& names) override {
        QuietStderr quiet;
        hive_node_h n = node(names, names.size());
        return n && !names.empty() && hivex_node_delete_child(h_, n) == 0 ? "" : failed();
    }
    std::string create(const std::vector<std::string>& names,
                       const std::vector<FileValue>& values) override {
        QuietStderr quiet;
        hive_node_h parent = names.empty() ? 0 : node(names, names.size() - 1);
        hive_node_h n =
            parent ? hivex_node_add_child(h_, parent, codePageToUtf8(names.back()).c_str()) : 0;
        return n && (values.empty() || setAll(n, values)) ? "" : failed();
    }
    std::string set(const std::vector<std::string>& names,
                    const std::vector<FileValue>& values) override {
        QuietStderr quiet;
        hive_node_h n = node(names, names.size());
        return n && setAll(n, values) ? "" : failed();
    }
    std::string write(const std::string& path) override {
        int fd = createExclusive(path);
        if (fd < 0) return std::strerror(errno);
        ::close(fd);
        QuietStderr quiet;
        return hivex_commit(h_, path.c_str(), 0) == 0 ? "" : std::strerror(errno);
    }
    const char* withoutClass() const override { return "libhivex writes none"; }

  private:
    hive_node_h node(const std::vector<std::string>& names, size_t count) {
        hive_node_h n = hivex_root(h_);
        for (size_t i = 0; i < count && n; ++i)
            n = hivex_node_get_child(h_, n, codePageToUtf8(names[i]).c_str());
        return n;
    }
    bool setAll(hive_node_h n, const std::vector<FileValue>& values) {
        std::vector<HiveValue> set;
        for (const FileValue& v : values)
            set.push_back({codePageToUtf8(v.name),
                           isText(v.type) ? codePageToUtf16(v.data) : v.data, v.type});
        return setHiveValues(h_, n, set);
    }
    static std::string failed() {
        return errno ? std::string("libhivex: ") + std::strerror(errno) : "libhivex refuses it";
    }
    hive_h* h_;
};

class CregEdit : public RegistryFileEdit {
  public:
    creg::Editor ed;
    std::string remove(const std::vector<std::string>& names) override {
        return ed.deleteKey(names);
    }
    std::string create(const std::vector<std::string>& names,
                       const std::vector<FileValue>& values) override {
        return ed.createKey(names, convert(values));
    }
    std::string set(const std::vector<std::string>& names,
                    const std::vector<FileValue>& values) override {
        return ed.setValues(names, convert(values));
    }
    std::string write(const std::string& path) override {
        int fd = createExclusive(path);
        if (fd < 0) return std::strerror(errno);
        bool ok = writeAll(fd, ed.bytes().data(), ed.bytes().size());
        int e = errno;
        if (::close(fd) != 0 && ok) ok = false, e = errno;
        if (!ok) ::unlink(path.c_str());
        errno = e;
        return ok ? "" : std::strerror(e);
    }
    const char* withoutClass() const override { return "95/98 registry files hold none"; }

  private:
    static std::vector<creg::Value> convert(const std::vector<FileValue>& values) {
        std::vector<creg::Value> out;
        for (const FileValue& v : values) out.push_back({v.name, v.data, v.type});
        return out;
    }
};

}  // namespace

std::unique_ptr<RegistryFileEdit> editRegistryFile(const HiveFile& f, bool nt, std::string& why) {
    if (nt) {
        // A dirty hive is edited as its logs recover it, and written clean.
        hive_h* h = hivex_open(f.readPath().c_str(), HIVEX_OPEN_WRITE);
        if (!h) {
            why = std::string("libhivex cannot open it for writing: ") + std::strerror(errno);
            return nullptr;
        }
        return std::make_unique<NtEdit>(h);
    }
    auto edit = std::make_unique<CregEdit>();
    std::string bytes;
    int fd = ::open(f.host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    char buf[1 << 16];
    ssize_t n = 0;
    while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0) bytes.append(buf, size_t(n));
    if (fd < 0 || n < 0) {
        why = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    ::close(fd);
    why = edit->ed.open(std::move(bytes));
    if (!why.empty()) return nullptr;
    return edit;
}

}  // namespace simwin
