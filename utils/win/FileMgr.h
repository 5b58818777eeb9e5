// Folder and file operations of the update runtime: backing up an installed
// folder, putting a backup back, removing trees, moving one file and removing
// the packet-filter driver's files. Nothing here throws: every operation
// reports failure by its result after a log line.
#pragma once

#include <string>

class FileMgr {
public:
    // `path` is the base folder that the folder operations put in front of the
    // names they are given, as is (no separator is inserted).
    explicit FileMgr(std::string path);
    virtual ~FileMgr();

    FileMgr(const FileMgr&) = delete;
    FileMgr& operator=(const FileMgr&) = delete;

    // Makes path+target a copy of the folder path+source. An existing target is
    // left untouched and counts as success; otherwise as copyToNewFolder.
    bool createDirectories(const std::string& source, const std::string& target);

    // Makes path+target, which must not be there yet, a copy of the folder
    // path+source that only administrators can change (a backup is later
    // restored by SYSTEM). A missing source is a failure, and a copy that
    // fails half-way is removed again, so that it never passes for a whole one.
    bool copyToNewFolder(const std::string& source, const std::string& target);

    // Makes the folder path+target hold exactly the tree of path+source: files
    // of both are overwritten, files only the target has are removed, and a
    // missing target is created. A missing source is a failure.
    bool copyFolder(const std::string& source, const std::string& target);

    // Removes the folder path+folder with everything below it; a missing folder
    // is success.
    bool removeAll(const std::string& folder);

    // Removes the packet-filter driver's files (exact names) from path+folder.
    bool removeDriverFiles(const std::string& folder);

    // Moves a file: copies source to target without overwriting (the copy
    // flushed and as long as its source), then deletes the source. A target
    // that is an existing folder receives the file under its own name. Takes
    // complete file names; the base path is not used.
    bool copyFile(const std::string& sourceFile, const std::string& targetFile);
    bool copyFile(const std::wstring& sourceFile, const std::wstring& targetFile);

protected:
    const std::string& basePath() const { return path_; }

private:
    std::string path_;
};
