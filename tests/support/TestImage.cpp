#include "TestImage.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "model/drives.h"
#include "image/regfile.h"
#include "image/image.h"
#include "model/registry.h"

namespace fs = std::filesystem;

namespace testsupport {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

void spit(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string shellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string trimRight(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string trimBoth(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return trimRight(s.substr(b));
}

bool isHexRow(const std::string& l) {
    if (l.size() < 12 || l[0] != ' ' || l[1] != ' ') return false;
    for (size_t i = 2; i < 10; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(l[i]))) return false;
    return l[10] == ':' && l[11] == ' ';
}

bool isColumnLine(const std::string& l) {
    if (l.size() < 77) return false;
    for (size_t i = 0; i < 4; ++i)
        if (!std::isdigit(static_cast<unsigned char>(l[i]))) return false;
    return true;
}

}  // namespace

std::string withoutCr(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != '\r') out += c;
    return out;
}

std::string withCrlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::vector<LogRecord> parseLog(const std::string& bytes) {
    std::vector<LogRecord> records;
    std::vector<std::string> lines;
    std::string cur;
    for (char c : bytes) {
        if (c == '\n') {
            if (!cur.empty() && cur.back() == '\r') cur.pop_back();
            lines.push_back(cur);
            cur.clear();
        } else if (c != '\x01') {
            cur += c;
        }
    }
    if (!cur.empty()) lines.push_back(cur);
    LogRecord* r = nullptr;
    for (const std::string& l : lines) {
        if (isColumnLine(l)) {
            records.emplace_back();
            r = &records.back();
            r->number = std::atoi(l.substr(0, 6).c_str());
            r->category = trimBoth(l.substr(6, 9));
            r->type = trimBoth(l.substr(15, 8));
            r->level = trimBoth(l.substr(23, 8));
            r->source = l.substr(31, 16);
            r->source = trimRight(r->source);
            r->line = std::atoi(l.substr(47, 6).c_str());
            r->timestamp = l.substr(53, 24);
            continue;
        }
        if (!r) continue;  // title and rule lines
        if (isHexRow(l)) {
            r->hasData = true;
            // Sixteen groups of "xx " follow the address; a short row is padded with blanks.
            for (size_t i = 0; i < 16; ++i) {
                size_t p = 12 + 3 * i;
                if (p + 2 > l.size() || l[p] == ' ') break;
                r->data.push_back(static_cast<uint8_t>(std::stoul(l.substr(p, 2), nullptr, 16)));
            }
            continue;
        }
        if (l.empty()) continue;
        if (l.size() >= 2 && l[0] == ' ' && l[1] == ' ') {
            r->messageLines.push_back(l);
            r->message += l.substr(2);
        } else if (l == " ") {
            r->hasData = true;  // the text column of an empty data block
        }
    }
    return records;
}

std::vector<std::string> messagesOf(const std::vector<LogRecord>& records) {
    std::vector<std::string> out;
    for (const LogRecord& r : records) out.push_back(r.message);
    return out;
}

TestImage::TestImage() {
    char tmpl[] = "/tmp/dot4test-XXXXXX";
    char* d = mkdtemp(tmpl);
    if (!d) throw std::runtime_error("mkdtemp failed");
    dir_ = d;
}

TestImage::~TestImage() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

TestImage& TestImage::machineIni(const std::string& text) {
    spit(dir_ + "/machine.ini", text);
    return *this;
}

TestImage& TestImage::registry(const std::string& text) {
    if (text.rfind("REGEDIT4", 0) == 0 || text.rfind("Windows Registry", 0) == 0)
        spit(dir_ + "/registry.reg", text);
    else
        spit(dir_ + "/registry.reg", "REGEDIT4\r\n\r\n" + text);
    return *this;
}

std::string TestImage::hostPath(const std::string& windowsPath) const {
    if (windowsPath.size() < 2 || windowsPath[1] != ':')
        throw std::invalid_argument("not an absolute Windows path: " + windowsPath);
    char drive = static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath[0])));
    std::string rest = windowsPath.substr(2);
    for (char& c : rest)
        if (c == '\\') c = '/';
    return dir_ + "/drive_" + drive + rest;
}

TestImage& TestImage::file(const std::string& windowsPath, const std::string& content) {
    spit(hostPath(windowsPath), content);
    return *this;
}

TestImage& TestImage::directory(const std::string& windowsPath) {
    fs::create_directories(hostPath(windowsPath));
    return *this;
}

TestImage& TestImage::fromExample(const std::string& name) {
    fs::copy(std::string(SOURCE_DIR) + "/examples/machines/" + name, dir_,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return *this;
}

bool TestImage::exists(const std::string& windowsPath) const {
    std::error_code ec;
    return fs::exists(fs::symlink_status(hostPath(windowsPath), ec));
}

std::string TestImage::readFile(const std::string& windowsPath) const {
    return slurp(hostPath(windowsPath));
}

std::string TestImage::readImageFile(const std::string& relative) const {
    return slurp(dir_ + "/" + relative);
}

bool TestImage::imageFileExists(const std::string& relative) const {
    return fs::exists(dir_ + "/" + relative);
}

TestImage::Result TestImage::run(const std::vector<std::string>& programArgs,
                                 const std::string& answer, const std::string& traceFile) {
    simwin::RunOptions o;
    o.image = dir_;
    if (!answer.empty()) o.answerYes = answer == "yes";
    o.traceFile = traceFile;
    o.args = programArgs;
    std::ostringstream err;
    Result r;
    r.status = simwin::runImage(o, err);
    r.err = err.str();
    return r;
}

TestImage::Result TestImage::cli(const std::vector<std::string>& dot4simArgs) {
    std::string outFile = dir_ + ".stdout", errFile = dir_ + ".stderr";
    std::string cmd = shellQuote(DOT4SIM_PATH);
    for (const std::string& a : dot4simArgs) cmd += " " + shellQuote(a);
    cmd += " >" + shellQuote(outFile) + " 2>" + shellQuote(errFile) + " </dev/null";
    int st = std::system(cmd.c_str());
    Result r;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = slurp(outFile);
    r.err = slurp(errFile);
    std::remove(outFile.c_str());
    std::remove(errFile.c_str());
    return r;
}

TestImage::Result TestImage::restart() {
    std::ostringstream out, err;
    Result r;
    r.status = simwin::restartImage(dir_, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

std::string TestImage::outcome(const std::string& section, const std::string& key) const {
    std::istringstream in(readImageFile("outcome.ini"));
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] == '[') {
            current = line.substr(1, line.size() - 2);
            continue;
        }
        size_t eq = line.find('=');
        if (current == section && eq != std::string::npos && line.substr(0, eq) == key)
            return line.substr(eq + 1);
    }
    return "";
}

std::vector<LogRecord> TestImage::log(const std::string& windowsPath) const {
    return parseLog(readFile(windowsPath));
}

std::vector<std::string> TestImage::logMessages(const std::string& windowsPath) const {
    return messagesOf(log(windowsPath));
}

SimMachine::SimMachine(const std::string& machineIni, const std::string& registry)
    : owned_(std::make_unique<TestImage>()), image_(owned_.get()) {
    if (!machineIni.empty()) image_->machineIni(machineIni);
    if (!registry.empty()) image_->registry(registry);
    load();
}

SimMachine::SimMachine(TestImage& image) : image_(&image) { load(); }

void SimMachine::load() {
    machine_ = simwin::loadImage(image_->dir());
    machine_->report.traceEnabled = true;
    simwin::activate(machine_.get());
}

SimMachine::~SimMachine() {
    if (!saved_ && machine_->run.files) machine_->run.staging->discard();
    simwin::activate(nullptr);
}

std::string SimMachine::registryText() const {
    std::ostringstream out;
    simwin::writeRegFile(*machine_->run.registry, out);
    return out.str();
}

void SimMachine::save() {
    simwin::saveImage(*machine_, true);
    saved_ = true;
}

TestLog::TestLog(int32_t levelThreshold, const std::string& windowsPath)
    : path_(windowsPath), log_(std::make_unique<BLogFile>(windowsPath, 16384, false)) {
    log_->levelThreshold = levelThreshold;
    g_log = log_.get();
}

std::vector<LogRecord> TestLog::finish(SimMachine& sm) {
    g_log = nullptr;
    log_.reset();
    sm.save();
    return parseLog(sm.image().readFile(path_));
}

std::string jsonField(const std::string& json, const std::string& name, size_t nth) {
    size_t at = 0;
    for (size_t i = 0; i <= nth; ++i) {
        at = json.find("\"" + name + "\": ", at);
        if (at == std::string::npos) return "(missing " + name + ")";
        at += name.size() + 4;
    }
    if (json[at] != '[') return json.substr(at, json.find_first_of(",}", at) - at);
    int depth = 0;
    for (size_t i = at; i < json.size(); ++i) {
        if (json[i] == '[') ++depth;
        if (json[i] == ']' && --depth == 0) return json.substr(at, i - at + 1);
    }
    return "(unclosed " + name + ")";
}

std::vector<std::string> jsonStrings(const std::string& array) {
    std::vector<std::string> out;
    std::regex item("\"((?:[^\"\\\\]|\\\\.)*)\"");
    for (std::sregex_iterator i(array.begin(), array.end(), item), end; i != end; ++i)
        out.push_back(std::regex_replace((*i)[1].str(), std::regex("\\\\(.)"), "$1"));
    return out;
}

}  // namespace testsupport
