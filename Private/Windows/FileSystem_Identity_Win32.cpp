// Identities and final paths of items, and the check that a remove acts on its item alone.
#include "Private/Windows/FileSystem_Identity_Win32.h"

#include "Private/FolderSpec.h"
#include "Private/Windows/FileSystem_FileSpec_Win32.h"
#include "Private/Windows/FileSystem_Win32_API.h"
#include "support/TalvenException.h"
#include "support/Win32Handle.h"

#include <type_traits>
#include <vector>

namespace FileSystem {

namespace {

Win32Res::FileHandle OpenForAttributes(const std::wstring& longPath, bool linkItself) {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    if (api == nullptr) {
        return Win32Res::FileHandle();
    }
    const DWORD flags =
        FILE_FLAG_BACKUP_SEMANTICS | (linkItself ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return Win32Res::FileHandle(
        api->CreateFileW(longPath.c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags, nullptr));
}

FileIdentity IdentityOf(HANDLE handle) {
    FileIdentity identity;
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, &info)) {
        identity.serial = info.dwVolumeSerialNumber;
        identity.indexHigh = info.nFileIndexHigh;
        identity.indexLow = info.nFileIndexLow;
        identity.known = true;
    }
    return identity;
}

// Empty where the OS cannot tell (before Windows Vista); the check then rests on identities alone.
std::wstring FinalPathOf(HANDLE handle) {
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    if (api == nullptr) {
        return std::wstring();
    }
    std::vector<wchar_t> buffer(512);
    for (;;) {
        const DWORD length = api->GetFinalPathNameByHandleW(handle, buffer.data(),
                                                            static_cast<DWORD>(buffer.size()), 0);
        if (length == 0) {
            return std::wstring();
        }
        if (length < buffer.size()) {
            std::wstring path(buffer.data(), length);
            if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
                return L"\\\\" + path.substr(8);
            }
            return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
        }
        buffer.resize(length + 1);
    }
}

// Final paths compare without regard to case (a FileSpec's own spelling may differ from the one
// on disk) and without a trailing "\".
std::wstring PathKey(std::wstring path) {
    if (!path.empty() && path.back() == L'\\') {
        path.pop_back();
    }
    if (!path.empty()) {
        FileSystem_Win32::Bound::CharUpperBuffW(&path[0], static_cast<DWORD>(path.size()));
    }
    return path;
}

// Whether final names the item called name in the folder whose final path is parent. A name
// that may be a short (8.3) alias is checked by its folder only.
bool IsEntryOf(const std::wstring& final, const std::wstring& parent, const std::wstring& name) {
    const std::size_t cut = final.rfind(L'\\');
    if (cut == std::wstring::npos || PathKey(final.substr(0, cut + 1)) != PathKey(parent)) {
        return false;
    }
    return name.find(L'~') != std::wstring::npos || PathKey(final.substr(cut + 1)) == PathKey(name);
}

[[noreturn]] void RaiseRefused(const std::wstring& path) {
    throw FileException(FileException::AccessDenied, TextConvert::WideToUtf8(path));
}

} // namespace

bool operator==(const FileIdentity& a, const FileIdentity& b) {
    return a.known && b.known && a.serial == b.serial && a.indexHigh == b.indexHigh &&
           a.indexLow == b.indexLow;
}

FileIdentity ReadIdentity(const std::wstring& longPath, bool linkItself) {
    const Win32Res::FileHandle handle = OpenForAttributes(longPath, linkItself);
    return IdentityOf(handle.Get());
}

std::wstring ReadFinalPath(const std::wstring& longPath, bool linkItself) {
    const Win32Res::FileHandle handle = OpenForAttributes(longPath, linkItself);
    return handle ? FinalPathOf(handle.Get()) : std::wstring();
}

void CheckRemovesOnlyItself(FileSpec_Win32& spec, const std::wstring& parentFinal) {
    const std::wstring longPath = spec.GetLongPath();
    FileSystem_Win32::API* api = FileSystem_Win32::GetAPI();
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (api == nullptr ||
        !api->GetFileAttributesExW(longPath.c_str(), GetFileExInfoStandard, &data)) {
        return; // nothing there: nothing to remove
    }
    const bool link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    const Win32Res::FileHandle item = OpenForAttributes(longPath, true);
    if (!item) {
        // Windows opens every link itself; a link that cannot be opened so cannot be verified.
        if (link) {
            RaiseRefused(spec.Path());
        }
        return; // the remove meets the same refusal and reports it
    }
    // Where a remove would act: under Wine a name that leads elsewhere opens as that item, even
    // with FILE_FLAG_OPEN_REPARSE_POINT.
    const std::wstring final = FinalPathOf(item.Get());
    if (!final.empty() && !spec.IsRoot()) {
        std::wstring parent = parentFinal;
        const std::wstring& path = spec.Path();
        if (parent.empty()) {
            const std::size_t cut = path.rfind(L'\\');
            const bool underRoot = cut + 1 == spec.Root().size();
            parent = ReadFinalPath(FileSpec_Win32::LongPathFor(
                                       path.substr(0, underRoot ? cut + 1 : cut), spec.IsUnc()),
                                   false);
        }
        if (!parent.empty() && !IsEntryOf(final, parent, path.substr(path.rfind(L'\\') + 1))) {
            RaiseRefused(path);
        }
    }
    // A link must be an item of its own: where the OS shows it with its target's identity, any
    // remove of it reaches the target.
    if (link && IdentityOf(item.Get()) == ReadIdentity(longPath, false)) {
        RaiseRefused(spec.Path());
    }
}

void CheckRemovesOnlyItself(const FileSpec& spec) {
    if (auto* item = dynamic_cast<FileSpec_Win32*>(FileSpec_Impl(spec).GetImpl())) {
        CheckRemovesOnlyItself(*item, std::wstring());
    }
}

bool IsSameOrInside(const FileSpec& inner, const FileSpec& outer) {
    auto* in = dynamic_cast<FileSpec_Win32*>(FileSpec_Impl(inner).GetImpl());
    auto* out = dynamic_cast<FileSpec_Win32*>(FileSpec_Impl(outer).GetImpl());
    if (in == nullptr || out == nullptr) {
        return false;
    }
    // The paths first: they decide where the OS cannot open folders (the Windows 9x family).
    std::wstring level = in->Path();
    const std::wstring outerKey = PathKey(out->Path()) + L'\\';
    if ((PathKey(level) + L'\\').compare(0, outerKey.size(), outerKey) == 0) {
        return true;
    }
    const FileIdentity wanted = ReadIdentity(out->GetLongPath(), false);
    if (!wanted.known) {
        return false;
    }
    // Each level as the OS opens it, links followed: a missing target's nearest existing
    // folder may be the source reached another way.
    const std::size_t rootSize = in->Root().size();
    for (;;) {
        if (ReadIdentity(FileSpec_Win32::LongPathFor(level, in->IsUnc()), false) == wanted) {
            return true;
        }
        if (level.size() <= rootSize) {
            return false;
        }
        const std::size_t cut = level.rfind(L'\\');
        level.resize(cut + 1 == rootSize ? rootSize : cut);
    }
}

} // namespace FileSystem
