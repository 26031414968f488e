// Thrown by a product binding row whose operation is not wired to its real
// function yet. what() is the operation's name.
#pragma once

#include <stdexcept>
#include <string>

class NotBuilt : public std::logic_error {
public:
    explicit NotBuilt(const char* operation) : std::logic_error(operation) {}
    explicit NotBuilt(const std::string& operation) : std::logic_error(operation) {}
};
