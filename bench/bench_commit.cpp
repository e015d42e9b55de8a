// Commit benchmark: a run, and a preview, on a machine whose drive_c holds 20,000 more files
// (about 250 MB) against the same machine without them. Both cost what the run reads and
// changes, so each pair should take the same time; the disk a run uses besides the image is its
// transaction folder, measured when it is largest (just before the commit point).
//
//   bench_commit [EXAMPLE [WORKDIR [ROUNDS]]]
//       EXAMPLE defaults to examples/machines/road-of-one-device, WORKDIR to /tmp, ROUNDS to 5
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "image/transaction.h"
#include "model/drives.h"
#include "dot4sim/runner.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// Puts the example's own files back: a run deletes some of them. The extra files stay.
void restore(const std::string& example, const std::string& image) {
    fs::remove(image + "/outcome.ini");
    fs::copy(example, image, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

double runOnce(const std::string& image) {
    simwin::RunOptions o;
    o.image = image;
    std::ostringstream err;
    auto t0 = Clock::now();
    int status = simwin::runImage(o, err);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (status != 0) std::cerr << "bench_commit: run exited " << status << ": " << err.str();
    return s;
}

double previewOnce(const std::string& image) {
    std::ostringstream out, err;
    auto t0 = Clock::now();
    int status = simwin::previewMain({image, "--", "-l"}, out, err);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (status != 0) std::cerr << "bench_commit: preview exited " << status << ": " << err.str();
    return s;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

uintmax_t treeBytes(const std::string& dir) {
    uintmax_t n = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) n += e.file_size();
    return n;
}

// The transaction folder at its largest: a child run killed just before its commit point.
uintmax_t stagedBytes(const std::string& image) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("DOT4SIM_CRASH_AT", "0", 1);
        runOnce(image);
        std::_Exit(3);  // not reached: the commit kills the process
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    uintmax_t n = 0;
    for (const auto& e : fs::directory_iterator(image))
        if (e.path().filename().string().rfind(".dot4sim-txn", 0) == 0) n += treeBytes(e.path());
    simwin::recoverImage(image);  // rolls the killed run back
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    std::string example = argc > 1 ? argv[1] : "examples/machines/road-of-one-device";
    std::string work = argc > 2 ? argv[2] : "/tmp";
    int rounds = argc > 3 ? std::atoi(argv[3]) : 5;
    if (!fs::is_directory(example)) {
        std::cerr << "bench_commit: no example machine at " << example << "\n";
        return 2;
    }
    std::string small = work + "/bench_commit_small", large = work + "/bench_commit_large";
    fs::remove_all(small);
    fs::remove_all(large);
    fs::copy(example, small, fs::copy_options::recursive);
    fs::copy(example, large, fs::copy_options::recursive);
    const int files = 20000;
    std::string block(12500, 'x');
    for (int i = 0; i < files; ++i) {
        std::string dir = large + "/drive_c/DATA/D" + std::to_string(i % 100);
        if (i < 100) fs::create_directories(dir);
        std::ofstream(dir + "/file" + std::to_string(i) + ".dat", std::ios::binary) << block;
    }
    uintmax_t extra = treeBytes(large + "/drive_c") - treeBytes(small + "/drive_c");

    std::vector<double> ts, tl, ps, pl;
    for (int r = 0; r < rounds; ++r) {
        restore(example, small);
        restore(example, large);
        ps.push_back(previewOnce(small));
        pl.push_back(previewOnce(large));
    }
    for (int r = 0; r < rounds; ++r) {
        restore(example, small);
        restore(example, large);
        ts.push_back(runOnce(small));
        tl.push_back(runOnce(large));
    }
    restore(example, large);
    uintmax_t staged = stagedBytes(large);
    double s = median(ts), l = median(tl);
    std::printf("drive_c extra: %d files, %.1f MB\n", files, extra / 1e6);
    std::printf("run, example alone:        %.4f s (median of %d)\n", s, rounds);
    std::printf("run, with the extra files: %.4f s (median of %d)\n", l, rounds);
    std::printf("ratio: %.2f x (target <= 1.2 x)\n", l / s);
    std::printf("preview -l, example alone:        %.4f s (median of %d)\n", median(ps), rounds);
    std::printf("preview -l, with the extra files: %.4f s (median of %d)\n", median(pl), rounds);
    std::printf("ratio: %.2f x (target <= 1.2 x)\n", median(pl) / median(ps));
    std::printf("disk used during the run: %.3f MB (the transaction folder)\n", staged / 1e6);
    fs::remove_all(small);
    fs::remove_all(large);
    return 0;
}
