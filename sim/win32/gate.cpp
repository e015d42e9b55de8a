#include "win32/gate.h"

namespace simwin {

namespace {

#define SEAM_FAILURES(...) \
    { __VA_ARGS__ }
const std::vector<SeamFunction> kSeamFunctions = {
#define SEAM(name, family, on, type, parameters, failures) \
    {#name, Family::family, #on[0] == 'N', SEAM_FAILURES failures},
#include "platform/seam_functions.def"
#undef SEAM
};
#undef SEAM_FAILURES

// The [faults] entry for call `number` of `function`, first match in machine.ini order.
std::optional<DWORD> matchFault(const Machine& m, const char* function, unsigned number,
                                std::string (*subject)(const void*), const void* context) {
    std::string s;
    bool haveSubject = false;
    for (const Fault& f : m.config.faults) {
        if (f.function != function) continue;
        if (f.nth != 0) {
            if (f.nth == number) return f.code;
        } else if (!f.subject.empty()) {
            if (!haveSubject) {
                if (subject) s = subject(context);
                haveSubject = true;
            }
            if (iequals(f.subject, s)) return f.code;
        } else {
            return f.code;
        }
    }
    return std::nullopt;
}

}  // namespace

const std::vector<SeamFunction>& seamFunctions() { return kSeamFunctions; }

const SeamFunction& seamFunction(Fn fn) { return kSeamFunctions[static_cast<unsigned>(fn)]; }

const SeamFunction* findSeamFunction(const std::string& name) {
    for (const SeamFunction& f : kSeamFunctions)
        if (name == f.name) return &f;
    return nullptr;
}

Call::Call(Fn fn)
    : m_(simwin::machine()),
      function_(seamFunction(fn)),
      number_(++m_.run.callCounts[function_.name]),
      tracing_(m_.report.traceEnabled) {
    if (tracing_) line_ = std::string(function_.name) + "()";
}

DWORD Call::refuse(std::string (*subject)(const void*), const void* context) {
    if (auto code = matchFault(m_, function_.name, number_, subject, context)) return *code;
    if (function_.ntOnly && !m_.config.isNT()) return ERROR_CALL_NOT_IMPLEMENTED;
    return 0;
}

void Call::finish(const std::string& result) {
    m_.report.traceLines.push_back(line_ + " = " + result);
}

void Call::returns() {
    if (tracing_) m_.report.traceLines.push_back(line_);
}

std::optional<DWORD> injectedFault(const char* function, const std::string& subject) {
    Machine& m = machine();
    unsigned number = ++m.run.callCounts[function];
    return matchFault(
        m, function, number, [](const void* s) { return *static_cast<const std::string*>(s); },
        &subject);
}

}  // namespace simwin
