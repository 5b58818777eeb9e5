// The system's one exception class: a log level, a Windows error number with
// its system text, and a message. what() is built once, at construction.
#pragma once

#include <exception>
#include <string>

class twexception : public std::exception {
public:
    twexception(int level, int win32Error, const char* message);

    const char* what() const noexcept override { return whatText_.c_str(); }

    int level() const { return level_; }
    int win32Error() const { return win32Error_; }
    const std::string& systemText() const { return systemText_; }
    const std::string& message() const { return message_; }

private:
    int level_;
    int win32Error_;
    std::string systemText_;
    std::string message_;
    std::string whatText_;
};
