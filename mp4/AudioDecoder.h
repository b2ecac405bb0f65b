// Decodes one audio record's payload to 16-bit PCM (or passes it through).
#pragma once

#include <cstdint>

class CAudioDecoder {
public:
    // Largest output Decode writes; the writer's decode buffer has this size.
    static constexpr uint32_t DECODE_BUFFER_SIZE = 500000;

    // Bytes written to pDest (at most nDestSize); 0 when nothing usable came out.
    uint32_t Decode(const uint8_t* pSrc, uint32_t nLen, uint8_t* pDest, uint32_t nDestSize, int32_t nCodec,
                    uint32_t nSampleRate) const;

    static int16_t ALawToLinear(uint8_t a);
    static int16_t MuLawToLinear(uint8_t u);
};
