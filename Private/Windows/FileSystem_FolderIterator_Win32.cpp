// The Windows folder listing and the tree deletion built on it, with links kept whole.
#include "Private/Windows/FileSystem_FolderIterator_Win32.h"

#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_ErrorTable.h"
#include "Private/Windows/FileSystem_Identity_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "support/TalvenException.h"

#include <cwchar>
#include <utility>

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\Windows\\FileSystem_FolderIterator_Win32";

EntryFlags FlagsOf(DWORD attributes) {
    EntryFlags flags = 0;
    flags |= (attributes & FILE_ATTRIBUTE_DIRECTORY) ? EntryFolder : 0;
    flags |= (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryLink : 0;
    return flags;
}

CountedPtr<FileSpec_Win32> Win32Folder(const CountedPtr<FolderSpec_IF>& self) {
    CountedPtr<FileSpec_Win32> folder = self.DynamicCast<FileSpec_Win32>();
    if (folder.IsNull()) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    return folder;
}

} // namespace

std::wstring FolderIterator_Win32::PatternFor(const std::wstring& longPath) {
    if (!longPath.empty() && longPath.back() == L'\\') {
        return longPath + L"*.*";
    }
    return longPath + L"\\*.*";
}

FolderIterator_Win32::FolderIterator_Win32(CountedPtr<FileSpec_Win32> folder)
    : folder_(std::move(folder)), data_() {
    if (folder_.IsNull()) {
        TALVEN_INTERNAL_ERROR(Source);
    }
    const std::wstring pattern = PatternFor(folder_->GetLongPath());
    find_.Reset(FileSystem_Win32::TheAPI(Source).FindFirstFileW(pattern.c_str(), &data_));
    if (!find_) {
        TALVEN_RAISE_LAST_ERROR(folder_->Path());
    }
    if (BufferIsDotEntry()) {
        Advance();
    }
}

FolderIterator_Win32::~FolderIterator_Win32() = default;

CountedPtr<FileSpec_IF> FolderIterator_Win32::Next() {
    // Moving on before the entry is made means that an entry which cannot be made raises once
    // and is then passed over; otherwise a caller that goes on after the raise would meet the
    // same entry for ever.
    if (!Step()) {
        return CountedPtr<FileSpec_IF>();
    }
    const EntryFlags flags = lastFlags_;
    lastFlags_ = 0;
    CountedPtr<FileSpec_IF> entry = MakeStepEntry();
    lastFlags_ = flags;
    return entry;
}

bool FolderIterator_Win32::Step() {
    if (!find_) {
        lastFlags_ = 0;
        return false;
    }
    stepName_ = data_.cFileName;
    lastFlags_ = FlagsOf(data_.dwFileAttributes);
    stepSize_ = (data_.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    ? 0
                    : (std::uint64_t{data_.nFileSizeHigh} << 32) | data_.nFileSizeLow;
    Advance();
    return true;
}

CountedPtr<FileSpec_IF> FolderIterator_Win32::MakeStepEntry() {
    const std::wstring& name = stepName_;
    CountedPtr<FileSpec_IF> entry = folder_->MakeNamedChild(name);
    // Normalisation trims trailing spaces and dots, so "x " or "x." would come back as a
    // file spec of "x": another item, perhaps an existing one. Such a name cannot be named.
    const auto* made = dynamic_cast<FileSpec_Win32*>(entry.Get());
    const std::wstring& path = made ? made->Path() : std::wstring();
    if (path.size() <= name.size() ||
        path.compare(path.size() - name.size(), name.size(), name) != 0 ||
        path[path.size() - name.size() - 1] != L'\\') {
        const std::wstring& folderPath = folder_->Path();
        const bool root = !folderPath.empty() && folderPath.back() == L'\\';
        RaiseWin32Error(ERROR_BAD_PATHNAME, folderPath + (root ? L"" : L"\\") + name);
    }
    return entry;
}

void FolderIterator_Win32::Advance() {
    FileSystem_Win32::API& api = FileSystem_Win32::TheAPI(Source);
    do {
        if (!api.FindNextFileW(find_.Get(), &data_)) {
            // Only the end ends a listing quietly: a listing cut short by an error would make
            // a copy or a size short and let a move delete what it never copied.
            const DWORD error = ::GetLastError();
            find_.Reset();
            if (error != ERROR_NO_MORE_FILES) {
                RaiseWin32Error(error, folder_->Path());
            }
            return;
        }
    } while (BufferIsDotEntry());
}

bool FolderIterator_Win32::BufferIsDotEntry() const {
    return std::wcscmp(data_.cFileName, L".") == 0 || std::wcscmp(data_.cFileName, L"..") == 0;
}

namespace FolderOps_Win32 {

CountedPtr<FolderSpec_Iterator> NewIterator(CountedPtr<FolderSpec_IF> self) {
    return CountedPtr<FolderSpec_Iterator>(new FolderIterator_Win32(Win32Folder(self)));
}

void DeleteContents(bool recursive, CountedPtr<FolderSpec_IF> self) {
    CountedPtr<FileSpec_Win32> emptied = Win32Folder(self);
    FolderIterator_Win32 listing(emptied);
    // Read once for all entries: each removal is checked against it (CheckRemovesOnlyItself).
    const std::wstring folderFinal = ReadFinalPath(emptied->GetLongPath(), false);
    // The search stays open while its entries go; the OS lists on past deleted entries.
    for (CountedPtr<FileSpec_IF> entry = listing.Next(); entry; entry = listing.Next()) {
        const EntryFlags flags = listing.LastEntryFlags();
        auto* item = dynamic_cast<FileSpec_Win32*>(entry.Get());
        if (item == nullptr) {
            TALVEN_INTERNAL_ERROR(Source);
        }
        if ((flags & EntryFolder) == 0) {
            // A link to a file is removed as a link where the OS can, else refused.
            item->DeleteChecked(folderFinal);
        } else if (!recursive) {
            continue;
        } else if ((flags & EntryLink) != 0) {
            // Entering a junction or folder link would delete what lies outside the tree (or
            // loop through an ancestor); it is removed as a link where the OS can, else refused.
            item->DeleteChecked(folderFinal);
        } else {
            CountedPtr<FolderSpec_IF> folder = entry.DynamicCast<FolderSpec_IF>();
            if (folder.IsNull()) {
                TALVEN_INTERNAL_ERROR(Source);
            }
            folder->DeleteTree(folder);
        }
    }
}

void DeleteTree(CountedPtr<FolderSpec_IF> self) {
    CountedPtr<FileSpec_Win32> folder = Win32Folder(self);
    std::uint32_t attributes = 0;
    if (!folder->ReadPresentAttributes(attributes)) {
        return;
    }
    // A tree that is itself a link is removed as a link, for the same reason as a link inside.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        DeleteContents(true, self);
    }
    folder->Delete();
}

bool ReadAttributes(const std::wstring& longPath, DWORD& attributes) {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!api || !api->GetFileAttributesExW(longPath.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    attributes = data.dwFileAttributes;
    return true;
}

} // namespace FolderOps_Win32

bool IsLink(const FileSpec& spec) {
    if (spec.IsNull()) {
        return false;
    }
    DWORD attributes = 0;
    return FolderOps_Win32::ReadAttributes(spec.GetNativePath(), attributes) &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsLinkedFolder(const FileSpec& spec) {
    if (spec.IsNull()) {
        return false;
    }
    DWORD attributes = 0;
    const DWORD linkedFolder = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    return FolderOps_Win32::ReadAttributes(spec.GetNativePath(), attributes) &&
           (attributes & linkedFolder) == linkedFolder;
}

} // namespace FileSystem
