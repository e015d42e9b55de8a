// Every handle the simulated calls hand out, in one table: registry keys, directory searches,
// tokens and printers, each with the access it was opened with.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "model/drives.h"
#include "model/machine.h"
#include "model/registry.h"

namespace simwin {

struct KeyHandle {
    Registry::Key* key;
    REGSAM access;
};

struct SearchHandle {
    std::string path;  // as FindFirstFileA was given it
    std::vector<FoundEntry> entries;
    size_t next = 0;
};

struct TokenHandle {
    DWORD access;
};

struct PrinterHandle {
    std::string printer;
    ACCESS_MASK access;
    bool deleted = false;  // DeletePrinter succeeded through this handle
};

class HandleTable {
  public:
    template <class T>
    uintptr_t open(T object) {
        uintptr_t h = next;
        next += 4;
        objects_.emplace(h, std::move(object));
        return h;
    }

    // The object behind `h` when it is a handle of that kind; nullptr otherwise.
    template <class T>
    T* find(uintptr_t h) {
        auto it = objects_.find(h);
        return it == objects_.end() ? nullptr : std::get_if<T>(&it->second);
    }
    template <class T>
    T* find(const void* h) {
        return find<T>(reinterpret_cast<uintptr_t>(h));
    }

    template <class T>
    bool close(const void* h) {
        if (!find<T>(h)) return false;
        objects_.erase(reinterpret_cast<uintptr_t>(h));
        return true;
    }

    template <class T>
    size_t count() const {
        size_t n = 0;
        for (const auto& entry : objects_) n += std::holds_alternative<T>(entry.second);
        return n;
    }

    // The next value handed out. Every kind shares the sequence, as traces show it.
    uintptr_t next = 0x1000;

  private:
    std::unordered_map<uintptr_t, std::variant<KeyHandle, SearchHandle, TokenHandle, PrinterHandle>>
        objects_;
};

// The machine's handle table, made on the first call that needs one.
inline HandleTable& handleTable(Machine& m) {
    if (!m.run.handles) m.run.handles = std::make_shared<HandleTable>();
    return *m.run.handles;
}

}  // namespace simwin
