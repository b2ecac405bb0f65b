// The C boundary: nothing thrown inside may cross it.
#include "tessaro.h"

#include "Parser.h"
#include "Probe.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

struct Handle {
    std::unique_ptr<tessaro::Parser> parser;
};

}  // namespace

extern "C" {

TESSARO_API void* TessaroCreate(int32_t /*nMode*/) {
    try {
        auto h = std::make_unique<Handle>();
        h->parser = std::make_unique<tessaro::Parser>();
        return h.release();
    } catch (...) {
        return nullptr;
    }
}

TESSARO_API void TessaroInputData(void* hParser, const uint8_t* pData, uint32_t nLen) {
    auto* h = static_cast<Handle*>(hParser);
    if (!h || !pData || nLen == 0) return;
    try {
        if (!h->parser) h->parser = std::make_unique<tessaro::Parser>();
        h->parser->input(pData, nLen);
    } catch (...) {
        // Out of memory part-way: the state may be half updated, so start
        // afresh; the parser resynchronises on the bytes that follow.
        h->parser.reset();
    }
}

TESSARO_API const TessaroFrame* TessaroGetNextFrame(void* hParser) {
    auto* h = static_cast<Handle*>(hParser);
    if (!h || !h->parser) return nullptr;
    try {
        return h->parser->next();
    } catch (...) {
        h->parser.reset();
        return nullptr;
    }
}

TESSARO_API void TessaroDestroy(void* hParser) {
    delete static_cast<Handle*>(hParser);
}

TESSARO_API void TessaroInputEnd(void* hParser) {
    auto* h = static_cast<Handle*>(hParser);
    if (!h || !h->parser) return;
    try {
        h->parser->end();
    } catch (...) {
        h->parser.reset();
    }
}

TESSARO_API int32_t TessaroGetStatus(void* hParser, TessaroStatus* pStatus, uint32_t nSize) {
    auto* h = static_cast<Handle*>(hParser);
    if (!h || !pStatus || nSize == 0) return -1;
    TessaroStatus status{};
    if (h->parser) status = h->parser->status();
    std::memcpy(pStatus, &status, nSize < sizeof status ? nSize : sizeof status);
    return 0;
}

TESSARO_API int32_t TessaroProbe(const uint8_t* pData, uint32_t nLen) {
    if (!pData || nLen == 0) return TESSARO_CONTAINER_UNKNOWN;
    return tessaro::probe(pData, nLen).container;
}

TESSARO_API const char* TessaroContainerName(int32_t nContainer) {
    return tessaro::containerName(nContainer);
}

}  // extern "C"
