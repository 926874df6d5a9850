// The library's operations on whole files and trees: copying a file with progress and
// cancellation, moving files and trees, creating a folder with its parents, copying, measuring
// and searching trees, relative paths, the process's own files and current folder, unique names
// and the process's private temporary folder.
#pragma once

#include "Private/FilePath.h"
#include "Private/FileSpec.h"
#include "Private/FolderSpec.h"
#include "Private/Tickler.h"

#include <cstdint>
#include <vector>

// Progress: the copy operations report through the tickler they are given, within that
// tickler's own range (its offset and scale are left as they are), so a caller may hand in a
// part made with Split and see the copy stay inside it. Per file they report 0.0 with the
// status text "copying %0" (the source's path) and then the fraction of bytes copied, ending at
// 1.0 (also for an empty file). A sink's exceptions leave the operation as they are, after the
// partial target has been removed.
//
// Links: a linked folder (a junction or folder symbolic link, see IsLinkedFolder) is never
// entered by GetFolderSize, FindFiles, FindFolders or CopyFolder, since it may lead out of the
// tree or back into an ancestor.
//
// Every failure of the OS leaves as the FileException of its Win32 error (kind from the error
// table); a listing that fails part-way raises too, it never passes for a complete one. The
// operations that make things (CopyFolder, CreateFolderTree, the copy of a Move) stop at the
// first failure and remove what they made before raising it, so a target is complete or
// absent; DeleteTree stops too, and what it deleted stays deleted.
namespace FileSystem {

// A list of file specs, in the order the operation found them.
using FileSpecList = std::vector<FileSpec>;

// Copies the file source to target, which must not exist. When both are Windows file
// file specs the OS copies (CopyFileExW, keeping the time stamps and attributes); otherwise
// CopyFileByChannel does. Raises:
//  - FileExists when target exists, which is left untouched (the OS copy names the source's
//    path, the channel copy the target's);
//  - the FileException of the OS error for the source's path, for example VolumeFull when the
//    target's volume fills up, FileNotFound for a missing source;
//  - a FileException without kind whose cause is SystemException::Win32 1235
//    (ERROR_REQUEST_ABORTED), for the source's path, when the tickler reports cancellation;
//  - what the tickler's sink raises.
// A failed or cancelled copy leaves no target behind.
void CopyFile(const FileSpec& target, const FileSpec& source, const Tickler& tickler);

// The copy through file channels, in chunks of at most 65536 bytes, reporting after each chunk
// and asking the tickler whether to cancel. Target gets source's modification date (set after
// both channels are closed, so an implementation that opens the file again for that can).
// Raises as CopyFile; the channels are closed and a target this copy created is removed on
// every failure.
void CopyFileByChannel(const FileSpec& target, const FileSpec& source, const Tickler& tickler);

// Moves the file or folder tree source to target. First tries a rename (one OS call); when that
// fails for any reason, copies instead (CopyFile for a file, CopyFolder with recursive for a
// folder) and removes the source only after the copy has succeeded completely. Reports 0.0,
// the text "copying %0" and 1.0 at the end. Raises:
//  - what the copy raises (the rename's failure is dropped); the source then stays whole and
//    what the copy made is removed;
//  - AccessDenied for the source's path (no cause) when the source is neither file nor folder;
//  - AccessDenied naming the source, or the first link inside a source tree, when a copy is
//    needed but the source could not be removed after it: the copy skips linked folders, and
//    under Wine removing any link acts on its target (see CheckRemovesOnlyItself). Checked
//    before anything is copied, so nothing is left on the target;
//  - what removing the source raises: a file's copy is then removed (the file stays where it
//    was); a tree stays whole at the target, and what its removal had not reached stays at
//    the source.
void Move(const FileSpec& target, const FileSpec& source, const Tickler& tickler);

// Creates folder and every missing folder above it, top-down; existing folders are not an
// error and the root is never created. Raises FileExists naming the first item on the way that
// is not a folder, and the OS error of a folder that cannot be created; the folders this call
// made are removed again first.
void CreateFolderTree(const FileSpec& folder);

// Copies the entries of the folder source into the folder target. A missing target is created
// (its parent must exist) with source's archive, hidden, read-only and system flags; an
// existing target is used as it is. In each folder the files are copied first (CopyFile, so an
// existing file of the same name raises FileExists there), then, with recursive, each
// sub-folder in listing order, completely before the next. A folder whose name ends in ".lnk"
// is a folder like any other. A linked folder is skipped: neither the link nor what it leads
// to is copied, and the copy goes on. The tickler receives one progress run per file. Raises
// AccessDenied for the target's path (no cause), before anything is created, when the target
// is the source or lies inside it, also when reached through a linked folder or another drive
// letter for the same folder (IsSameOrInside; the copy would never end); otherwise what
// listing, creating and copying raise. A failure stops the copy (a full target volume raises
// VolumeFull) and removes every folder and file the copy made, the target too when the copy
// created it.
void CopyFolder(const FileSpec& target, const FileSpec& source, bool recursive,
                const Tickler& tickler);

// The sum of the sizes of the files in folder, and with recursive of those in every sub-folder
// (linked folders excluded). The sizes are those the folder listing reports, so no file is
// opened and files held open without sharing count too; Wine lists the current size of a file
// that another handle is writing, while NTFS may list an older size until that handle closes.
// Raises what listing the folders raises.
std::uint64_t GetFolderSize(const FileSpec& folder, bool recursive);

// The entries of folder whose names match pattern (FilePath::MatchesPattern, case-sensitive
// only on a case-sensitive volume): this folder's matches in listing order, then the results
// of each sub-folder in listing order. With recursive, sub-folders are searched and never
// matched themselves, so only files are returned; without, folders (linked ones too) are
// matched like files. Raises what listing raises, and what MatchesPattern raises for a pattern
// with a separator.
FileSpecList FindFiles(const FileSpec& folder, const FilePath& pattern, bool recursive);

// The folders under folder whose names match pattern, in the order of FindFiles. A matching
// folder is not searched further; with recursive, a folder that does not match is searched.
// A matching linked folder is returned but never searched. Raises as FindFiles.
FileSpecList FindFolders(const FileSpec& folder, const FilePath& pattern, bool recursive);

// The path that leads from the folder base to target, with "/" separators: "." and then
// "/.." for each level to climb and "/name" for each level to descend ("./../c/d"; "." when
// both are the same). Empty when either is empty or they lie on different volumes. Only the
// paths are compared; nothing on disk is read. Raises what building the parents raises.
FilePath GetRelativePath(const FileSpec& target, const FileSpec& base);

// The process's executable. Raises the OS error for an empty path.
FileSpec GetApplicationFile();
// The module (executable or DLL) that contains this library. Raises as GetApplicationFile.
FileSpec GetModuleFile();
// name in the folder of GetModuleFile: a file, or nothing there. Raises a FileException with
// the AccessDenied kind for that path (no cause) when a folder stands there.
FileSpec GetModuleSiblingFile(const FilePath& name);
// The same for a folder: raises when a file stands there.
FileSpec GetModuleSiblingFolder(const FilePath& name);
// The process's current folder. Raises the OS error for an empty path.
FileSpec GetCurrentFolder();
// Makes folder the current folder, which changes what later relative paths mean. Raises the OS
// error for folder's path.
void SetCurrentFolder(const FileSpec& folder);

// A child of folder that does not exist yet: templ with extension (FilePath::AddExtension),
// when templ holds no "*" and that name is free; otherwise templ with its first "*" replaced by
// 1, 2, ... (or with the number appended when it holds none), the extension added, up to
// 999999. The empty FileSpec when all are taken. Another process may take the name before the
// caller creates it. Raises what MakeChild raises for a name that is no valid path.
FileSpec MakeUniqueChild(const FileSpec& folder, const FilePath& templ, const FilePath& extension);

// The process's private temporary folder under the user's temporary folder: "Talven.tmp", or
// "Talven1.tmp", "Talven2.tmp", ... when that name is taken. Made on first use, and made anew
// when it has vanished since, also when another folder has taken its name meanwhile (that one
// is left to whoever made it); removed by FileSystem_Win32::Uninstall. Not locked: call it
// first from one thread. Raises the OS error when the temporary path cannot be read or the
// folder cannot be created, and the internal-software-error TalvenException before start-up.
FolderSpec GetTempFolder();

// For the implementations of the operations above.
// Raises the failure of an operation the tickler cancelled, as CopyFile describes it, for path.
// Each platform defines it with its own error table.
[[noreturn]] void RaiseCancelled(const FilePath& path);
// Reports the start of one file's copy: 0.0 and the status text "copying %0" for source.
void ReportCopyStart(const Tickler& tickler, const FilePath& source);

} // namespace FileSystem
