#include "ByteBuffer.h"

#include <cstring>

namespace tessaro {

namespace {
constexpr size_t kMinCapacity = size_t{256} * 1024;
constexpr size_t kShrinkAbove = size_t{8} * 1024 * 1024;
}  // namespace

void ByteBuffer::append(const uint8_t* p, size_t n) {
    if (n == 0) return;
    if (m_head == m_tail) {
        // Nothing live: restart at the front without moving anything.
        m_base += m_tail;
        m_head = m_tail = 0;
    }
    if (m_tail + n > m_cap) {
        size_t live = m_tail - m_head;
        size_t need = live + n;
        bool shrink = m_cap > kShrinkAbove && need < m_cap / 8;
        if (need <= m_cap && m_head >= live && !shrink) {
            std::memmove(m_data.get(), m_data.get() + m_head, live);
        } else {
            size_t cap = shrink ? need * 2 : m_cap * 2;
            if (cap < need) cap = need + need / 2;
            if (cap < kMinCapacity) cap = kMinCapacity;
            std::unique_ptr<uint8_t[]> data(new uint8_t[cap]);
            if (live) std::memcpy(data.get(), m_data.get() + m_head, live);
            m_data = std::move(data);
            m_cap = cap;
        }
        m_base += m_head;
        m_tail = live;
        m_head = 0;
    }
    std::memcpy(m_data.get() + m_tail, p, n);
    m_tail += n;
}

}  // namespace tessaro
