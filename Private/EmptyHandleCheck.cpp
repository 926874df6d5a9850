// The empty-handle failure of the portable value classes.
#include "Private/EmptyHandleCheck.h"

#include "support/TalvenException.h"

namespace FileSystem {

void RaiseEmptyHandle(const char* source, int line) {
    throw FileException(TalvenException(source, line), ByteString(), CountedPtr<TalvenException>());
}

} // namespace FileSystem
