// Unpacking of a downloaded update cabinet, with the cabinets nested in it,
// into the install folder; a nested cabinet "palvane_<version>.cab" of another
// version than the runtime now loaded brings a new copy of the runtime library,
// which is placed in the library folder for the hand-over.
//
// What is installed is what was checked: the cabinet is held (nobody can
// change or delete it) from its digest check until its extraction ends, and
// nested cabinets and the library on its way to the library folder are
// unpacked into a folder only administrators can change. Every file unpacked
// is flushed and must hold the size the cabinet declares: a disk that fills
// up may cut files short without any error reported.
#pragma once

#include <windows.h>

#include <setupapi.h>

#include <functional>
#include <list>
#include <string>
#include <vector>

#include "palvane/shared/heldFile.h"

namespace PALVANE_SERVICE {

class IExtractor {
public:
    virtual bool extract() = 0;
    virtual ~IExtractor() = default;
};

// What the extraction records of a runtime library it places in the library
// folder: the file before it is copied there (so that an installation that is
// undone can take it away again), and its version once it lies there.
class ILibraryRecord {
public:
    virtual bool placing(const std::string& file) = 0;
    virtual bool placed(const std::string& version) = 0;
    virtual ~ILibraryRecord() = default;
};

class cab_extractor : public IExtractor {
public:
    // Walks one cabinet, calling `callback` with `context` for each
    // notification. The production walk is SetupIterateCabinetW; tests replace
    // it to send notifications the platform under test never sends.
    using IterateCabinet = std::function<BOOL(const std::wstring& cabinet, PSP_FILE_CALLBACK_W callback, PVOID context)>;

    // Cabinets inside cabinets deeper than this are refused: a cabinet that
    // (indirectly) holds itself would otherwise never end.
    static constexpr unsigned kMaxNestingDepth = 4;

    // `destinationFolder` ends with a backslash (the install path); both paths
    // are in the ANSI code page.
    cab_extractor(std::string destinationFolder, std::string cabinetPath);
    cab_extractor(std::string destinationFolder, std::string cabinetPath, IterateCabinet iterate);
    // Deletes the cabinet and every nested cabinet that was unpacked.
    ~cab_extractor() override;

    cab_extractor(const cab_extractor&) = delete;
    cab_extractor& operator=(const cab_extractor&) = delete;

    // Unpacks the cabinet and its nested cabinets; never throws. Every file
    // unpacked is whole and on the disk when it returns true.
    bool extract() override;

    // The digest the cabinet must have right before it is unpacked (64
    // lower-case hex digits); none is checked while it is empty.
    void setExpectedDigest(std::string digest) { expectedDigest_ = std::move(digest); }

    // Where nested cabinets and the library to be placed are unpacked,
    // below the destination.
    static constexpr const wchar_t* kStagingFolder = L"unpacked cabinets";

    // Where a placed library is recorded; without one only "dll_version" is
    // written. Not owned; must outlive extract().
    void setLibraryRecord(ILibraryRecord* record) { libraryRecord_ = record; }

    // The file of the runtime library running now: a library of its name is
    // never placed (nor one named as the library the host falls back to). By
    // default the module that holds this code.
    void setRunningModule(std::wstring path) { runningModule_ = std::move(path); }

    // A new runtime library was placed in the library folder and "dll_version"
    // records its version: the runtime must hand over to it.
    bool new_library() const { return newLibrary_; }

    // Deletes the cabinet and the unpacked nested cabinets now instead of in
    // the destructor: once their files are in place nothing needs them, and a
    // long completion should not keep them on the disk.
    void delete_cabinets() noexcept;

    // The callback given to SetupIterateCabinetW (`context` is the extractor).
    // No exception leaves it.
    static UINT CALLBACK cabinet_callback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2);

private:
    enum class SubCabinet { Skip, Unpack, UnpackLibrary };

    struct NestedCabinet {
        std::wstring path;
        unsigned depth;
    };

    bool extract_all();
    bool hold_cabinet();
    bool make_staging();
    void record_placed();
    bool iterate(const std::wstring& cabinet, unsigned depth, const std::string& name);
    bool extract_nested(const NestedCabinet& nested);
    UINT on_notification(UINT notification, UINT_PTR param1, UINT_PTR param2);
    UINT extract_file(FILE_IN_CABINET_INFO_W& info, const wchar_t* cabinet);
    UINT add_sub_cab(const FILEPATHS_W& paths);
    SubCabinet check_sub_cab(const std::wstring& path);
    bool place_library(const std::string& folderName);
    bool create_target_folders(const std::wstring& base, const std::wstring& name);
    DWORD fill_target(FILE_IN_CABINET_INFO_W& info, const std::wstring& target, const std::wstring& cabinet);
    void note_library_file(const std::wstring& name, const wchar_t* target);
    UINT abort_with(DWORD error);

    std::wstring cabinetW_;
    std::wstring destinationW_;
    std::wstring stagingW_;
    std::string cabinet_;
    std::string expectedDigest_;
    HeldFile held_;
    bool stagingMade_ = false;
    std::list<NestedCabinet> nested_;
    // The file SetupAPI writes now and the size its cabinet declares.
    std::wstring pendingTarget_;
    DWORD pendingSize_ = 0;
    ILibraryRecord* libraryRecord_ = nullptr;
    bool newLibrary_ = false;
    bool cabinetsDeleted_ = false;
    std::wstring libraryFile_;
    std::wstring runningModule_;

    IterateCabinet iterate_;
    unsigned currentDepth_ = 0;
    // SetupAPI implementations differ on what a refused file does to the walk
    // (some skip it and go on), so a refusal is remembered here and every later
    // file of the same walk is refused too.
    bool aborted_ = false;
    DWORD abortError_ = 0;
    bool libraryCabinetActive_ = false;
    std::string pendingVersion_;
};

}  // namespace PALVANE_SERVICE
