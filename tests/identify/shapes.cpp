// shapes.cpp - a shared library of the program's own, with a long
// namespaced template method that faults on a null table.
#include <cstddef>

namespace acme {
namespace storage {
namespace detail {

template <typename T> class BlockCache {
public:
    explicit BlockCache(const T* Bins) : Bins(Bins) {}
    __attribute__((noinline)) long averagePerBin(std::size_t Count) const {
        long Sum = 0;
        for (std::size_t I = 0; I < Count; I++) Sum += Bins[I];
        return Count ? Sum / (long)Count : 0;
    }

private:
    const T* volatile Bins;
};

} // namespace detail
} // namespace storage
} // namespace acme

extern "C" __attribute__((noinline)) long ShapesAverage(const int* Bins, std::size_t Count) {
    acme::storage::detail::BlockCache<int> Cache(Bins);
    return Cache.averagePerBin(Count) + 1;
}
