// Memory for the kernels' O(m) working vectors. A search at m = 10^6 fills
// tens of MB afresh on every call, and with 4 KB pages each page costs a
// fault (about half of a closed BY search). Large blocks therefore come from
// mmap, aligned to 2 MB and advised to use transparent huge pages, which cuts
// the faults five hundredfold; small blocks, and every block off Linux, come
// from operator new. The memory is returned to the system when freed, so no
// call keeps anything of the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

// Under AddressSanitizer every block comes from operator new, so that it is
// checked.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define TULM_MAP_LARGE_BLOCKS 1
#include <sys/mman.h>
#endif

namespace tulm::detail {

template <typename T>
class LargeAllocator {
public:
    using value_type = T;

    LargeAllocator() = default;
    template <typename U>
    explicit LargeAllocator(const LargeAllocator<U>& /*other*/) {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (n > kMaxElements) {
            throw std::bad_array_new_length();
        }
#ifdef TULM_MAP_LARGE_BLOCKS
        if (bytes >= kLargeBytes) {
            return static_cast<T*>(map_huge(bytes));
        }
#endif
        return static_cast<T*>(::operator new (bytes, std::align_val_t{alignof(T)}));
    }

    void deallocate(T* block, std::size_t n) noexcept {
        [[maybe_unused]] const std::size_t bytes = n * sizeof(T);
#ifdef TULM_MAP_LARGE_BLOCKS
        if (bytes >= kLargeBytes) {
            munmap(block, round_up(bytes));
            return;
        }
#endif
        ::operator delete (block, std::align_val_t{alignof(T)});
    }

    template <typename U>
    bool operator==(const LargeAllocator<U>& /*other*/) const noexcept {
        return true;
    }

    // New elements without a value are left unset, not zeroed: resize(n)
    // costs no pass over the memory, and the kernels write every entry they
    // read.
    template <typename U>
    void construct(U* element) noexcept {
        ::new (static_cast<void*>(element)) U;
    }
    template <typename U, typename... Args>
    void construct(U* element, Args&&... args) {
        ::new (static_cast<void*>(element)) U(std::forward<Args>(args)...);
    }

private:
    static constexpr std::size_t kHugePage = std::size_t{2} << 20;
    static constexpr std::size_t kLargeBytes = std::size_t{1} << 20;
    static constexpr std::size_t kMaxElements = (~std::size_t{0} - kHugePage) / sizeof(T);

    static std::size_t round_up(std::size_t bytes) {
        return (bytes + kHugePage - 1) & ~(kHugePage - 1);
    }

#ifdef TULM_MAP_LARGE_BLOCKS
    // A 2 MB-aligned mapping of round_up(bytes): map a huge page more, then
    // unmap what lies before and after the aligned range.
    static void* map_huge(std::size_t bytes) {
        const std::size_t size = round_up(bytes);
        void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) {
            throw std::bad_alloc();
        }
        char* const start = static_cast<char*>(mapped);
        const std::size_t misalignment = reinterpret_cast<std::uintptr_t>(start) % kHugePage;
        const std::size_t lead = misalignment == 0 ? 0 : kHugePage - misalignment;
        char* const block = start + lead;
        if (lead > 0) {
            munmap(start, lead);
        }
        munmap(block + size, kHugePage - lead);  // never empty: lead < kHugePage
        madvise(block, size, MADV_HUGEPAGE);     // advice only: ignored where THP is off
        return block;
    }
#endif
};

template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// n zeros of T (all bits zero) for a table that is written sparsely: calloc
// hands large blocks out as fresh zero pages, which cost nothing until an
// entry on them is written.
template <typename T>
class ZeroedBlock {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    ZeroedBlock() = default;
    explicit ZeroedBlock(std::size_t n)
        : block_(static_cast<T*>(std::calloc(n, sizeof(T)))), size_(n) {
        if (!block_ && n > 0) {
            throw std::bad_alloc();
        }
    }
    [[nodiscard]] std::span<T> span() const { return {block_.get(), size_}; }
    [[nodiscard]] std::size_t size() const { return size_; }

private:
    struct Free {
        void operator()(T* block) const { std::free(block); }
    };
    std::unique_ptr<T, Free> block_;
    std::size_t size_ = 0;
};

}  // namespace tulm::detail
