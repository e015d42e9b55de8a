#include "imports/hivelog.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>

#include "imports/hive.h"

namespace simwin {

namespace {

constexpr size_t kBase = 4096;  // the base block; the hive bins data follows it
constexpr size_t kSector = 512;
constexpr uint32_t kBin = 4096;  // hive bins are multiples of this
// Base block fields.
constexpr size_t kSeq1 = 4, kSeq2 = 8, kStamp = 12, kType = 28, kBinsSize = 40, kCluster = 44,
                 kFlags = 144, kSum = 508;
constexpr size_t kEntryHead = 40;  // a log entry's fixed part

uint32_t le32(const char* p) {
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return u[0] | u[1] << 8 | u[2] << 16 | static_cast<uint32_t>(u[3]) << 24;
}
uint32_t get32(const std::string& s, size_t at) { return le32(s.data() + at); }
uint64_t get64(const std::string& s, size_t at) {
    return get32(s, at) | static_cast<uint64_t>(get32(s, at + 4)) << 32;
}
void set32(std::string& s, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) s[at + i] = static_cast<char>(v >> (8 * i));
}

uint32_t checksum(const std::string& b) {
    uint32_t x = 0;
    for (size_t i = 0; i < kSum; i += 4) x ^= get32(b, i);
    return x == 0 ? 1 : x == 0xFFFFFFFF ? 0xFFFFFFFE : x;
}

std::string num(uint64_t n) { return std::to_string(n); }
std::string counted(uint64_t n, const char* one, const char* many) {
    return num(n) + " " + (n == 1 ? one : many);
}

// Why `h` cannot be the header of a hive bin at `at` of hive bins data `size` long; nullptr
// when it can.
const char* badBin(const char* h, uint64_t at, uint64_t size) {
    uint32_t length = le32(h + 8);
    if (std::memcmp(h, "hbin", 4) != 0) return "no hbin signature";
    if (le32(h + 4) != at) return "an offset that is not where it lies";
    if (length < kBin || length % kBin != 0) return "a size that is not a multiple of 4096";
    if (at + length > size) return "a size reaching past the hive's end";
    return nullptr;
}

// Why the log cannot be used, by its base block copy; "" when it can.
std::string checkHeader(const std::string& log, const std::string& hive, bool baseOk) {
    if (log.empty()) return "empty";
    if (log.size() < kSector) return "truncated: shorter than its base block";
    if (std::memcmp(log.data(), "regf", 4) != 0) return "not a transaction log (no regf header)";
    if (checksum(log) != get32(log, kSum)) return "its base block's checksum is wrong";
    const uint32_t type = get32(log, kType), seq1 = get32(log, kSeq1), seq2 = get32(log, kSeq2);
    if (type != 1 && type != 2 && type != 6)
        return "not a transaction log (file type " + num(type) + ")";
    if (seq1 != seq2)
        return "written part-way (its sequence numbers " + num(seq1) + " and " + num(seq2) +
               " differ)";
    // The timestamp ties a log to its hive's last write; a damaged base block leaves the copy
    // in the first bin, which the new format no longer keeps up to date.
    if (baseOk && get64(log, kStamp) != get64(hive, kStamp))
        return "of another hive or another write (its timestamp is not the hive's)";
    if (!baseOk && type != 6 &&
        (hive.size() < kBase + 28 || get64(log, kStamp) != get64(hive, kBase + 20)))
        return "of another hive or another write (its timestamp is not the hive's first bin's)";
    return "";
}

struct Recovery {
    std::string work;  // the hive as recovered so far
    const std::vector<LogInput>& logs;
    RecoveryReport& report;
    bool baseOk;
    uint32_t seq1, seq2;        // the hive's own, when its base block is valid
    uint64_t limit;             // the most hive bins data the hive and its logs can hold
    uint32_t last = 0;          // the sequence number of the last write recovered
    std::vector<bool> written;  // the 4096-byte blocks a log wrote

    void grow(uint64_t binsSize) {
        if (work.size() < kBase + binsSize) work.resize(kBase + binsSize, '\0');
        set32(work, kBinsSize, static_cast<uint32_t>(binsSize));
        if (written.size() < binsSize / kBin) written.resize(binsSize / kBin);
    }
    // The base block copy of a log over a damaged one, a primary file's again.
    void baseFrom(const std::string& log) {
        if (work.size() < kBase) work.resize(kBase, '\0');
        work.replace(0, kSector, log, 0, kSector);
        set32(work, kType, 0);
    }

    // Old format: the first log that fits, all of its dirty pages.
    bool old() {
        for (size_t i = 0; i < logs.size(); ++i) {
            LogUse& use = report.logs[i];
            if (!use.why.empty()) continue;
            const std::string saved = work;
            use.why = oldPages(logs[i].bytes, use);
            if (use.pages == 0 && !use.why.empty()) {
                work = saved;
                continue;
            }
            use.applied = true;
            last = get32(logs[i].bytes, kSeq1);
            for (size_t j = i + 1; j < logs.size(); ++j)
                if (report.logs[j].why.empty()) report.logs[j].why = "another log was applied";
            return true;
        }
        return false;
    }

    std::string oldPages(const std::string& log, LogUse& use) {
        const uint32_t seq = get32(log, kSeq1), factor = get32(log, kCluster);
        if (baseOk && (seq < seq2 || seq > seq1))
            return "its sequence number " + num(seq) + " does not fit the hive's (" + num(seq1) +
                   " and " + num(seq2) + ")";
        if (factor < 1 || factor > 8) return "a clustering factor of " + num(factor);
        const size_t sector = kSector * factor, bitmap = sector + 4;
        const uint64_t binsSize = get32(log, kBinsSize), bits = binsSize / kSector;
        if (binsSize == 0 || binsSize % kBin != 0)
            return "a hive bins data size of " + num(binsSize) + ", not a multiple of 4096";
        if (binsSize > limit)
            return "a hive bins data size of " + num(binsSize) + ", more than it and the hive hold";
        if (log.size() < bitmap) return "truncated: no dirty vector";
        if (std::memcmp(log.data() + sector, "DIRT", 4) != 0) return "no dirty vector (DIRT)";
        if (log.size() < bitmap + bits / 8) return "truncated: its dirty vector is cut short";
        const char* map = log.data() + bitmap;
        auto dirty = [&](uint64_t i) { return (map[i / 8] >> (i % 8)) & 1; };
        uint64_t count = 0;
        for (uint64_t i = 0; i < bits; ++i) count += dirty(i);
        const uint64_t first = (bitmap + bits / 8 + sector - 1) / sector * sector;
        if (log.size() < first + count * kSector)
            return "truncated: it holds " +
                   num(log.size() > first ? (log.size() - first) / kSector : 0) + " of the " +
                   num(count) + " dirty pages its dirty vector names";
        if (!baseOk) baseFrom(log);
        grow(binsSize);
        // Each run of dirty pages is written with the bins it holds checked; recovery stops at
        // the first that is invalid. `next` follows the chain of bins to the next header.
        uint64_t next = 0, from = first;
        bool lost = false;
        for (uint64_t i = 0; i < bits;) {
            if (!dirty(i)) {
                ++i;
                continue;
            }
            uint64_t j = i;
            while (j < bits && dirty(j)) ++j;
            const uint64_t a = i * kSector, b = j * kSector;
            const char* run = log.data() + from;
            for (; !lost && next < a; next += le32(work.data() + kBase + next + 8))
                lost = badBin(work.data() + kBase + next, next, binsSize) != nullptr;
            for (; !lost && next < b; next += le32(run + (next - a) + 8))
                if (const char* bad = badBin(run + (next - a), next, binsSize))
                    return "stopped at offset " + num(next) + ": a hive bin with " + bad;
            work.replace(kBase + a, b - a, run, b - a);
            use.pages += j - i, use.bytes += b - a, from += b - a;
            i = j;
        }
        return "";
    }

    // New format: the logs with later entries than the hive's, the earliest first, each
    // continuing the sequence.
    bool fresh() {
        std::vector<size_t> order;
        for (size_t i = 0; i < logs.size(); ++i) {
            LogUse& use = report.logs[i];
            if (!use.why.empty()) continue;
            const uint32_t seq = get32(logs[i].bytes, kSeq1);
            if (get32(logs[i].bytes, kType) != 6)
                use.why = "old format beside new-format logs";
            else if (baseOk && seq < seq2)
                use.why = "holds only what the hive has (its sequence number " + num(seq) +
                          ", the hive's " + num(seq2) + ")";
            else
                order.push_back(i);
        }
        auto seqOf = [&](size_t i) { return get32(logs[i].bytes, kSeq1); };
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return seqOf(a) < seqOf(b); });
        if (!baseOk && order.size() > 1) {  // only the latest log can give the base block
            for (size_t k = 0; k + 1 < order.size(); ++k)
                report.logs[order[k]].why =
                    "the hive's base block is damaged: only the log with the latest entries is "
                    "used";
            order.erase(order.begin(), order.end() - 1);
        }
        if (order.empty()) return false;
        if (!baseOk) baseFrom(logs[order[0]].bytes);
        uint32_t expected = seqOf(order[0]);
        if (baseOk && expected > seq2) report.gapFrom = seq2, report.gapTo = expected - 1;
        uint32_t entries = 0;
        for (size_t k = 0; k < order.size(); ++k) {
            LogUse& use = report.logs[order[k]];
            if (k > 0 && seqOf(order[k]) != expected) {
                use.why = "does not follow: its entries start at sequence number " +
                          num(seqOf(order[k])) + ", the next is " + num(expected);
                continue;
            }
            use.why = entriesOf(logs[order[k]].bytes, expected, use);
            if (use.entries == 0 && use.why.empty()) use.why = "no log entries";
            use.applied = use.entries > 0;
            entries += use.entries;
        }
        last = expected - 1;
        if (entries > 0) heal();
        return entries > 0;
    }

    // Applies the entries of one log from `expected` on; "" or why it stopped.
    std::string entriesOf(const std::string& log, uint32_t& expected, LogUse& use) {
        for (size_t at = kSector; at < log.size();) {
            const char* e = log.data() + at;
            const std::string where = "log entry at offset " + num(at);
            if (std::memcmp(e, "HvLE", std::min<size_t>(4, log.size() - at)) != 0) break;
            if (log.size() - at < kEntryHead) return "truncated: " + where + " is cut short";
            const uint32_t size = le32(e + 4), seq = le32(e + 12), binsSize = le32(e + 16),
                           count = le32(e + 20);
            // The second hash covers the header, so a size is checked only once it holds.
            if (marvin32(e, 32, kLogEntrySeed) != get64(log, at + 32))
                return where + ": its hash is wrong";
            if (size < kEntryHead || size % kSector != 0)
                return where + ": a size of " + num(size) + ", not a multiple of 512";
            if (size > log.size() - at)
                return "truncated: " + where + " needs " + num(size) + " bytes, " +
                       num(log.size() - at) + " are left";
            if (marvin32(e + kEntryHead, size - kEntryHead, kLogEntrySeed) != get64(log, at + 24))
                return where + ": its hash is wrong";
            if (seq != expected) {
                if (use.entries == 0)
                    return "its first log entry has sequence number " + num(seq) + ", not " +
                           num(expected);
                break;  // an older entry a later write left in place
            }
            if (binsSize == 0 || binsSize % kBin != 0)
                return where + ": a hive bins data size of " + num(binsSize) +
                       ", not a multiple of 4096";
            if (binsSize > limit)
                return where + ": a hive bins data size of " + num(binsSize) +
                       ", more than the hive and its logs hold";
            if (count > (size - kEntryHead) / 8) return where + ": more pages than it holds";
            uint64_t data = kEntryHead + uint64_t{count} * 8, total = 0;
            for (uint32_t i = 0; i < count; ++i) {
                const uint64_t offset = le32(e + kEntryHead + 8 * i),
                               length = le32(e + kEntryHead + 8 * i + 4);
                total += length;
                if (offset + length > binsSize || data + total > size)
                    return where + ": a page outside the hive or the entry";
            }
            grow(binsSize);
            set32(work, kFlags, (get32(work, kFlags) & ~1u) | (le32(e + 8) & 1));
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t offset = le32(e + kEntryHead + 8 * i),
                               length = le32(e + kEntryHead + 8 * i + 4);
                work.replace(kBase + offset, length, e + data, length);
                for (uint64_t b = offset / kBin; b * kBin < uint64_t{offset} + length; ++b)
                    written[b] = true;
                data += length;
            }
            ++use.entries, ++expected;
            use.pages += count, use.bytes += total;
            at += size;
        }
        return "";
    }

    // A bin a log wrote that is not valid becomes one empty bin, as Windows heals it.
    void heal() {
        const uint64_t size = get32(work, kBinsSize);
        for (uint64_t at = 0; at + kBin <= size;) {
            char* h = &work[kBase + at];
            if (!badBin(h, at, size)) {
                at += le32(h + 8);
                continue;
            }
            if (at / kBin >= written.size() || !written[at / kBin]) return;
            std::memset(h, 0, kBin);
            std::memcpy(h, "hbin", 4);
            set32(work, kBase + at + 4, static_cast<uint32_t>(at));
            set32(work, kBase + at + 8, kBin);
            set32(work, kBase + at + 32, kBin - 32);  // one free cell
            report.healed.push_back(static_cast<uint32_t>(at));
            at += kBin;
        }
    }
};

}  // namespace

uint64_t marvin32(const void* data, size_t size, uint64_t seed) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t p0 = static_cast<uint32_t>(seed), p1 = static_cast<uint32_t>(seed >> 32);
    auto rotl = [](uint32_t v, int n) { return v << n | v >> (32 - n); };
    auto mix = [&] {
        p1 ^= p0, p0 = rotl(p0, 20);
        p0 += p1, p1 = rotl(p1, 9);
        p1 ^= p0, p0 = rotl(p0, 27);
        p0 += p1, p1 = rotl(p1, 19);
    };
    for (; size >= 4; p += 4, size -= 4) {
        p0 += p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        mix();
    }
    uint32_t tail = 0x80u << (8 * size);
    for (size_t i = 0; i < size; ++i) tail |= static_cast<uint32_t>(p[i]) << (8 * i);
    p0 += tail;
    mix();
    mix();
    return static_cast<uint64_t>(p1) << 32 | p0;
}

bool hiveIsDirty(const std::string& hive) {
    return hive.size() >= kSector && std::memcmp(hive.data(), "regf", 4) == 0 &&
           (checksum(hive) != get32(hive, kSum) || get32(hive, kSeq1) != get32(hive, kSeq2));
}

std::string recoverHive(std::string& hive, const std::vector<LogInput>& logs,
                        RecoveryReport& report) {
    report = RecoveryReport{};
    for (const LogInput& l : logs) report.logs.emplace_back().name = l.name;
    if (hive.size() < kSector || std::memcmp(hive.data(), "regf", 4) != 0)
        return "not an NT hive (no regf header)";
    report.dirty = hiveIsDirty(hive);
    if (!report.dirty) return "";
    const bool baseOk = checksum(hive) == get32(hive, kSum);
    uint64_t limit = std::max<uint64_t>(baseOk ? get32(hive, kBinsSize) : 0,
                                        hive.size() > kBase ? hive.size() - kBase : 0);
    bool anyNew = false;
    for (size_t i = 0; i < logs.size(); ++i) {
        limit += logs[i].bytes.size();
        report.logs[i].why = checkHeader(logs[i].bytes, hive, baseOk);
        anyNew |= report.logs[i].why.empty() && get32(logs[i].bytes, kType) == 6;
    }
    Recovery r{hive, logs, report, baseOk, get32(hive, kSeq1), get32(hive, kSeq2), limit, 0, {}};
    report.newFormat = anyNew;
    if (!(anyNew ? r.fresh() : r.old())) {
        std::string why = "no log recovers it";
        for (size_t i = 0; i < logs.size(); ++i)
            why += (i ? "; " : " (") + logs[i].name + ": " + report.logs[i].why;
        return logs.empty() ? why : why + ")";
    }
    report.baseFromLog = !baseOk;
    const uint32_t seq = std::max(r.last, baseOk ? r.seq1 : 0) + 1;
    set32(r.work, kType, 0);
    set32(r.work, kSeq1, seq), set32(r.work, kSeq2, seq);
    set32(r.work, kSum, checksum(r.work));
    report.sequence = seq;
    hive.swap(r.work);
    return "";
}

std::string RecoveryReport::summary() const {
    std::string used, unused;
    for (const LogUse& l : logs) {
        if (l.applied) {
            std::string what = newFormat ? counted(l.entries, "log entry", "log entries") + ", " +
                                               counted(l.pages, "page", "pages")
                                         : counted(l.pages, "dirty page", "dirty pages");
            what += ", " + num((l.bytes + 1023) / 1024) + " KiB";
            if (!l.why.empty()) what += "; then stopped: " + l.why;
            used += (used.empty() ? "" : " and ") + l.name + " (" + what + ")";
        } else {
            unused += (unused.empty() ? "" : ", ") + l.name + " (" + l.why + ")";
        }
    }
    std::string s = used;
    if (gapTo)
        s += "; sequence numbers " + num(gapFrom) + " to " + num(gapTo) +
             " are in no log: Windows had written them into the hive";
    if (baseFromLog) s += "; its base block from the log";
    if (!healed.empty())
        s += "; " + counted(healed.size(), "hive bin", "hive bins") +
             " the logs left invalid made empty";
    if (!unused.empty()) s += "; not used: " + unused;
    return s;
}

PrivateFile::PrivateFile(const std::string& bytes) {
    fd_ = ::memfd_create("dot4-hive", MFD_CLOEXEC);
    if (fd_ >= 0) {
        path_ = "/proc/self/fd/" + std::to_string(fd_);
    } else {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/dot4-hive.XXXXXX";
        fd_ = ::mkstemp(&path_[0]);
        named_ = fd_ >= 0;
    }
    for (size_t done = 0; fd_ >= 0 && done < bytes.size();) {
        ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int e = n < 0 ? errno : EIO;
            if (named_) ::unlink(path_.c_str());
            ::close(fd_);
            fd_ = -1, named_ = false, errno = e;
            break;
        }
        done += static_cast<size_t>(n);
    }
}

PrivateFile::~PrivateFile() {
    if (named_) ::unlink(path_.c_str());
    if (fd_ >= 0) ::close(fd_);
}

const std::string& HiveFile::readPath() const { return recovered ? recovered->path() : host; }

namespace {

// A file of the partition as it is, no link followed; false with `why`.
bool readPartitionFile(const std::string& path, std::string& out, std::string& why,
                       size_t most = SIZE_MAX) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = fd < 0 && errno == ELOOP ? "a link; links are not followed"
              : fd < 0                 ? std::strerror(errno)
                                       : "not a regular file";
        if (fd >= 0) ::close(fd);
        return false;
    }
    out.clear();
    char buf[1 << 16];
    ssize_t n = 0;
    while (out.size() < most && (n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    if (n < 0) why = std::strerror(errno);
    ::close(fd);
    return n >= 0;
}

std::string entryWithoutCase(const std::string& dir, const std::string& name) {
    std::string found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (strcasecmp(e->d_name, name.c_str()) == 0) {
                found = e->d_name;
                break;
            }
        ::closedir(d);
    }
    return found;
}

}  // namespace

bool recoverHives(Partition& p, bool readStale, std::vector<std::string>& notes,
                  std::vector<std::string>& stale, std::ostream& err, bool forApply) {
    if (!p.nt) return true;
    for (HiveFile& f : p.hives) {
        std::string hive, why;
        // What is no hive, or cannot be read, is for checkHives to name.
        if (!readPartitionFile(f.host, hive, why, kBase) || !hiveIsDirty(hive) ||
            !readPartitionFile(f.host, hive, why))
            continue;
        const size_t slash = f.host.rfind('/');
        const std::string dir = f.host.substr(0, slash), base = f.host.substr(slash + 1);
        std::vector<LogInput> logs;
        std::string problems;
        for (const char* suffix : {".LOG1", ".LOG2", ".LOG"}) {
            std::string found = entryWithoutCase(dir, base + suffix);
            LogInput log{found, ""};
            if (found.empty())
                problems += "; " + base + suffix + " is missing";
            else if (!readPartitionFile(dir + "/" + found, log.bytes, why))
                problems += "; " + found + ": " + why;
            else
                logs.push_back(std::move(log));
        }
        const bool sums = checksum(hive) == get32(hive, kSum),
                   same = get32(hive, kSeq1) == get32(hive, kSeq2);
        RecoveryReport report;
        std::string failed = recoverHive(hive, logs, report);
        if (failed.empty()) {
            auto copy = std::make_shared<PrivateFile>(hive);
            if (copy->ok()) {
                f.recovered = copy;
                notes.push_back("recovered: " + f.host + " as Windows does when it starts, from " +
                                report.summary());
                continue;
            }
            failed =
                std::string("there is no room for its recovered copy: ") + std::strerror(errno);
        }
        const std::string text =
            std::string(same   ? "corrupt: its header's checksum is wrong"
                        : sums ? "not saved cleanly (its header's sequence numbers differ)"
                               : "not saved cleanly (its header's sequence numbers differ and its "
                                 "checksum is wrong)") +
            ", and " + failed +
            (problems.empty() || !logs.empty() ? problems : ":" + problems.substr(1));
        if (readStale) {
            f.stale = true;
            stale.push_back(f.name);
            notes.push_back("stale: " + f.host + " is " + text + "; read as it is (--stale-hives)");
            continue;
        }
        err << "dot4sim: " << f.host << ": " << text
            << (forApply ? "; apply never writes a hive its logs do not recover; nothing was "
                           "changed\n"
                         : "; import --stale-hives reads it as it is; nothing was made\n");
        return false;
    }
    return true;
}

}  // namespace simwin
