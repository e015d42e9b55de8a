// The gate every simulated Win32 call passes: it counts the call, applies machine.ini [faults]
// and the NT-only check, writes the trace line and sets the thread's last error. The functions
// of sim/api_*.cpp open a Call first thing and end through one of its results.
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "model/machine.h"

namespace simwin {

enum class Family { Registry, File, System, Token, Spooler };

// One function of src/platform/seam_functions.def.
struct SeamFunction {
    const char* name;  // as [faults] and the trace name it
    Family family;
    bool ntOnly;  // fails with ERROR_CALL_NOT_IMPLEMENTED on Windows 95/98
    // Error codes Windows gives when it fails, the most usual first; empty: it cannot fail.
    std::vector<DWORD> failures;
};

enum class Fn : unsigned {
#define SEAM(name, ...) name,
#include "platform/seam_functions.def"
#undef SEAM
};

const std::vector<SeamFunction>& seamFunctions();  // in the list's order
const SeamFunction& seamFunction(Fn fn);
const SeamFunction* findSeamFunction(const std::string& name);  // exact name; nullptr: not listed

// The gate's fault lookup by name, for tests: counts a call of `function` and returns the error
// code it must fail with, if a [faults] entry applies. `subject` is the call's key or file path.
std::optional<DWORD> injectedFault(const char* function, const std::string& subject = {});

class Call {
  public:
    // `arguments` gives the traced argument text; it runs only when tracing, before the call
    // changes anything.
    explicit Call(Fn fn);
    template <class Arguments>
    Call(Fn fn, Arguments&& arguments) : Call(fn) {
        if (tracing_) line_ = std::string(function_.name) + "(" + arguments() + ")";
    }

    // The code the call fails with before it looks at its arguments: an injected fault, or
    // ERROR_CALL_NOT_IMPLEMENTED for an NT function on 95/98; 0 when it goes ahead. `subject`
    // gives the key or file path for CODE@subject faults, and runs only when one could apply.
    DWORD refusal() { return refuse(nullptr, nullptr); }
    template <class Subject>
    DWORD refusal(Subject&& subject) {
        using S = std::remove_reference_t<Subject>;
        return refuse([](const void* s) { return std::string((*static_cast<const S*>(s))()); },
                      &subject);
    }

    bool tracing() const { return tracing_; }
    Machine& machine() const { return m_; }

    // The ends of a call, one per way Win32 reports; each writes the trace line.
    // A status code returned as is: "= rc", then " [extra]" when there is one.
    LONG status(LONG rc) {
        return status(rc, [] { return std::string(); });
    }
    template <class Extra>
    LONG status(LONG rc, Extra&& extra) {
        if (tracing_) {
            std::string e = extra();
            finish(std::to_string(rc) + (e.empty() ? "" : " [" + e + "]"));
        }
        return rc;
    }
    // TRUE, or FALSE with the last error set: "= TRUE" / "= FALSE [error]", then detail().
    BOOL boolean(DWORD error) {
        return boolean(error, [] { return std::string(); });
    }
    template <class Detail>
    BOOL boolean(DWORD error, Detail&& detail) {
        if (error) m_.run.lastError = error;
        if (tracing_)
            finish((error ? "FALSE [" + std::to_string(error) + "]" : std::string("TRUE")) +
                   detail());
        return error ? FALSE : TRUE;
    }
    // Any other value: "= text()".
    template <class T, class Text>
    T returns(T value, Text&& text) {
        if (tracing_) finish(text());
        return value;
    }
    // A function without a result: the line is the call alone.
    void returns();

    void setLastError(DWORD error) { m_.run.lastError = error; }

  private:
    DWORD refuse(std::string (*subject)(const void*), const void* context);
    void finish(const std::string& result);

    Machine& m_;
    const SeamFunction& function_;
    unsigned number_;  // this call's number among the function's calls, from 1
    bool tracing_;
    std::string line_;
};

}  // namespace simwin
