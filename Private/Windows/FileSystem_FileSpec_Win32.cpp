// The Windows file spec: path normalisation and the file operations over Win32.
#include "Private/Windows/FileSystem_FileSpec_Win32.h"

#include "Private/FileChannel.h"
#include "Private/FileSystem_ClassFactory_IF.h"
#include "Private/Volume.h"
#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_FileChannel_Win32.h"
#include "Private/Windows/FileSystem_FolderIterator_Win32.h"
#include "Private/Windows/FileSystem_Identity_Win32.h"
#include "Private/Windows/FileSystem_Volume_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "support/TalvenException.h"
#include "support/TalvenWindows.h"
#include "support/Win32Handle.h"

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <utility>
#include <vector>

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\Windows\\FileSystem_FileSpec_Win32";

// Drive letters and the "UNC" of a prefix are ASCII; the C runtime's towupper would consult
// the locale for each.
wchar_t AsciiUpper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - (L'a' - L'A')) : c;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
    return text.compare(0, std::wcslen(prefix), prefix) == 0;
}

// "\\?\UNC\" is matched in any case, as the OS does; otherwise "\\?\unc\srv\x" would lose its
// UNC meaning and be resolved as a relative path. In place: most paths have no prefix.
std::wstring DropLongPathPrefix(std::wstring path) {
    if (StartsWith(path, L"\\\\?\\") && path.size() >= 8 && AsciiUpper(path[4]) == L'U' &&
        AsciiUpper(path[5]) == L'N' && AsciiUpper(path[6]) == L'C' && path[7] == L'\\') {
        path.erase(2, 6);
    } else if (StartsWith(path, L"\\\\?\\")) {
        path.erase(0, 4);
    }
    return path;
}

[[noreturn]] void RaiseInvalidPath(const std::wstring& path) {
    RaiseWin32Error(ERROR_BAD_PATHNAME, path);
}

bool IsBadCharacter(std::size_t i, const std::wstring& path) {
    const wchar_t c = path[i];
    switch (c) {
    case L':': {
        const wchar_t drive = AsciiUpper(path[0]);
        return i != 1 || drive < L'A' || drive > L'Z';
    }
    case L'"':
    case L'*':
    case L'<':
    case L'>':
    case L'?':
    case L'|':
        return true;
    case L'\\':
        return i > 1 && path[i - 1] == L'\\';
    default:
        return c < 0x20;
    }
}

// A base name (up to the first ".", without trailing spaces) that the OS may take for a device
// (CON, PRN, AUX, NUL, COM<n>, LPT<n>, CONIN$, CONOUT$): normalisation turns such a path into a
// device path.
bool MayNameADevice(const std::wstring& name) {
    std::size_t end = std::min(name.find(L'.'), name.size());
    while (end > 0 && name[end - 1] == L' ') {
        --end;
    }
    if (end < 3 || end > 7) {
        return false;
    }
    std::wstring base = name.substr(0, end);
    for (wchar_t& c : base) {
        c = AsciiUpper(c);
    }
    if (end == 4) {
        return base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0;
    }
    return base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" ||
           base == L"CONIN$" || base == L"CONOUT$";
}

// One component that the normalisation would leave exactly as it is.
bool IsPlainName(const std::wstring& name) {
    if (name.empty() || name.back() == L' ' || name.back() == L'.' || MayNameADevice(name)) {
        return false;
    }
    for (const wchar_t c : name) {
        if (c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'"' || c == L'*' ||
            c == L'<' || c == L'>' || c == L'?' || c == L'|') {
            return false;
        }
    }
    return true;
}

std::wstring FullPathName(const std::wstring& path, const std::wstring& reportedPath) {
    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    // Some systems fail an empty path without setting an error (Wine does, for what is left of
    // "\\?\"): without this, an earlier call's error would be reported instead.
    ::SetLastError(ERROR_SUCCESS);
    // Most paths fit a small buffer: one call instead of two.
    wchar_t onStack[MAX_PATH + 1];
    DWORD needed = api.GetFullPathNameW(path.c_str(), MAX_PATH + 1, onStack, nullptr);
    if (needed != 0 && needed <= MAX_PATH) {
        return std::wstring(onStack, needed);
    }
    for (;;) {
        if (needed == 0) {
            const DWORD error = ::GetLastError();
            RaiseWin32Error(error != 0 ? error : ERROR_BAD_PATHNAME, reportedPath);
        }
        std::wstring buffer(needed, L'\0');
        const DWORD length = api.GetFullPathNameW(path.c_str(), needed, &buffer[0], nullptr);
        if (length != 0 && length < needed) {
            buffer.resize(length);
            return buffer;
        }
        // 0 raises above; a larger length means another thread changed the current directory
        // between the two calls: size the buffer again.
        needed = length;
    }
}

WIN32_FILE_ATTRIBUTE_DATA ReadAttributeData(FileSpec_Win32& spec) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!FileSystem_Win32::TheAPI(Source).GetFileAttributesExW(spec.GetLongPath().c_str(),
                                                               GetFileExInfoStandard, &data)) {
        TALVEN_RAISE_LAST_ERROR(spec.Path());
    }
    return data;
}

enum class Stamp { Creation, Access, Write };

DateTime ReadDate(FileSpec_Win32& spec, Stamp stamp) {
    const WIN32_FILE_ATTRIBUTE_DATA data = ReadAttributeData(spec);
    const FILETIME& utc = stamp == Stamp::Creation ? data.ftCreationTime
                          : stamp == Stamp::Access ? data.ftLastAccessTime
                                                   : data.ftLastWriteTime;
    FILETIME local = {};
    SYSTEMTIME time = {};
    if (!::FileTimeToLocalFileTime(&utc, &local) || !::FileTimeToSystemTime(&local, &time)) {
        TALVEN_RAISE_LAST_ERROR(spec.Path());
    }
    return DateTime::FromSystemTime(time);
}

void WriteDate(FileSpec_Win32& spec, const DateTime& date, Stamp stamp) {
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (spec.IsFolder()) {
        // Folders open only with backup semantics.
        flags |= FILE_FLAG_BACKUP_SEMANTICS;
    }
    Win32Res::FileHandle file(FileSystem_Win32::TheAPI(Source).CreateFileW(
        spec.GetLongPath().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr));
    if (!file) {
        TALVEN_RAISE_LAST_ERROR(spec.Path());
    }
    const SYSTEMTIME time = date.ToSystemTime();
    FILETIME local = {};
    FILETIME utc = {};
    if (!::SystemTimeToFileTime(&time, &local) || !::LocalFileTimeToFileTime(&local, &utc)) {
        TALVEN_RAISE_LAST_ERROR(spec.Path());
    }
    if (!FileSystem_Win32::Direct::SetFileTime(
            file.Get(), stamp == Stamp::Creation ? &utc : nullptr,
            stamp == Stamp::Access ? &utc : nullptr, stamp == Stamp::Write ? &utc : nullptr)) {
        TALVEN_RAISE_LAST_ERROR(spec.Path());
    }
}

[[noreturn]] void RaiseHResult(HRESULT result, const std::wstring& path) {
    RaiseWin32Error(static_cast<std::uint32_t>(result), path);
}

} // namespace

FileSpec_Win32::NormalisedPath FileSpec_Win32::Normalise(const std::wstring& given) {
    std::wstring path = given;
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    path = DropLongPathPrefix(std::move(path));
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (IsBadCharacter(i, path)) {
            RaiseInvalidPath(given);
        }
    }
    path = DropLongPathPrefix(FullPathName(path, given));

    NormalisedPath result;
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') {
        // One spelling per drive: the root is the key of the drive's volume object, and "c:\"
        // and "C:\" must not make two volumes of one medium (nor unequal specs of one file).
        path[0] = AsciiUpper(path[0]);
        result.root = path.substr(0, 3);
    } else if (path.size() >= 3 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'.') {
        const std::size_t serverEnd = path.find(L'\\', 2);
        if (serverEnd == std::wstring::npos || serverEnd == 2 || serverEnd + 1 == path.size()) {
            RaiseInvalidPath(given); // no server name, or no share name
        }
        const std::size_t shareEnd = path.find(L'\\', serverEnd + 1);
        if (shareEnd == serverEnd + 1) {
            RaiseInvalidPath(given);
        }
        if (shareEnd == std::wstring::npos) {
            // "\\server\share" is the share's root; giving the path its "\" keeps path and
            // root alike, as for "C:\".
            path += L'\\';
            result.root = path;
        } else {
            result.root = path.substr(0, shareEnd + 1);
        }
        result.isUnc = true;
    } else {
        RaiseInvalidPath(given);
    }

    if (path != result.root && path.back() == L'\\') {
        path.pop_back();
    }
    // Checked after the "\" is gone, so that "C:\a \" is refused like "C:\a " would be.
    if (path.back() == L' ') {
        RaiseInvalidPath(given);
    }
    // The full-path step need not drop every trailing dot of a folder name (Wine drops one:
    // "a..\b" gives "a.\b", "...\b" gives "..\b"), so a component can still end in one. The OS
    // could reach that name only through the prefix, and normalising the path again would
    // change it: ParentFolder and MakeChild would name another item.
    for (std::size_t i = result.root.size(); i < path.size(); ++i) {
        if (path[i] == L'.' && (i + 1 == path.size() || path[i + 1] == L'\\')) {
            RaiseInvalidPath(given);
        }
    }
    // A device name behind a trailing "\" or "\." passes the full-path step as a folder, but the
    // path without it names the device (and a 9x system, given the plain path, opens it).
    if (path.size() > result.root.size() && MayNameADevice(path.substr(path.rfind(L'\\') + 1)) &&
        DropLongPathPrefix(FullPathName(path, given)) != path) {
        RaiseInvalidPath(given);
    }
    result.path = std::move(path);
    return result;
}

FileSpec_Win32::FileSpec_Win32(const FilePath& path, CountedPtr<Volume_IF> volume)
    : volume_(std::move(volume)) {
    NormalisedPath normalised = Normalise(path.ToWide());
    path_ = std::move(normalised.path);
    root_ = std::move(normalised.root);
    isUnc_ = normalised.isUnc;

    // A listing makes one file spec per entry on its folder's volume. Reading the volume
    // information costs milliseconds per call under some systems, and a fixed disk cannot
    // change its medium, so there the given volume's record stands in for a fresh read.
    const Volume_Win32* known = dynamic_cast<const Volume_Win32*>(volume_.Get());
    if (known && known->IsFixedMedium() && known->rootPath == root_) {
        CheckComponentLengths(known->maxComponentLength);
        // The record is the table's key: a volume dropped from the table is refused as before.
        if (LookupVolume(*known, false).Get() != known) {
            TALVEN_INTERNAL_ERROR(Source);
        }
        return;
    }
    // A fixed disk the table already holds is not asked again (see the constructor's contract).
    if (volume_.IsNull()) {
        volume_ = FindFixedVolume(root_);
        if (const Volume_Win32* fixed = dynamic_cast<const Volume_Win32*>(volume_.Get())) {
            CheckComponentLengths(fixed->maxComponentLength);
            return;
        }
    }
    const VolumeInfo info(root_);
    CheckComponentLengths(info.maxComponentLength);

    if (volume_.IsNull()) {
        volume_ = LookupVolume(info, true);
    } else if (LookupVolume(info, false).Get() != volume_.Get()) {
        TALVEN_INTERNAL_ERROR(Source);
    }
}

FileSpec_Win32::~FileSpec_Win32() = default;

void FileSpec_Win32::CheckComponentLengths(std::uint32_t maxLength) const {
    for (std::size_t start = root_.size(); start < path_.size();) {
        std::size_t end = path_.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = path_.size();
        }
        if (end - start > maxLength) {
            RaiseInvalidPath(path_);
        }
        start = end + 1;
    }
}

void FileSpec_Win32::Create() {
    Win32Res::FileHandle file(FileSystem_Win32::TheAPI(Source).CreateFileW(
        GetLongPath().c_str(), 0, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
}

void FileSpec_Win32::CreateFolder() {
    if (!FileSystem_Win32::TheAPI(Source).CreateDirectoryW(GetLongPath().c_str(), nullptr)) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
}

void FileSpec_Win32::Delete() {
    DeleteChecked(std::wstring());
}

void FileSpec_Win32::DeleteChecked(const std::wstring& parentFinal) {
    std::uint32_t attributes = 0;
    if (!ReadPresentAttributes(attributes)) {
        return;
    }
    // Under Wine a remove acts on what a link leads to, also outside the tree being removed.
    CheckRemovesOnlyItself(*this, parentFinal);
    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    const std::wstring longPath = GetLongPath();
    // Read once: a failing query between clearing the read-only flag and the retry would leave
    // the item unprotected.
    const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool readOnlyCleared = false;
    for (;;) {
        const BOOL done =
            folder ? api.RemoveDirectoryW(longPath.c_str()) : api.DeleteFileW(longPath.c_str());
        if (done) {
            return;
        }
        const DWORD error = ::GetLastError();
        if (!readOnlyCleared && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            if (!api.SetFileAttributesW(longPath.c_str(),
                                        attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
                TALVEN_RAISE_LAST_ERROR(path_);
            }
            readOnlyCleared = true;
            continue;
        }
        if (readOnlyCleared) {
            // The retry failed for another reason: the item stays, so it keeps its read-only
            // protection. Best effort; the delete error is what the caller needs.
            api.SetFileAttributesW(longPath.c_str(), attributes);
        }
        RaiseWin32Error(error, path_);
    }
}

bool FileSpec_Win32::ReadPresentAttributes(std::uint32_t& attributes) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!FileSystem_Win32::TheAPI(Source).GetFileAttributesExW(GetLongPath().c_str(),
                                                               GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            return false;
        }
        RaiseWin32Error(error, path_);
    }
    attributes = data.dwFileAttributes;
    return true;
}

DateTime FileSpec_Win32::GetAccessDate() {
    return ReadDate(*this, Stamp::Access);
}

Attributes FileSpec_Win32::GetAttributes() {
    const DWORD win32 = ReadAttributeData(*this).dwFileAttributes;
    Attributes result = 0;
    result |= (win32 & FILE_ATTRIBUTE_ARCHIVE) ? AttributeArchive : 0;
    result |= (win32 & FILE_ATTRIBUTE_HIDDEN) ? AttributeHidden : 0;
    result |= (win32 & FILE_ATTRIBUTE_READONLY) ? AttributeReadOnly : 0;
    result |= (win32 & FILE_ATTRIBUTE_SYSTEM) ? AttributeSystem : 0;
    return result;
}

FilePath FileSpec_Win32::GetBaseName() {
    return FilePath(path_).GetBaseName();
}

FilePath FileSpec_Win32::GetCanonicalPath() {
    return FilePath(path_).GetCanonical(volume_->IsCaseSensitive());
}

DateTime FileSpec_Win32::GetCreationDate() {
    return ReadDate(*this, Stamp::Creation);
}

FilePath FileSpec_Win32::GetExtension() {
    return FilePath(path_).GetExtension();
}

std::uint64_t FileSpec_Win32::GetFileSize() {
    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    Win32Res::FileHandle file(api.CreateFileW(GetLongPath().c_str(), 0, 0, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
    std::uint64_t size = 0;
    if (!api.GetFileSize(file.Get(), size)) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
    return size;
}

DateTime FileSpec_Win32::GetModificationDate() {
    return ReadDate(*this, Stamp::Write);
}

FilePath FileSpec_Win32::GetName() {
    return FilePath(path_).GetName();
}

std::wstring FileSpec_Win32::GetNativePath() {
    return GetLongPath();
}

FilePath FileSpec_Win32::GetPath() {
    return FilePath(path_);
}

CountedPtr<Volume_IF> FileSpec_Win32::GetVolume() {
    return volume_;
}

bool FileSpec_Win32::IsAlias() {
    return ::_wcsicmp(GetExtension().ToWide().c_str(), L"lnk") == 0;
}

bool FileSpec_Win32::IsEqualTo(CountedPtr<FileSpec_IF> other) {
    if (other.Get() == static_cast<FileSpec_IF*>(this)) {
        return true;
    }
    if (other.IsNull() || other->GetVolume().Get() != volume_.Get()) {
        return false;
    }
    return GetCanonicalPath().GetBytes() == other->GetCanonicalPath().GetBytes();
}

bool FileSpec_Win32::IsFile() {
    return !IsFolder();
}

bool FileSpec_Win32::IsFolder() {
    return (ReadAttributeData(*this).dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileSpec_Win32::IsPresent() {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    try {
        return api && api->GetFileAttributesExW(GetLongPath().c_str(), GetFileExInfoStandard,
                                                &data) != FALSE;
    } catch (const std::exception&) {
        return false; // only the allocation of the long path can fail here
    }
}

bool FileSpec_Win32::IsRoot() {
    return path_ == root_;
}

CountedPtr<FileSpec_IF> FileSpec_Win32::MakeChild(const FilePath& name) {
    return MakeNamedChild(name.ToWide());
}

CountedPtr<FileSpec_IF> FileSpec_Win32::MakeNamedChild(const std::wstring& name) {
    std::wstring child = IsRoot() ? path_ + name : path_ + L"\\" + name;
    // A removable medium may have been swapped: its children read the volume again.
    const auto* known = dynamic_cast<const Volume_Win32*>(volume_.Get());
    if (known && known->IsFixedMedium() && IsPlainName(name)) {
        if (name.size() > known->maxComponentLength) {
            RaiseInvalidPath(child);
        }
        // As in the constructor: a volume dropped from the table (shut-down) is refused.
        if (LookupVolume(*known, false).Get() != known) {
            TALVEN_INTERNAL_ERROR(Source);
        }
        return MakeSameClass(std::move(child), true);
    }
    return MakeSameClass(child);
}

CountedPtr<FileChannel_IF> FileSpec_Win32::OpenChannel(OpenMode mode,
                                                       CountedPtr<FileSpec_IF> self) {
    return CountedPtr<FileChannel_IF>(new FileChannel_Win32(GetLongPath(), mode, std::move(self)));
}

CountedPtr<FileSpec_IF> FileSpec_Win32::ParentFolder() {
    if (IsRoot()) {
        return CountedPtr<FileSpec_IF>();
    }
    return MakeSameClass(path_.substr(0, path_.rfind(L'\\') + 1));
}

void FileSpec_Win32::Rename(CountedPtr<FileSpec_IF> target) {
    if (target.IsNull()) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    // The target's native path, so that a target beyond MAX_PATH is reached as well.
    if (!FileSystem_Win32::TheAPI(Source).MoveFileW(GetLongPath().c_str(),
                                                    target->GetNativePath().c_str())) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
}

CountedPtr<FileSpec_IF> FileSpec_Win32::RootFolder() {
    return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(root_), volume_));
}

void FileSpec_Win32::SetAccessDate(const DateTime& date) {
    WriteDate(*this, date, Stamp::Access);
}

void FileSpec_Win32::SetAttributes(Attributes attributes) {
    DWORD win32 = ReadAttributeData(*this).dwFileAttributes;
    win32 &= ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_HIDDEN |
                    FILE_ATTRIBUTE_READONLY};
    win32 |= (attributes & AttributeArchive) ? FILE_ATTRIBUTE_ARCHIVE : 0;
    win32 |= (attributes & AttributeHidden) ? FILE_ATTRIBUTE_HIDDEN : 0;
    win32 |= (attributes & AttributeReadOnly) ? FILE_ATTRIBUTE_READONLY : 0;
    win32 |= (attributes & AttributeSystem) ? FILE_ATTRIBUTE_SYSTEM : 0;
    if (!FileSystem_Win32::TheAPI(Source).SetFileAttributesW(GetLongPath().c_str(), win32)) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
}

void FileSpec_Win32::SetCreationDate(const DateTime& date) {
    WriteDate(*this, date, Stamp::Creation);
}

void FileSpec_Win32::SetFileSize(std::uint64_t size) {
    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    Win32Res::FileHandle file(api.CreateFileW(GetLongPath().c_str(), GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
    std::uint64_t position = 0;
    if (!api.SetFilePointer(file.Get(), static_cast<std::int64_t>(size), position, FILE_BEGIN) ||
        !FileSystem_Win32::Direct::SetEndOfFile(file.Get())) {
        TALVEN_RAISE_LAST_ERROR(path_);
    }
}

void FileSpec_Win32::SetModificationDate(const DateTime& date) {
    WriteDate(*this, date, Stamp::Write);
}

std::wstring FileSpec_Win32::GetLongPath() {
    return LongPathFor(path_, isUnc_);
}

std::wstring FileSpec_Win32::LongPathFor(const std::wstring& path, bool isUnc) {
    if (isUnc) {
        return L"\\\\?\\UNC\\" + path.substr(2);
    }
    return L"\\\\?\\" + path;
}

CountedPtr<FileSpec_IF> FileSpec_Win32::ResolveAlias() {
    std::wstring target;
    {
        // Declared first, so that it uninitialises only after the interfaces are released.
        Win32Res::ComInitialisation com;
        Win32Res::ComPtr<IShellLinkW> link;
        HRESULT result = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_IShellLinkW, link.PutVoid());
        if (result == CO_E_NOTINITIALIZED && com.Initialise()) {
            result = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_IShellLinkW, link.PutVoid());
        }
        if (FAILED(result)) {
            RaiseHResult(result, path_);
        }
        Win32Res::ComPtr<IPersistFile> file;
        result = link->QueryInterface(IID_IPersistFile, file.PutVoid());
        if (FAILED(result)) {
            RaiseHResult(result, path_);
        }
        result = file->Load(GetLongPath().c_str(), STGM_READ);
        if (FAILED(result)) {
            RaiseHResult(result, path_);
        }
        result = link->Resolve(nullptr, SLR_NO_UI | SLR_ANY_MATCH | SLR_UPDATE);
        if (FAILED(result)) {
            RaiseHResult(result, path_);
        }
        std::vector<wchar_t> buffer(32768, L'\0');
        result = link->GetPath(buffer.data(), static_cast<int>(buffer.size()), nullptr,
                               SLGP_UNCPRIORITY);
        if (FAILED(result)) {
            RaiseHResult(result, path_);
        }
        buffer.back() = L'\0';
        target = buffer.data();
    }
    return CountedPtr<FileSpec_IF>(ClassFactory_IF::NewFileSpec(FilePath(target)));
}

void FileSpec_Win32::DeleteTree(CountedPtr<FolderSpec_IF> self) {
    FolderOps_Win32::DeleteTree(std::move(self));
}

void FileSpec_Win32::DeleteContents(bool recursive, CountedPtr<FolderSpec_IF> self) {
    FolderOps_Win32::DeleteContents(recursive, std::move(self));
}

CountedPtr<FolderSpec_Iterator> FileSpec_Win32::NewIterator(CountedPtr<FolderSpec_IF> self) {
    return FolderOps_Win32::NewIterator(std::move(self));
}

CountedPtr<FileSpec_IF> FileSpec_Win32::MakeSameClass(std::wstring path, bool normalised) {
    const bool win9x = dynamic_cast<FileSpec_Win9X*>(this) != nullptr;
    if (normalised) {
        return CountedPtr<FileSpec_IF>(win9x ? new FileSpec_Win9X(std::move(path), *this)
                                             : new FileSpec_Win32(std::move(path), *this));
    }
    if (win9x) {
        return CountedPtr<FileSpec_IF>(new FileSpec_Win9X(FilePath(path), volume_));
    }
    return CountedPtr<FileSpec_IF>(new FileSpec_Win32(FilePath(path), volume_));
}

FileSpec_Win32::FileSpec_Win32(std::wstring normalisedPath, const FileSpec_Win32& like)
    : path_(std::move(normalisedPath)), root_(like.root_), isUnc_(like.isUnc_),
      volume_(like.volume_) {}

FileSpec_Win9X::FileSpec_Win9X(const FilePath& path, CountedPtr<Volume_IF> volume)
    : FileSpec_Win32(path, std::move(volume)) {}

FileSpec_Win9X::FileSpec_Win9X(std::wstring normalisedPath, const FileSpec_Win32& like)
    : FileSpec_Win32(std::move(normalisedPath), like) {}

FileSpec_Win9X::~FileSpec_Win9X() = default;

std::wstring FileSpec_Win9X::GetLongPath() {
    return Path();
}

} // namespace FileSystem
