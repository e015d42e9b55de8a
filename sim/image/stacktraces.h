// The Dot4 stack's own traces in a registry, and what the other keys a run deletes are.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "model/registry.h"

namespace simwin {

struct StackTrace {
    enum Kind { Device, Driver, Monitor, Port, Printer };
    Kind kind;
    const Registry::Key* key;
    std::string where;  // below HKEY_LOCAL_MACHINE or its control set: "Enum\\DOT4"
};

// The stack's keys, each the top of what is its: DOT4* enumerators under Enum, ##?#DOT4*
// instances of the USB printer port interface class, DOT4* class keys under Services\Class (by
// name or by their Class value), the Dot4 Monitor, Dot4_NNN ports and the printers on one. Looked
// up in HKEY_LOCAL_MACHINE and in every control set, not by walking the registry.
std::vector<StackTrace> stackTraces(const Registry& r);

// The keys of one deleted sub-tree that hold nothing of the stack, and what they say they are.
struct ForeignKeys {
    size_t count = 0;
    std::string what;  // "Root#RDPDR#0000 TS001-TS010"; empty when nothing says
};
// "21 of them not the stack's: WHAT" for a sub-tree of `total` keys; "" when all are the stack's.
std::string foreignPhrase(size_t total, const ForeignKeys& f);

// The registry as it was before a run: a run frees the values of the keys it deletes.
class StackKeys {
  public:
    // `keys`: every live key of `r` before the run.
    void take(const Registry& r, const std::vector<const Registry::Key*>& keys);
    const std::vector<StackTrace>& traces() const { return traces_; }
    // No trace, and neither above nor below one.
    bool foreign(const Registry::Key* k) const;
    // Of one deleted sub-tree's keys (nodes taken before the run), those not the stack's.
    ForeignKeys foreignIn(const std::vector<const Registry::Key*>& subtree) const;

  private:
    // What a key says it is: a device instance, or a port (base name and number, or a name).
    struct Said {
        std::string device, portBase;
        long portNumber = -1;
    };
    std::vector<StackTrace> traces_;
    std::unordered_set<const Registry::Key*> traceKeys_, holders_;
    std::unordered_map<const Registry::Key*, Said> said_;
};

}  // namespace simwin
