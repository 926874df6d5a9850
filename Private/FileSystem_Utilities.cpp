// The portable file system utilities: the channel copy, moving, creating, copying, measuring and
// searching trees, relative paths, module siblings and unique names.
#include "Private/FileSystem_Utilities.h"

#include "Private/EmptyHandleCheck.h"
#include "Private/FileChannel.h"
#include "Private/FolderIterator.h"
#include "Private/Volume.h"
#include "support/TalvenException.h"

#include <algorithm>
#include <string>
#include <utility>

namespace FileSystem {

namespace {

const char* const Source = ".\\Private\\FileSystem_Utilities";

constexpr std::uint64_t ChunkSize = 0x10000;
constexpr unsigned UniqueLimit = 1000000;

// Closes the target channel and removes what the failed copy wrote. Nothing here may hide the
// failure that is on its way out.
void DiscardTarget(FileChannel& out, const FileSpec& target) noexcept {
    try {
        if (out.IsOpen()) {
            out.Close();
        }
    } catch (...) {
    }
    out = FileChannel();
    try {
        target.Delete();
    } catch (...) {
    }
}

// Removes what a failed operation made, the last made first, so that a folder is empty when
// its turn comes. Nothing here may hide the failure that is on its way out.
void Undo(const std::vector<FileSpec>& made) noexcept {
    for (auto it = made.rbegin(); it != made.rend(); ++it) {
        try {
            it->Delete();
        } catch (...) {
        }
    }
}

// Whether target is source or lies inside it; the copy would otherwise list its own output.
bool IsInsideOrSame(const FileSpec& target, const FileSpec& source) {
    return IsSameOrInside(target, source);
}

// Raises AccessDenied for the first item of the tree that a move could not remove after its
// copy: a link (the copy skips linked folders, and removing any link may reach its target), or
// a name that leads elsewhere. Checked before anything is copied.
void CheckMovable(const FolderSpec& folder) {
    std::vector<FolderSpec> pending; // in the order the copy takes: a folder's own entries first
    for (FolderIterator it = folder.NewIterator(); !it.AtEnd(); it.Advance()) {
        const FileSpec& entry = it.Current();
        if (it.CurrentIsLink()) {
            throw FileException(FileException::AccessDenied, entry.GetPath().GetBytes());
        }
        if (it.CurrentIsFolder()) {
            pending.emplace_back(entry);
        } else {
            CheckRemovesOnlyItself(entry);
        }
    }
    for (const FolderSpec& sub : pending) {
        CheckMovable(sub);
    }
}

// One level of CopyFolder; linked folders met on the way are collected in skipped.
void CopyTree(const FileSpec& target, const FolderSpec& source, bool recursive,
              const Tickler& tickler, FileSpecList& skipped, std::vector<FileSpec>& made) {
    if (!target.IsPresent()) {
        // Read first, so that a missing source leaves no empty target behind.
        const Attributes attributes = source.GetAttributes();
        target.CreateFolder();
        made.push_back(target);
        target.SetAttributes(attributes);
    }
    std::vector<FolderSpec> pending;
    for (FolderIterator it = source.NewIterator(); !it.AtEnd(); it.Advance()) {
        const FileSpec& entry = it.Current();
        // Checked between files as well: an OS copy may report no progress for a small file
        // (Wine's never does), and a tree of small files must still stop when asked.
        if (tickler.IsCancelled()) {
            RaiseCancelled(entry.GetPath());
        }
        if (!it.CurrentIsFolder()) {
            const FileSpec copy = target.MakeChild(entry.GetName());
            CopyFile(copy, entry, tickler);
            made.push_back(copy);
        } else if (!recursive) {
            continue;
        } else if (it.CurrentIsLink()) {
            skipped.push_back(entry);
        } else {
            pending.emplace_back(entry);
        }
    }
    for (const FolderSpec& folder : pending) {
        CopyTree(target.MakeChild(folder.GetName()), folder, recursive, tickler, skipped, made);
    }
}

// A pattern of stars only matches every name a listing gives (none is empty).
bool MatchesAll(const FilePath& pattern) {
    const ByteString& text = pattern.GetBytes();
    return !text.empty() && text.find_first_not_of('*') == ByteString::npos;
}

// One folder's entries for the walks that need a file spec only for some of them (sizes,
// searches): kind, name and size come from the listing where the implementation offers them
// (FolderEntryInfo_IF), and each entry's spec is made only when asked for.
class Listing {
public:
    explicit Listing(const FolderSpec& folder) {
        const CountedPtr<FolderSpec_IF> impl = folder.GetFolderImpl();
        if (impl.IsNull()) {
            folder.NewIterator(); // raises as for any listing of the empty FolderSpec
        }
        impl_ = impl->NewIterator(impl);
        info_ = dynamic_cast<FolderEntryInfo_IF*>(impl_.Get());
    }
    // Moves to the next entry; false at the end.
    bool Next() {
        if (info_ != nullptr) {
            return info_->Step();
        }
        entry_ = FileSpec(impl_->Next());
        return !entry_.IsNull();
    }
    bool IsFolder() const {
        return info_ != nullptr ? (info_->LastEntryFlags() & EntryFolder) != 0 : entry_.IsFolder();
    }
    bool IsLink() const {
        return info_ != nullptr ? (info_->LastEntryFlags() & EntryLink) != 0
                                : FileSystem::IsLink(entry_);
    }
    std::uint64_t Size() const {
        return info_ != nullptr ? info_->StepSize() : entry_.GetFileSize();
    }
    FilePath Name() const {
        return info_ != nullptr ? FilePath(info_->StepName()) : entry_.GetName();
    }
    FileSpec Entry() const { return info_ != nullptr ? FileSpec(info_->MakeStepEntry()) : entry_; }

private:
    CountedPtr<FolderSpec_Iterator> impl_;
    FolderEntryInfo_IF* info_ = nullptr;
    FileSpec entry_;
};

std::uint64_t FolderSize(const FolderSpec& folder, bool recursive) {
    std::uint64_t total = 0;
    for (Listing entries(folder); entries.Next();) {
        if (!entries.IsFolder()) {
            total += entries.Size();
        } else if (recursive && !entries.IsLink()) {
            total += FolderSize(FolderSpec(entries.Entry()), true);
        }
    }
    return total;
}

void SearchFiles(const FolderSpec& folder, const FilePath& pattern, bool recursive,
                 bool caseSensitive, FileSpecList& results) {
    std::vector<FolderSpec> pending;
    for (Listing entries(folder); entries.Next();) {
        if (recursive && entries.IsFolder()) {
            if (!entries.IsLink()) {
                pending.emplace_back(entries.Entry());
            }
        } else if (MatchesAll(pattern) || entries.Name().MatchesPattern(pattern, caseSensitive)) {
            results.push_back(entries.Entry());
        }
    }
    for (const FolderSpec& sub : pending) {
        SearchFiles(sub, pattern, recursive, caseSensitive, results);
    }
}

void SearchFolders(const FolderSpec& folder, const FilePath& pattern, bool recursive,
                   bool caseSensitive, FileSpecList& results) {
    std::vector<FolderSpec> pending;
    for (Listing entries(folder); entries.Next();) {
        if (!entries.IsFolder()) {
            continue;
        }
        if (entries.Name().MatchesPattern(pattern, caseSensitive)) {
            results.push_back(entries.Entry());
        } else if (recursive && !entries.IsLink()) {
            pending.emplace_back(entries.Entry());
        }
    }
    for (const FolderSpec& sub : pending) {
        SearchFolders(sub, pattern, recursive, caseSensitive, results);
    }
}

// The names of spec's levels below its root, the one nearest the root first; root receives
// the root reached on the way up.
std::vector<FilePath> Components(const FileSpec& spec, FileSpec& root) {
    std::vector<FilePath> names;
    root = spec;
    while (!root.IsNull() && !root.IsRoot()) {
        names.push_back(root.GetName());
        root = root.ParentFolder();
    }
    std::reverse(names.begin(), names.end());
    return names;
}

FileSpec ModuleSibling(const FilePath& name, bool wantFolder) {
    const FileSpec result = GetModuleFile().ParentFolder().MakeChild(name);
    if (result.IsPresent() && result.IsFolder() != wantFolder) {
        throw FileException(FileException::AccessDenied, result.GetPath().GetBytes());
    }
    return result;
}

} // namespace

void ReportCopyStart(const Tickler& tickler, const FilePath& source) {
    tickler.Tickle(0.0);
    tickler.SetText(TalvenTextArgs(FileException::CopyingFile).arg(source.GetBytes()));
}

void CopyFileByChannel(const FileSpec& target, const FileSpec& source, const Tickler& tickler) {
    if (target.IsPresent()) {
        throw FileException(FileException::FileExists, target.GetPath().GetBytes());
    }
    ReportCopyStart(tickler, source.GetPath());
    FileChannel in = source.OpenChannel(ModeRead);
    // Created exclusively, so the target removed after a failure is always one this copy made,
    // even when another process put a file there since the check above.
    FileSpec_Impl targetImpl(target);
    if (targetImpl.GetImpl() == nullptr) {
        RaiseEmptyHandle(Source, __LINE__);
    }
    targetImpl.GetImpl()->Create();
    FileChannel out;
    try {
        out = target.OpenChannel(ModeWrite);
        const std::uint64_t total = in.GetEndOfFile();
        std::vector<unsigned char> buffer(
            static_cast<std::size_t>(std::max<std::uint64_t>(std::min(total, ChunkSize), 1)));
        std::uint64_t copied = 0;
        for (;;) {
            std::size_t got = 0;
            in.Read(buffer.data(), buffer.size(), got);
            if (got == 0) {
                break;
            }
            out.Write(buffer.data(), got);
            copied += got;
            tickler.Tickle(total == 0 ? 1.0 : double(copied) / double(total));
            // A progress dialog's cancel button must stop the copy here as it stops the OS copy.
            if (tickler.IsCancelled()) {
                RaiseCancelled(source.GetPath());
            }
        }
        if (copied == 0) {
            tickler.Tickle(1.0);
            if (tickler.IsCancelled()) {
                RaiseCancelled(source.GetPath());
            }
        }
        const DateTime modified = source.GetModificationDate();
        // Closed before the date is set: an implementation may open the file again for that,
        // which the channel's exclusive sharing would refuse.
        out.Close();
        in.Close();
        target.SetModificationDate(modified);
    } catch (...) {
        DiscardTarget(out, target);
        throw;
    }
}

void Move(const FileSpec& target, const FileSpec& source, const Tickler& tickler) {
    bool renamed = true;
    try {
        source.Rename(target);
    } catch (const std::exception&) {
        renamed = false;
    }
    if (!renamed) {
        // A copy whose source cannot be removed afterwards would be left behind: refused first.
        CheckRemovesOnlyItself(source);
        if (source.IsFile()) {
            CopyFile(target, source, tickler);
            try {
                source.Delete();
            } catch (...) {
                // The source stays whole, so the copy goes: the file is in one place only.
                Undo({target});
                throw;
            }
        } else if (source.IsFolder()) {
            if (IsInsideOrSame(target, source)) {
                throw FileException(FileException::AccessDenied, target.GetPath().GetBytes());
            }
            const FolderSpec folder(source);
            CheckMovable(folder);
            FileSpecList skipped;
            std::vector<FileSpec> made;
            try {
                CopyTree(target, folder, true, tickler, skipped, made);
                if (!skipped.empty()) {
                    throw FileException(FileException::AccessDenied,
                                        skipped.front().GetPath().GetBytes());
                }
            } catch (...) {
                Undo(made);
                throw;
            }
            // A failure from here leaves the tree whole at the target and partly at the source.
            folder.DeleteTree();
        } else {
            throw FileException(FileException::AccessDenied, source.GetPath().GetBytes());
        }
    }
    ReportCopyStart(tickler, source.GetPath());
    tickler.Tickle(1.0);
}

void CreateFolderTree(const FileSpec& folder) {
    if (folder.IsNull()) {
        RaiseEmptyHandle(Source, __LINE__);
    }
    FileSpec level;
    const std::vector<FilePath> names = Components(folder, level);
    std::vector<FileSpec> made;
    try {
        for (const FilePath& name : names) {
            level = level.MakeChild(name);
            if (!level.IsPresent()) {
                try {
                    level.CreateFolder();
                    made.push_back(level);
                } catch (const FileException& e) {
                    // The presence check may have failed, or another process made the folder.
                    if (e.code() != FileException::FileExists.id() || !level.IsFolder()) {
                        throw;
                    }
                }
            } else if (!level.IsFolder()) {
                throw FileException(FileException::FileExists, level.GetPath().GetBytes());
            }
        }
    } catch (...) {
        Undo(made);
        throw;
    }
}

void CopyFolder(const FileSpec& target, const FileSpec& source, bool recursive,
                const Tickler& tickler) {
    if (IsInsideOrSame(target, source)) {
        throw FileException(FileException::AccessDenied, target.GetPath().GetBytes());
    }
    FileSpecList skipped;
    std::vector<FileSpec> made;
    try {
        CopyTree(target, FolderSpec(source), recursive, tickler, skipped, made);
    } catch (...) {
        Undo(made);
        throw;
    }
}

std::uint64_t GetFolderSize(const FileSpec& folder, bool recursive) {
    return FolderSize(FolderSpec(folder), recursive);
}

FileSpecList FindFiles(const FileSpec& folder, const FilePath& pattern, bool recursive) {
    FileSpecList results;
    SearchFiles(FolderSpec(folder), pattern, recursive, folder.GetVolume().IsCaseSensitive(),
                results);
    return results;
}

FileSpecList FindFolders(const FileSpec& folder, const FilePath& pattern, bool recursive) {
    FileSpecList results;
    SearchFolders(FolderSpec(folder), pattern, recursive, folder.GetVolume().IsCaseSensitive(),
                  results);
    return results;
}

FilePath GetRelativePath(const FileSpec& target, const FileSpec& base) {
    if (target.IsNull() || base.IsNull() || base.GetVolume() != target.GetVolume()) {
        return FilePath();
    }
    const bool caseSensitive = target.GetVolume().IsCaseSensitive();
    FileSpec root;
    const std::vector<FilePath> targetNames = Components(target, root);
    const std::vector<FilePath> baseNames = Components(base, root);
    std::size_t common = 0;
    while (common < targetNames.size() && common < baseNames.size() &&
           targetNames[common].IsEqual(baseNames[common], caseSensitive)) {
        ++common;
    }
    ByteString result = TextConvert::Bytes(".");
    for (std::size_t i = common; i < baseNames.size(); ++i) {
        result += TextConvert::Bytes("/..");
    }
    for (std::size_t i = common; i < targetNames.size(); ++i) {
        result.push_back('/');
        result += targetNames[i].GetBytes();
    }
    return FilePath(result);
}

FileSpec GetModuleSiblingFile(const FilePath& name) {
    return ModuleSibling(name, false);
}

FileSpec GetModuleSiblingFolder(const FilePath& name) {
    return ModuleSibling(name, true);
}

FileSpec MakeUniqueChild(const FileSpec& folder, const FilePath& templ, const FilePath& extension) {
    const ByteString& pattern = templ.GetBytes();
    const std::size_t star = pattern.find('*');
    if (star == ByteString::npos) {
        FileSpec child = folder.MakeChild(templ.AddExtension(extension));
        if (!child.IsPresent()) {
            return child;
        }
    }
    for (unsigned n = 1; n < UniqueLimit; ++n) {
        const ByteString number = TextConvert::Bytes(std::to_string(n));
        ByteString name = pattern;
        if (star == ByteString::npos) {
            name += number;
        } else {
            name.replace(star, 1, number);
        }
        FileSpec child = folder.MakeChild(FilePath(name).AddExtension(extension));
        if (!child.IsPresent()) {
            return child;
        }
    }
    return FileSpec();
}

} // namespace FileSystem
