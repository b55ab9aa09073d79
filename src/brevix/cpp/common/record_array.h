// A growable array of trivially copyable elements kept in one block that
// grows by an eighth at a time through realloc. For large blocks glibc's
// realloc remaps pages instead of copying, so growing never holds the old
// and the new block at once, and the slack is at most an eighth; a
// std::vector doubles and copies. Indexing costs what a vector's does.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

namespace bytepairtokenizer {

template <typename T>
class RecordArray {
    static_assert(std::is_trivially_copyable<T>::value, "elements are moved by realloc");

public:
    RecordArray() = default;
    RecordArray(const RecordArray&) = delete;
    RecordArray& operator=(const RecordArray&) = delete;
    ~RecordArray() { std::free(data_); }

    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& back() { return data_[size_ - 1]; }

    // Appends a value-initialised element.
    T& emplace_back() {
        if (size_ == capacity_) grow();
        T* slot = new (data_ + size_) T{};
        ++size_;
        return *slot;
    }

    // Appends copies of `value` until the array is n elements long.
    void growFilled(std::size_t n, const T& value) {
        while (size_ < n) emplace_back() = value;
    }

    // Empties the array; its block is kept for the next build.
    void clear() { size_ = 0; }
    // Makes the array n elements long, leaving them uninitialised: their
    // pages are only touched when first written.
    void resizeUninitialised(std::size_t n) {
        if (n > capacity_) {
            void* moved = std::realloc(static_cast<void*>(data_), n * sizeof(T));
            if (moved == nullptr) throw std::bad_alloc();
            data_ = static_cast<T*>(moved);
            capacity_ = n;
        }
        size_ = n;
    }
    // Empties the array and frees its block.
    void freeAll() {
        std::free(data_);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    void grow() {
        const std::size_t capacity = capacity_ < 1024 ? 1024 : capacity_ + capacity_ / 8;
        void* moved = std::realloc(static_cast<void*>(data_), capacity * sizeof(T));
        if (moved == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(moved);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Makes room in std::vector `v` for n elements, growing by an eighth past n
// instead of doubling: per-record vectors that grow one record at a time
// then carry at most an eighth of slack, not up to a half.
template <typename Vector>
void reserveEighth(Vector& v, std::size_t n) {
    if (n > v.capacity()) v.reserve(n + n / 8);
}

}  // namespace bytepairtokenizer
