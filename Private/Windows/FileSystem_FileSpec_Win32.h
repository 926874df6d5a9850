// The Windows file spec: a path checked and normalised at construction, bound to its
// volume, and every file operation carried out with the wide-character Win32 calls of the API
// table. FileSpec_Win9X is the variant for the Windows 9x family, which hands plain paths to
// the OS.
#pragma once

#include "Private/FileChannel_IF.h"
#include "Private/FilePath.h"
#include "Private/FileSpec_IF.h"
#include "Private/Volume_IF.h"
#include "support/CountedPtr.h"
#include "support/DateTime.h"

#include <cstdint>
#include <string>

namespace FileSystem {

class FolderIterator_Win32;

// Immutable after construction: no operation changes what the object names, whatever happens
// on disk, so one object may be used from several threads at once. Every OS failure raises the
// FileException of the Win32 error for this object's path (never the long path); "raises" below
// means that. Every operation closes the handles it opens, also when it raises.
//
// The object needs the API table: construct it only between FileSystem_Win32::Install and the
// shut-down (otherwise the constructor raises the internal-software-error TalvenException).
class FileSpec_Win32 : public FileSpec_IF, public AliasSpec_IF, public FolderSpec_IF {
public:
    // The listing of a folder (FileSystem_FolderIterator_Win32.h).
    using Iterator = FolderIterator_Win32;

    // The outcome of the path checks and normalisation that need no volume (see Normalise).
    struct NormalisedPath {
        std::wstring path; // absolute, backslashes, no prefix, no trailing "\" except a root
        std::wstring root; // "X:\" or "\\server\share\"
        bool isUnc = false;
    };

    // Normalises path (see Normalise), reads the volume information of its root (raising its
    // FileException, for example MediaNotFound for an empty drive), checks every component
    // after the root against the volume's maximum component length (InvalidFilePath) and binds
    // the volume: with an empty volume, the one the volume table holds for the medium (entered
    // if new); with a given volume, it must be the one the table holds for the medium now,
    // otherwise the internal-software-error TalvenException for
    // ".\Private\Windows\FileSystem_FileSpec_Win32" is raised (the medium was swapped).
    //
    // A fixed disk is asked once: when the volume table already holds a fixed-disk volume for
    // the root (or a fixed volume is given), its record stands in for reading the volume
    // information again, so a spec costs about what GetFullPathNameW costs. Removable, optical
    // and remote volumes are read for every spec, so a swapped medium or a remapped drive is
    // seen at once. The price: a fixed volume that is reformatted (or a drive letter moved to
    // another fixed disk) while the process runs keeps its old volume object, label and serial
    // number for new specs until the library's shut-down empties the table.
    FileSpec_Win32(const FilePath& path, CountedPtr<Volume_IF> volume);
    ~FileSpec_Win32() override;

    // Creates a new empty file. An existing item raises (FileExists for a file).
    void Create() override;
    // Creates the last component as a folder; the parent must exist. An existing item raises
    // (FileExists).
    void CreateFolder() override;
    // Removes the file or empty folder; nothing there is not an error. A read-only item has its
    // read-only attribute cleared once and is tried again; when that fails too, the attribute
    // is put back and the delete's error raised. A folder with content raises FolderNotEmpty.
    // Removes nothing but the item itself: raises AccessDenied for this path, before touching
    // anything, when the OS would act on something else (a link it cannot remove without its
    // target, or a name that leads elsewhere; see CheckRemovesOnlyItself).
    void Delete() override;
    // Delete, with parentFinal the final path of the parent folder when the caller knows it
    // (ReadFinalPath), or empty.
    void DeleteChecked(const std::wstring& parentFinal);
    // Local time of last access. A missing item raises.
    DateTime GetAccessDate() override;
    // The archive, hidden, read-only and system flags. A missing item raises.
    Attributes GetAttributes() override;
    FilePath GetBaseName() override;
    // The path lower-cased unless the volume is case-sensitive, "\" turned into "/".
    FilePath GetCanonicalPath() override;
    // Local time of creation. A missing item raises.
    DateTime GetCreationDate() override;
    FilePath GetExtension() override;
    // The file's 64-bit size. A folder or a missing item raises. The file is opened without
    // access rights, which no sharing mode of another handle refuses.
    std::uint64_t GetFileSize() override;
    // Local time of last write. A missing item raises.
    DateTime GetModificationDate() override;
    FilePath GetName() override;
    // GetLongPath.
    std::wstring GetNativePath() override;
    // The normalised path.
    FilePath GetPath() override;
    CountedPtr<Volume_IF> GetVolume() override;
    // The extension is "lnk" in any case; the file is not looked at.
    bool IsAlias() override;
    // True for this very object; false for an empty pointer or another volume object;
    // otherwise whether both canonical paths are equal.
    bool IsEqualTo(CountedPtr<FileSpec_IF> other) override;
    // Not IsFolder; raises as IsFolder does.
    bool IsFile() override;
    // The item is a folder. A missing item raises (FileNotFound or FilePathNotFound).
    bool IsFolder() override;
    // Something is at the path. Never raises.
    bool IsPresent() override;
    // The path is its root.
    bool IsRoot() override;
    // path + "\" + name (no separator after a root), normalised as a new path on this volume,
    // of the same class as this object. name may hold several components. Raises what the
    // constructor raises.
    CountedPtr<FileSpec_IF> MakeChild(const FilePath& name) override;
    // MakeChild for a wide name. A single component that normalisation cannot change (no
    // separator, wildcard, colon or control character, no trailing space or dot, no device
    // name) on a fixed disk is joined to the path as it is, without the OS calls of the
    // normalisation: what a listing makes for each of its entries.
    CountedPtr<FileSpec_IF> MakeNamedChild(const std::wstring& name);
    // A FileChannel_Win32 on the long path; self must be the caller's pointer to this object.
    // Raises the channel's FileException when the file cannot be opened.
    CountedPtr<FileChannel_IF> OpenChannel(OpenMode mode, CountedPtr<FileSpec_IF> self) override;
    // The containing folder (the path cut after its last "\"), of the same class, on this
    // volume; empty for a root. Raises what the constructor raises.
    CountedPtr<FileSpec_IF> ParentFolder() override;
    // MoveFileW from this item to target's path (its native path, so long targets work too).
    // Raises with this object's path, also when the target is at fault; an empty target
    // raises the internal-software-error TalvenException.
    void Rename(CountedPtr<FileSpec_IF> target) override;
    // The root, made by the class factory, on this volume.
    CountedPtr<FileSpec_IF> RootFolder() override;
    // Each setter opens the item for writing (folders too), so a missing item, one held open
    // without sharing, or a date the OS cannot represent raises.
    void SetAccessDate(const DateTime& date) override;
    // Clears archive, hidden, read-only and system and sets those given; all other Win32
    // attributes (DIRECTORY, for one) are kept. A missing item raises.
    void SetAttributes(Attributes attributes) override;
    void SetCreationDate(const DateTime& date) override;
    // Grows or cuts the file to exactly size bytes. Raises when it cannot be opened for
    // writing (missing, a folder, read-only, held open) or the size cannot be set.
    void SetFileSize(std::uint64_t size) override;
    void SetModificationDate(const DateTime& date) override;

    // The path handed to the OS: "\\?\" + path, or "\\?\UNC\" + path without its first two
    // characters for a UNC path, whatever its length.
    virtual std::wstring GetLongPath();

    // The target of the shortcut file this object names, read through the shell-link object,
    // as a file spec made by the class factory (with its own volume); empty when the
    // shortcut has no file-system target. Initialises COM on the calling thread only when it
    // was not, and undoes that before returning, also when raising. Raises the FileException of
    // the failing HRESULT (a SystemException::HRESULT cause), or what the factory raises for
    // the target's path.
    CountedPtr<FileSpec_IF> ResolveAlias() override;

    // The folder operations, carried out by FolderOps_Win32 (FileSystem_FolderIterator_Win32.h),
    // which documents what they raise. self must point at this very object.
    void DeleteTree(CountedPtr<FolderSpec_IF> self) override;
    void DeleteContents(bool recursive, CountedPtr<FolderSpec_IF> self) override;
    CountedPtr<FolderSpec_Iterator> NewIterator(CountedPtr<FolderSpec_IF> self) override;

    // The Win32 attributes of the item (of a link itself, not of its target); false when the OS
    // says that it or its folder is not there (errors 2 and 3). Any other error says nothing
    // about presence and raises its FileException.
    bool ReadPresentAttributes(std::uint32_t& attributes);

    // The normalised path and root, and whether the path is a UNC path.
    const std::wstring& Path() const { return path_; }
    const std::wstring& Root() const { return root_; }
    bool IsUnc() const { return isUnc_; }

    // The checks and steps of construction that need no volume, in order:
    //  1. "/" becomes "\"; a leading "\\?\UNC\" becomes "\\", else a leading "\\?\" is dropped.
    //  2. InvalidFilePath for: ":" anywhere but at index 1 after a letter A-Z (any case); any of
    //     " * < > ? |; a "\" after a "\" except at the very start; characters below 0x20.
    //  3. GetFullPathNameW makes the path absolute against the current directories and drops
    //     "." and ".." (its failure raises); the prefixes of step 1 are dropped again.
    //  4. The root: "X:\" for a drive path, its letter upper-cased (so each drive has one root
    //     and one volume object); "\\server\share\" for a UNC path. A UNC path with
    //     no or an empty server or share name, a device path ("\\.\...") or any other form is
    //     InvalidFilePath. "\\server\share" names the share's root: its path gets the trailing
    //     "\" too, so it equals its root.
    //  5. A trailing "\" is removed unless the path is its root; a path that then ends in a
    //     space, or has a component after the root that still ends in "." (the full-path step
    //     need not drop every trailing dot of a folder name), is InvalidFilePath (the OS could
    //     reach such a name only through the prefix).
    // Raises FileException (InvalidFilePath, or the OS error of GetFullPathNameW) for path as
    // given. Needs the API table. Touches no volume and no network.
    static NormalisedPath Normalise(const std::wstring& path);
    // The long path of a normalised path: "\\?\UNC\" + path without its first two characters
    // when isUnc, else "\\?\" + path. Raises only std::bad_alloc.
    static std::wstring LongPathFor(const std::wstring& path, bool isUnc);

protected:
    // A spec of like's class, root and volume for a path that is normalised already.
    FileSpec_Win32(std::wstring normalisedPath, const FileSpec_Win32& like);

private:
    // A new object of this object's own class for path, on this volume; normalised says that
    // path needs no normalisation.
    CountedPtr<FileSpec_IF> MakeSameClass(std::wstring path, bool normalised = false);
    // Raises InvalidFilePath when a component after the root is longer than maxLength.
    void CheckComponentLengths(std::uint32_t maxLength) const;

    std::wstring path_;
    std::wstring root_;
    bool isUnc_ = false;
    CountedPtr<Volume_IF> volume_;
};

// The Windows 9x family: the same operations, but the OS gets the plain path (no long-path
// prefix, which those systems do not know). Its children, parents and copies made by MakeChild
// and ParentFolder are FileSpec_Win9X objects too, so no prefixed path ever reaches such a
// system. Never equal to a FileSpec_Win32 for the same path (the portable equality compares
// classes).
class FileSpec_Win9X : public FileSpec_Win32 {
public:
    // As FileSpec_Win32.
    FileSpec_Win9X(const FilePath& path, CountedPtr<Volume_IF> volume);
    ~FileSpec_Win9X() override;

    // The path unchanged.
    std::wstring GetLongPath() override;

private:
    friend class FileSpec_Win32;
    FileSpec_Win9X(std::wstring normalisedPath, const FileSpec_Win32& like);
};

} // namespace FileSystem
