// Which item a path names, by the OS's own identity (volume serial number and file index), and
// where a name really leads (the final path of what the OS opens for it): what the tree
// operations check before they remove anything, and before they copy or move a tree into
// itself.
#pragma once

#include "Private/Windows/TalvenWindows.h"

#include <string>

namespace FileSystem {

class FileSpec_Win32;

// Stable for the item's life and never shared by two items on one volume at the same time.
struct FileIdentity {
    DWORD serial = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool known = false;
};

// Equal only when both are known and name the same item.
bool operator==(const FileIdentity& a, const FileIdentity& b);
inline bool operator!=(const FileIdentity& a, const FileIdentity& b) {
    return !(a == b);
}

// The identity of the item at longPath, opened for its attributes only (which no sharing mode
// of another handle refuses), folders too. With linkItself the open does not follow a link at
// the end of the path (FILE_FLAG_OPEN_REPARSE_POINT). Unknown when the item cannot be opened,
// as on the Windows 9x family, which opens no folders. Never raises except std::bad_alloc.
FileIdentity ReadIdentity(const std::wstring& longPath, bool linkItself);

// The path of the item that longPath leads to (GetFinalPathNameByHandleW, the link itself with
// linkItself), without the long-path prefix ("\\server\share\..." for a network path); empty
// when the OS cannot tell (no such function before Windows Vista, a file system that does not
// say, an item that cannot be opened). Never raises except std::bad_alloc.
std::wstring ReadFinalPath(const std::wstring& longPath, bool linkItself);

// Raises AccessDenied for spec's path (no cause) when removing the item at spec would remove or
// change anything else: a link whose own identity the OS does not keep apart from its
// target's (Wine applies every remove to a Linux link's target), or a name that the OS resolves
// to an item elsewhere (Wine lists a Linux link to a file as a plain file). parentFinal is
// ReadFinalPath of spec's parent folder, or empty to have it read here. Nothing for a missing
// item. Raises only that, and std::bad_alloc.
void CheckRemovesOnlyItself(FileSpec_Win32& spec, const std::wstring& parentFinal);

} // namespace FileSystem
