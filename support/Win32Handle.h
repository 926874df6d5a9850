// RAII owners for Win32 resources: every handle, module, find handle, LocalAlloc buffer and COM
// pointer the library obtains is wrapped in one of these the moment it is returned.
#pragma once

#include "support/TalvenWindows.h"

#include <objbase.h>

#include <utility>

namespace Win32Res {

// Owns a value released by Traits::Close(value) unless it equals Traits::Invalid().
template <class Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() noexcept : value_(Traits::Invalid()) {}
    explicit UniqueResource(Value value) noexcept : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.Release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { Reset(); }

    Value Get() const noexcept { return value_; }
    bool IsValid() const noexcept { return value_ != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Gives up ownership without closing.
    Value Release() noexcept { return std::exchange(value_, Traits::Invalid()); }

    // Closes the owned value (keeping the caller's last error intact) and takes value.
    void Reset(Value value = Traits::Invalid()) noexcept {
        if (IsValid()) {
            const DWORD error = ::GetLastError();
            Traits::Close(value_);
            ::SetLastError(error);
        }
        value_ = value;
    }

    // Closes the owned value and reports whether the OS accepted the close. The handle is given
    // up either way; the caller reads GetLastError() on false.
    bool Close() noexcept {
        if (!IsValid()) {
            return true;
        }
        return Traits::Close(std::exchange(value_, Traits::Invalid()));
    }

private:
    Value value_;
};

struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Close(Value value) noexcept { return ::CloseHandle(value) != FALSE; }
};

// Handles whose failure value is NULL rather than INVALID_HANDLE_VALUE (events, threads, ...).
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return nullptr; }
    static bool Close(Value value) noexcept { return ::CloseHandle(value) != FALSE; }
};

struct FindHandleTraits {
    using Value = HANDLE;
    static Value Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool Close(Value value) noexcept { return ::FindClose(value) != FALSE; }
};

struct ModuleTraits {
    using Value = HMODULE;
    static Value Invalid() noexcept { return nullptr; }
    static bool Close(Value value) noexcept { return ::FreeLibrary(value) != FALSE; }
};

struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value Invalid() noexcept { return nullptr; }
    static bool Close(Value value) noexcept { return ::LocalFree(value) == nullptr; }
};

using FileHandle = UniqueResource<FileHandleTraits>;
using KernelHandle = UniqueResource<KernelHandleTraits>;
using FindHandle = UniqueResource<FindHandleTraits>;
using Module = UniqueResource<ModuleTraits>;
using LocalMemory = UniqueResource<LocalMemoryTraits>;

// Owns one reference of a COM interface pointer.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        Reset();
        ptr_ = std::exchange(other.ptr_, nullptr);
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { Reset(); }

    T* Get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // For out-parameters: releases the current pointer and hands out the slot.
    T** Put() noexcept {
        Reset();
        return &ptr_;
    }
    void** PutVoid() noexcept { return reinterpret_cast<void**>(Put()); }
    void Reset() noexcept {
        if (ptr_) {
            std::exchange(ptr_, nullptr)->Release();
        }
    }

private:
    T* ptr_ = nullptr;
};

// Owns one successful CoInitialize of the calling thread: S_FALSE (already initialised) needs
// its CoUninitialize as much as S_OK. An owner that has not initialised does nothing.
class ComInitialisation {
public:
    ComInitialisation() noexcept = default;
    ComInitialisation(const ComInitialisation&) = delete;
    ComInitialisation& operator=(const ComInitialisation&) = delete;
    ~ComInitialisation() {
        if (initialised_) {
            ::CoUninitialize();
        }
    }

    // Initialises COM for the thread (single-threaded apartment) unless this owner already has;
    // true when the thread is initialised by this owner. Never raises.
    bool Initialise() noexcept {
        if (!initialised_) {
            initialised_ = SUCCEEDED(::CoInitialize(nullptr));
        }
        return initialised_;
    }

private:
    bool initialised_ = false;
};

} // namespace Win32Res
