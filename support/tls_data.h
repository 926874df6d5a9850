// Per-thread storage: a fixed number of values per thread in one Win32 TLS slot. Each thread's
// block is made on its first access and kept, also after the thread ends, until the storage is
// destroyed. The object is its own lock, held only while a block is created and linked.
#pragma once

#include "support/CriticalSection.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>

// The Win32 thread-local slot operations behind tls_data, kept out of line so this header needs
// no Win32 types.
namespace TlsSlot {
// A new slot. Raises SystemException::Win32 with the system's error when none is left.
std::uint32_t Allocate();
// Frees a slot. Never raises.
void Release(std::uint32_t slot) noexcept;
// The calling thread's value of the slot, nullptr when never set. Never raises.
void* Get(std::uint32_t slot) noexcept;
// Sets the calling thread's value. Raises SystemException::Win32 when the system refuses.
void Set(std::uint32_t slot, void* value);
} // namespace TlsSlot

template <class T>
class tls_data : public TalvenCriticalSection {
public:
    // count values per thread, each starting as defaultValue. Raises SystemException::Win32
    // when no TLS slot is left.
    explicit tls_data(std::uint32_t count = 1, const T& defaultValue = T())
        : tlsIndex_(TlsSlot::Allocate()), blocks_(nullptr), count_(count),
          defaultValue_(defaultValue) {}

    // Frees the slot and the blocks of every thread that ever used the storage. No thread may
    // use it any more.
    ~tls_data() override {
        TlsSlot::Release(tlsIndex_);
        while (blocks_ != nullptr) {
            Link* next = blocks_->next;
            Free(blocks_);
            blocks_ = next;
        }
    }

    // The calling thread's element index. Raises std::out_of_range for an index not below the
    // count; on a thread's first access, SystemException::Win32 when the system refuses the
    // slot value, or std::bad_alloc (or what T's copy raises) while making the block.
    T& operator[](std::uint32_t index) {
        if (index >= count_) {
            throw std::out_of_range("tls_data::operator[index] - invalid index");
        }
        // A thread reads only its own slot value, so finding an existing block needs no lock.
        void* block = TlsSlot::Get(tlsIndex_);
        if (block == nullptr) {
            block = Create();
        }
        return Values(static_cast<Link*>(block))[index];
    }

    std::uint32_t count() const { return count_; }

private:
    // A block is this link word followed by count_ elements in one allocation.
    struct Link {
        Link* next;
    };
    static_assert(alignof(T) <= alignof(std::max_align_t), "over-aligned element type");
    static constexpr std::size_t ValuesOffset =
        (sizeof(Link) + alignof(T) - 1) / alignof(T) * alignof(T);

    T* Values(Link* block) {
        return std::launder(
            reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(block) + ValuesOffset));
    }

    void* Create() {
        TalvenAutoCriticalSection guard(this);
        void* raw = ::operator new(ValuesOffset + sizeof(T) * count_);
        Link* block = ::new (raw) Link{nullptr};
        T* values = reinterpret_cast<T*>(static_cast<unsigned char*>(raw) + ValuesOffset);
        try {
            std::uninitialized_fill_n(values, count_, defaultValue_);
        } catch (...) {
            ::operator delete(raw);
            throw;
        }
        try {
            TlsSlot::Set(tlsIndex_, block);
        } catch (...) {
            Free(block);
            throw;
        }
        block->next = blocks_;
        blocks_ = block;
        return block;
    }

    void Free(Link* block) {
        T* values = Values(block);
        for (std::uint32_t i = 0; i < count_; ++i) {
            values[i].~T();
        }
        ::operator delete(static_cast<void*>(block));
    }

    std::uint32_t tlsIndex_;
    Link* blocks_;
    std::uint32_t count_;
    T defaultValue_;
};
