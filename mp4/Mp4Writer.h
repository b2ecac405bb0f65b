// Turns the Frame records of one input into one MP4 file: video at the
// recorder's times (or its exact rate where records carry none), sound in
// step with it: AAC copied, anything else encoded to AAC.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct TessaroFrame;

// How the file is laid out and what it says about itself.
struct SMp4WriterOptions {
    // The muxer by its FFmpeg name ("mp4"); empty: chosen by the file name's
    // extension, with MPEG as the fallback.
    std::string strFormat;
    // The index (moov) before the media data: the muxer moves it when the
    // file is finished, reading the file back by its name.
    bool bFastStart = false;
    // Fragments of one key frame's pictures, at most about 2 s each, so that
    // a file cut off at any point plays up to its last whole fragment.
    bool bFragmented = false;
    // Fragmented only: the bytes go to this descriptor (a pipe, standard
    // output) instead of the file name; it is never seeked nor closed. -1:
    // the file name.
    int nOutputFd = -1;
    // Fragmented only: called once, as soon as the file holds its header and
    // its first whole fragment (it plays from then on), so that it can take
    // the place of an older file. False fails the file.
    std::function<bool()> onPlayable;
    // The recording time of the first picture, ISO 8601 in UTC; empty: none.
    std::string strCreationTime;
};

class CMp4Writer {
public:
    // strFileName: output path in the narrow (UTF-8) encoding. Nothing is
    // opened until the first usable key frame; the header then waits for the
    // first audio record (up to a second, and a few MiB, of video held in
    // memory), which decides the audio track.
    explicit CMp4Writer(std::string strFileName, SMp4WriterOptions options = {});
    ~CMp4Writer();
    CMp4Writer(const CMp4Writer&) = delete;
    CMp4Writer& operator=(const CMp4Writer&) = delete;

    // 1 consumed, 0 dropped (the file goes on), negative: the file failed
    // (-3 once a write has failed: the file stops there).
    int32_t InputFrame(const TessaroFrame* pFrame);

    // Finishes the file now: flushes the audio, writes the trailer, closes it
    // and removes it when no packet was written or writing failed. Returns 1
    // for a complete file, 0 when there is no output, negative on a write
    // error. The destructor does the same when it was not called.
    int32_t Finish();

    int32_t VideoFrames() const;
    int32_t AudioFrames() const;
    // The input cannot carry sound (a bare video stream): the header need not
    // wait for an audio record.
    void ExpectNoAudio();

    // Length of the video written so far, in seconds.
    double MediaSeconds() const;
    // True when video of another codec than the track's came and was left out.
    bool LeftOutOtherCodec() const;
    // What of the sound could not go into the file, for the user; empty when
    // all of it went.
    std::string LeftOutAudio() const;
    // The system's message for the write that failed, empty when none did.
    std::string ErrorText() const;

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};
