// Growable byte store addressed by absolute stream positions, so that
// positions kept elsewhere stay valid when the live bytes move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tessaro {

class ByteBuffer {
public:
    uint64_t begin() const { return m_base + m_head; }
    uint64_t end() const { return m_base + m_tail; }
    size_t size() const { return m_tail - m_head; }
    size_t capacity() const { return m_cap; }
    const uint8_t* at(uint64_t pos) const { return m_data.get() + (pos - m_base); }

    // Forgets everything before pos (clamped to the stored range).
    void discardBefore(uint64_t pos) {
        if (pos <= begin()) return;
        m_head = pos >= end() ? m_tail : static_cast<size_t>(pos - m_base);
    }

    // Forgets everything from pos on.
    void truncate(uint64_t pos) {
        if (pos >= end()) return;
        m_tail = pos <= begin() ? m_head : static_cast<size_t>(pos - m_base);
    }

    // Appends n bytes. Moves or reallocates the live bytes only when
    // needed, so each byte is copied a bounded number of times on average.
    void append(const uint8_t* p, size_t n);

private:
    std::unique_ptr<uint8_t[]> m_data;
    size_t m_cap = 0;
    size_t m_head = 0;
    size_t m_tail = 0;
    uint64_t m_base = 0;
};

}  // namespace tessaro
