// An ordered, thread-safe list of recorded calls ("op" or "op(arguments)").
#pragma once

#include <string>
#include <vector>

#include "toolkit/lock.h"

namespace fakes {

class CallLog {
public:
    void add(const std::string& entry);
    std::vector<std::string> all() const;
    // Entries whose operation (the text before '(') is op.
    std::vector<std::string> named(const std::string& op) const;
    size_t count(const std::string& op) const { return named(op).size(); }
    void clear();

private:
    mutable ravel::system::Lock lock_;
    std::vector<std::string> entries_;
};

// UTF-8 of a wide text.
std::string utf8(const std::wstring& text);
std::wstring fromUtf8(const std::string& text);

}  // namespace fakes
