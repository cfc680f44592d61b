#pragma once
// A fixed-size array of plain values straight from the kernel, zero-filled, on huge pages where the
// kernel offers them. For large arrays that are filled once and then only read: each page a process
// touches for the first time costs a fault, and on virtual machines a fault is expensive enough to
// dominate building a large index.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace fv {

template <typename T>
class PageArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    PageArray() = default;
    explicit PageArray(std::size_t count) : size_(count) {
        if (count == 0) return;
        constexpr std::size_t huge = std::size_t{2} << 20;
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        if (count > (SIZE_MAX - 2 * huge) / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = (count * sizeof(T) + page - 1) / page * page;
        // Small arrays gain nothing from alignment; large ones start on a huge page boundary.
        const std::size_t slack = bytes >= huge ? huge : 0;
        void* p = ::mmap(nullptr, bytes + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        auto start = reinterpret_cast<std::uintptr_t>(p);
        const std::uintptr_t aligned = slack ? (start + huge - 1) & ~(huge - 1) : start;
        if (aligned > start) ::munmap(p, aligned - start);
        if (const std::uintptr_t end = start + bytes + slack, used = aligned + bytes; end > used)
            ::munmap(reinterpret_cast<void*>(used), end - used);
        mapped_ = bytes;
        data_ = reinterpret_cast<T*>(aligned);
        if (slack) ::madvise(data_, bytes, MADV_HUGEPAGE);
    }
    ~PageArray() { release(); }
    PageArray(PageArray&& o) noexcept
        : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), mapped_(std::exchange(o.mapped_, 0)) {}
    PageArray& operator=(PageArray&& o) noexcept {
        if (this != &o) {
            release();
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
            mapped_ = std::exchange(o.mapped_, 0);
        }
        return *this;
    }
    PageArray(const PageArray&) = delete;
    PageArray& operator=(const PageArray&) = delete;

    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

private:
    void release() {
        if (data_) ::munmap(data_, mapped_);
        data_ = nullptr;
        size_ = mapped_ = 0;
    }
    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;
};

}  // namespace fv
