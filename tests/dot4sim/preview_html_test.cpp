// The HTML report in a real browser: headless Chromium loads it offline and shows the verdict.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "TestImage.h"

namespace fs = std::filesystem;
using testsupport::TestImage;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(PreviewHtml, LoadsInABrowserAndShowsTheVerdict) {
    if (std::system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "chromium is not installed (scripts/setup.sh installs it)";
    TestImage a, b;
    a.fromExample("only-device");
    a.registry(std::regex_replace(a.registryText(), std::regex("Printers\\\\Office"),
                                  "Printers\\R&D <1>"));
    b.registry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n");
    std::string page = a.dir() + ".html", dom = a.dir() + ".dom", log = a.dir() + ".log";
    auto p = a.cli({"preview", a.dir(), b.dir(), "--html", page, "--", "-l"});
    ASSERT_EQ(p.status, 0) << p.err;
    std::string chromium =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--enable-logging=stderr --log-level=0 --user-data-dir=" +
        a.dir() + ".profile ";
    const std::string shot = fs::path(DOT4SIM_PATH).parent_path().string() + "/preview.png";
    ASSERT_EQ(
        std::system((chromium + "--dump-dom file://" + page + " >" + dom + " 2>" + log).c_str()), 0)
        << slurp(log);
    ASSERT_EQ(std::system((chromium + "--window-size=1200,1600 --screenshot=" + shot + " file://" +
                           page + " 2>>" + log)
                              .c_str()),
              0)
        << slurp(log);
    // The page's own errors only: chromium's background services log theirs too, and under load
    // some of them fail (a stable result needs only what the page did).
    std::string shown = slurp(dom);
    std::istringstream said(slurp(log));
    for (std::string line; std::getline(said, line);)
        if (line.find("CONSOLE(") != std::string::npos ||
            (line.find("file://") != std::string::npos &&
             (line.find("net::ERR_") != std::string::npos ||
              line.find("Failed to load") != std::string::npos)))
            ADD_FAILURE() << line;
    EXPECT_NE(shown.find("<p class=\"verdict\">the Dot4 stack is here ("), std::string::npos);
    EXPECT_NE(shown.find("<p class=\"verdict\">no trace of the Dot4 stack"), std::string::npos);
    EXPECT_NE(shown.find("<code>R&amp;D &lt;1&gt;</code>"), std::string::npos);  // escaped, shown
    EXPECT_NE(shown.find("<details"), std::string::npos);
    EXPECT_GT(fs::file_size(shot), 0u);
    for (const std::string& f : {page, dom, log}) fs::remove(f);
    fs::remove_all(a.dir() + ".profile");
}

}  // namespace
