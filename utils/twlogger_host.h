// Log maintenance that only the service host carries: removing the log files
// and packing the log and its predecessor into a gzip archive for an upload.
#pragma once

#include <string>

#include <zlib.h>

// Closes the log file (a later message opens it again). The caller holds the
// logger's lock or is the only thread logging.
void closeLogFileUnlocked();

// Closes the log file and deletes it and its ".1" predecessor; true when
// neither is left.
bool removeLogFiles();

// Where packed logs would be sent; the service host sets none.
void setLogUploadUrl(const char* url);
std::string getLogUploadUrl();

// Packs the logs for an upload when an upload URL is set and no other upload
// is under way; false otherwise.
bool requestLogUpload();

// Packs the ".1" predecessor and then the log into "upload.log.gz" beside the
// log file. True only when the archive holds both files complete; on failure
// no archive is left, and an archive with nothing in it is not kept either.
// The log files themselves are never changed. Packings never overlap.
bool packLogsForUpload();
std::string logUploadArchivePath();

// Appends the file's bytes to the stream; a file that does not exist counts as
// empty. False when the file cannot be read or the stream refuses a write.
bool gzAppendFile(const std::string& path, gzFile stream);

// Copies without replacing an existing destination.
bool copyLogFile(const std::string& source, const std::string& destination);
