#pragma once

#include <QtGlobal>

#include <vector>

// A fixed-capacity buffer that keeps the newest items: once full, each append overwrites the
// oldest. Its storage is reserved once, when the first item arrives, and never moves after that;
// the system gives it pages only as items fill them, so a short recording costs what it holds.
template <typename T> class RingBuffer {
public:
    explicit RingBuffer(int capacity) : cap(qMax(1, capacity)) {}

    int capacity() const { return cap; }
    int size() const { return count; }
    bool isEmpty() const { return count == 0; }
    bool isFull() const { return count == cap; }

    void append(const T &item)
    {
        if (items.capacity() == 0)
            items.reserve(size_t(cap));
        // Until the storage has grown to the capacity, the items never wrap round its end, so
        // the next slot is at most one past it.
        // No division on the way: this runs for every sample.
        int slot = head + count;
        if (slot >= cap)
            slot -= cap;
        if (size_t(slot) == items.size())
            items.push_back(item);
        else
            items[size_t(slot)] = item;
        if (count < cap)
            ++count;
        else if (++head == cap)
            head = 0;
    }

    // Index 0 is the oldest item kept.
    const T &at(int index) const { return items[size_t((head + index) % cap)]; }
    const T &last() const { return at(count - 1); }

    // Forgets the n oldest items.
    void dropFront(int n)
    {
        n = qBound(0, n, count);
        head = (head + n) % cap;
        count -= n;
    }

    // Keeps the storage reserved.
    void clear()
    {
        items.clear();
        head = 0;
        count = 0;
    }

    // The first index whose item is not less than value under less(item, value): the items must
    // be ordered by the key less compares.
    template <typename V, typename Less> int lowerBound(const V &value, Less less) const
    {
        int low = 0;
        int high = count;
        while (low < high) {
            const int mid = low + (high - low) / 2;
            if (less(at(mid), value))
                low = mid + 1;
            else
                high = mid;
        }
        return low;
    }

private:
    std::vector<T> items;
    int cap;
    int head = 0;
    int count = 0;
};
