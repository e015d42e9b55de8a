#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "imports/hive.h"

namespace simwin {

namespace {

std::string hex(const unsigned char* md, unsigned len) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; ++i) out += digits[md[i] >> 4], out += digits[md[i] & 15];
    return out;
}

}  // namespace

std::string fileSha256(const std::string& host, uint64_t* size) {
    int fd = ::open(host.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "";
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    uint64_t total = 0;
    char buf[1 << 16];
    ssize_t n = 0;
    while (ok && (n = ::read(fd, buf, sizeof buf)) > 0) {
        ok = EVP_DigestUpdate(ctx.get(), buf, static_cast<size_t>(n)) == 1;
        total += static_cast<uint64_t>(n);
    }
    int e = errno;
    ::close(fd);
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (!ok || n < 0 || EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) return errno = e, "";
    if (size) *size = total;
    return hex(md, len);
}

std::string textSha256(const std::string& text) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    EVP_Digest(text.data(), text.size(), md, &len, EVP_sha256(), nullptr);
    return hex(md, len);
}

}  // namespace simwin
