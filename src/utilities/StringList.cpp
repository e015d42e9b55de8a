#include "utilities/StringList.h"

#include <algorithm>

namespace {

std::string indexMessage(uint32_t index, uint32_t count) {
    return "index " + std::to_string(index) + " is out of range: the list holds " +
           std::to_string(count) + (count == 1 ? " element" : " elements");
}

const char* const kNoPositionMessage = "the no-position index does not name an element";

}  // namespace

RWBoundsErr::RWBoundsErr(const std::string& message, uint32_t index, uint32_t count,
                         bool noPosition)
    : std::out_of_range(message), index_(index), count_(count), noPosition_(noPosition) {}

StringList::StringList(uint32_t capacity)
    : capacity_(capacity), slots_(capacity ? new std::string[capacity] : nullptr), count_(0) {}

StringList::StringList(const StringList& other)
    : capacity_(other.capacity_),
      slots_(other.capacity_ ? new std::string[other.capacity_] : nullptr),
      count_(other.count_) {
    std::copy(other.slots_, other.slots_ + other.capacity_, slots_);
}

StringList& StringList::operator=(const StringList& other) {
    if (this == &other) return *this;
    std::string* fresh = other.capacity_ ? new std::string[other.capacity_] : nullptr;
    std::copy(other.slots_, other.slots_ + other.capacity_, fresh);
    delete[] slots_;
    slots_ = fresh;
    capacity_ = other.capacity_;
    count_ = other.count_;
    return *this;
}

StringList::~StringList() { delete[] slots_; }

void StringList::growTo(uint32_t n) {
    if (n == capacity_) return;
    std::string* fresh = n ? new std::string[n] : nullptr;
    const uint32_t kept = std::min(capacity_, n);
    for (uint32_t i = 0; i < kept; ++i) fresh[i] = std::move(slots_[i]);
    delete[] slots_;
    slots_ = fresh;
    capacity_ = n;
}

void StringList::append(std::string text) {
    if (count_ >= capacity_) growTo(count_ + 64);
    slots_[count_] = std::move(text);
    ++count_;
}

void StringList::boundsCheck(uint32_t index) const {
    if (index < count_) return;
    if (index == kNoPosition) throw RWBoundsErr(kNoPositionMessage, index, count_, true);
    throw RWBoundsErr(indexMessage(index, count_), index, count_, false);
}

std::string& StringList::at(uint32_t index) {
    boundsCheck(index);
    return slots_[index];
}

std::string StringList::at(uint32_t index) const {
    boundsCheck(index);
    return slots_[index];
}

void StringList::setCount(uint32_t n) {
    // Elements beyond the count must exist as slots; a larger count grows the storage.
    if (n > capacity_) growTo(n);
    count_ = n;
}
