// The four numbers of a file's version resource.
#pragma once

#include <cstdint>
#include <string>

class FileVersion {
public:
    explicit FileVersion(const std::wstring& path) : path_(path) {}
    virtual ~FileVersion() = default;

    // False when the file has no readable version block; the numbers then stay 0.
    bool read();

    const std::wstring& path() const { return path_; }
    uint32_t major() const { return major_; }
    uint32_t minor() const { return minor_; }
    uint32_t build() const { return build_; }
    uint32_t revision() const { return revision_; }

private:
    std::wstring path_;
    uint32_t major_ = 0;
    uint32_t minor_ = 0;
    uint32_t build_ = 0;
    uint32_t revision_ = 0;
};
