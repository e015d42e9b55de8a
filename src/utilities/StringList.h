// The one container of the system: an ordered list of strings growing in steps of 64.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// An index at or above the count. `index()` and `count()` name the offending access.
class RWBoundsErr : public std::out_of_range {
  public:
    RWBoundsErr(const std::string& message, uint32_t index, uint32_t count, bool noPosition);
    uint32_t index() const { return index_; }
    uint32_t count() const { return count_; }
    bool isNoPosition() const { return noPosition_; }

  private:
    uint32_t index_;
    uint32_t count_;
    bool noPosition_;
};

class StringList {
  public:
    static constexpr uint32_t kNoPosition = 0xFFFFFFFFu;

    explicit StringList(uint32_t capacity = 64);
    StringList(const StringList& other);
    StringList& operator=(const StringList& other);
    virtual ~StringList();

    void append(std::string text);
    std::string& at(uint32_t index);
    std::string at(uint32_t index) const;
    uint32_t count() const { return count_; }
    uint32_t capacity() const { return capacity_; }
    void setCount(uint32_t n);  // callers empty a list with setCount(0)
    void boundsCheck(uint32_t index) const;

  private:
    void growTo(uint32_t n);

    uint32_t capacity_;
    std::string* slots_;
    uint32_t count_;
};
