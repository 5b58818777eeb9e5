// What parsing a frame body would cost, read in one linear pass before any
// node is built. Strings and comments are told apart exactly as the JSON
// reader tells them apart, so nothing hidden in a comment or a string can make
// a body look cheaper than it is.
#pragma once

#include <cstddef>
#include <string>

struct IpcBodyShape {
    // Openings of arrays and objects and separators outside strings and
    // comments: a value or member name follows each, so this is at least the
    // count of the values the reader would build, less one.
    size_t values = 0;
    // The deepest nesting of arrays and objects.
    size_t depth = 0;
};

IpcBodyShape measureBodyShape(const std::string& body);
