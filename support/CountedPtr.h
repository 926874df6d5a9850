// CountedPtr: the library's shared-ownership pointer. Two words: a pointer to a shared 32-bit
// count (null when empty) and the object pointer. Counts change only by atomic (interlocked)
// increment and decrement, so copies may be made and dropped on different threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

template <class T>
class CountedPtr {
public:
    using Count = std::atomic<std::int32_t>;

    CountedPtr() noexcept = default;
    CountedPtr(std::nullptr_t) noexcept {}

    // Takes ownership of object with a new count of 1. If the count cannot be allocated the
    // object is deleted and std::bad_alloc propagates. A null object gives an empty pointer.
    explicit CountedPtr(T* object) { Adopt(object); }

    CountedPtr(const CountedPtr& other) noexcept : count_(other.count_), ptr_(other.ptr_) {
        AddRef();
    }
    CountedPtr(CountedPtr&& other) noexcept : count_(other.count_), ptr_(other.ptr_) {
        other.count_ = nullptr;
        other.ptr_ = nullptr;
    }

    // Shares the object of a pointer to a derived class.
    template <class U>
    CountedPtr(const CountedPtr<U>& other) noexcept : count_(other.count_), ptr_(other.ptr_) {
        AddRef();
    }

    ~CountedPtr() { Release(); }

    CountedPtr& operator=(const CountedPtr& other) noexcept {
        CountedPtr(other).Swap(*this);
        return *this;
    }
    CountedPtr& operator=(CountedPtr&& other) noexcept {
        CountedPtr(std::move(other)).Swap(*this);
        return *this;
    }

    // Releases the current object and takes ownership of object (see the constructor).
    void Reset(T* object = nullptr) {
        Release();
        Adopt(object);
    }

    void Swap(CountedPtr& other) noexcept {
        std::swap(count_, other.count_);
        std::swap(ptr_, other.ptr_);
    }

    T* Get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    T& operator*() const noexcept { return *ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool IsNull() const noexcept { return ptr_ == nullptr; }

    // The current number of owners (0 when empty); for diagnostics and tests.
    std::int32_t UseCount() const noexcept { return count_ ? count_->load() : 0; }

    // Shares the object as a U when its dynamic type is one; otherwise an empty pointer.
    template <class U>
    CountedPtr<U> DynamicCast() const noexcept {
        CountedPtr<U> result;
        if (U* target = dynamic_cast<U*>(ptr_)) {
            result.count_ = count_;
            result.ptr_ = target;
            result.AddRef();
        }
        return result;
    }

    friend bool operator==(const CountedPtr& a, const CountedPtr& b) noexcept {
        return a.ptr_ == b.ptr_;
    }
    friend bool operator!=(const CountedPtr& a, const CountedPtr& b) noexcept {
        return a.ptr_ != b.ptr_;
    }

private:
    template <class U>
    friend class CountedPtr;

    void Adopt(T* object) {
        if (!object) {
            return;
        }
        Count* count = new (std::nothrow) Count(1);
        if (!count) {
            delete object;
            throw std::bad_alloc();
        }
        count_ = count;
        ptr_ = object;
    }

    void AddRef() noexcept {
        if (count_) {
            count_->fetch_add(1, std::memory_order_relaxed);
        }
    }

    void Release() noexcept {
        Count* count = count_;
        T* ptr = ptr_;
        count_ = nullptr;
        ptr_ = nullptr;
        if (count && count->fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete ptr;
            delete count;
        }
    }

    Count* count_ = nullptr;
    T* ptr_ = nullptr;
};
