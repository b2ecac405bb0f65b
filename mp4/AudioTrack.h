// The audio track of one output: which kind it is (decided by the records
// before the header), where each record's samples go on it so that the sound
// keeps to the recorder's clock, and the way they get there (AAC copied, or
// anything encoded).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "AacCopy.h"

struct TessaroFrame;
class CCodedAudioDecoder;
class CAacEncoder;
class CAudioDecoder;
class IPacketSink;

class CAudioTrack {
public:
    explicit CAudioTrack(IPacketSink& sink);
    ~CAudioTrack();
    CAudioTrack(const CAudioTrack&) = delete;
    CAudioTrack& operator=(const CAudioTrack&) = delete;

    // Before the header. A usable record decides the kind of track (the
    // latest one wins); false for one that is not usable.
    bool Decide(const TessaroFrame& frame);
    // Decide, and hold a record with a time for when the header is out: the
    // last second of them. 1 held, 0 not.
    int32_t Early(const TessaroFrame& frame);
    bool Decided() const { return m_eKind != EKind::None; }

    struct SShape {
        bool bCopy = false;
        int nRate = 0;
        int nChannels = 0;
        std::vector<uint8_t> config;  // AudioSpecificConfig; empty: no encoder
    };
    // The track to declare: what the records decided, else AAC encoded at
    // 8000 Hz mono.
    const SShape& Declare();

    // The header is out; bStream: the output took the declared track. The
    // held records go in now (the video's zero is known by then, if any).
    void Start(bool bStream);

    // The record time (90 kHz) that plays at the start of the file.
    void SetZero(int64_t nZero);

    // After Start: 1 consumed, 0 dropped, negative when the encoder failed.
    int32_t Input(const TessaroFrame& frame);

    // Encodes what is still held back.
    void Finish();

    // What of the sound could not go on the track, for the user; empty when
    // all of it went.
    const std::string& LeftOut() const { return m_strLeftOut; }

private:
    enum class EKind { None, Copy, Encode };
    enum class EMode { Off, Copy, Encode, Failed };
    struct SHeld;
    struct SPcm;

    int32_t InputCopy(const TessaroFrame& frame);
    int32_t InputEncode(const TessaroFrame& frame);
    bool DecodeRecord(const TessaroFrame& frame, SPcm& pcm);
    bool DecodeCoded(const TessaroFrame& frame, SPcm& pcm);
    void LeaveOut(std::string strWhat);
    bool Expected(const TessaroFrame& frame, int64_t* pPos) const;
    int64_t AlignEncoded(const TessaroFrame& frame, int nInRate);
    bool MaySilence(int64_t nSamples);
    void WarnOnce(unsigned nWhat, const char* pszText);

    IPacketSink& m_sink;
    EKind m_eKind = EKind::None;
    EMode m_eMode = EMode::Off;
    trelvo::mp4::SAdtsHeader m_adts;  // the deciding ADTS header (copy)
    int m_nRate = 0;                  // of the deciding record (encode)
    int m_nChannels = 0;
    SShape m_shape;
    std::deque<SHeld> m_held;
    size_t m_nHeldBytes = 0;

    bool m_bZeroKnown = false;
    int64_t m_nZero = 0;
    bool m_bStarted = false;  // samples are on the track
    int64_t m_nNext = 0;      // copy: the track sample the next frame starts at
    int64_t m_nReal = 0;      // track samples of sound that came
    int64_t m_nSilence = 0;   // track samples of silence put in
    unsigned m_nWarned = 0;

    std::unique_ptr<CAacCopy> m_pCopy;
    std::unique_ptr<CAacEncoder> m_pEncoder;
    std::unique_ptr<CCodedAudioDecoder> m_pCodedDecoder;
    std::unique_ptr<CAudioDecoder> m_pPcmDecoder;
    std::vector<uint8_t> m_vPcm;
    std::vector<std::vector<float>> m_vPlanes;  // 24-bit PCM as floats
    uint64_t m_nDecoded = 0;                    // records that gave sound
    uint64_t m_nUndecoded = 0;                  // records that gave none
    int32_t m_nUndecodedCodec = 0;
    std::string m_strLeftOut;
};
